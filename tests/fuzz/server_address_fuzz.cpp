// Any text as an item's address: the server name taken from it fits its
// buffer, holds no "/", never ends inside a double-byte character, and is a
// piece of the address after its scheme, without the blanks around it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "settings/fields.h"
#include "settings/server_address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t out_size = 1 + data[0] % 64;  // small buffers as well as the real one
  std::string address(reinterpret_cast<const char*>(data + 1), size - 1);
  const char* a = address.c_str();
  for (size_t n : {out_size, size_t{512}}) {
    std::string out(n + 16, '\x7f');
    server_name_from_address(a, out.data(), n);
    size_t len = std::strlen(out.c_str());
    if (len >= n) std::abort();
    for (size_t i = n; i < out.size(); ++i) {
      if (out[i] != '\x7f') std::abort();  // nothing written past the buffer
    }
    if (std::memchr(out.data(), '/', len) != nullptr) std::abort();
    if (cp932_cut_length(out.c_str(), len) != len) std::abort();
    // A piece of the address after its scheme: its start, but for the
    // blanks removed around it.
    const char* rest = a;
    if (strncasecmp(a, "sntp://", 7) == 0) rest += 7;
    if (std::strstr(rest, out.c_str()) == nullptr) std::abort();
    if (len > 0 && (out[0] == ' ' || out[0] == '\t')) std::abort();
  }
  return 0;
}

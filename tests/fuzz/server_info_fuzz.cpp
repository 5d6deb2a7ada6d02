// Any text as an item's server-information string: reading it must be safe,
// and the values read must come back unchanged after a write and a re-read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "check/server_info_string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  ServerInfo first;
  if (!parse_server_info(text.c_str(), &first)) std::abort();
  char written[kServerInfoStringSize];
  format_server_info(first, written, sizeof written);
  if (std::strlen(written) >= sizeof written - 1) std::abort();
  ServerInfo second;
  if (!parse_server_info(written, &second)) std::abort();
  if (first.first_octet != second.first_octet || first.stratum != second.stratum || first.poll != second.poll ||
      first.precision != second.precision || first.root_delay != second.root_delay ||
      first.root_dispersion != second.root_dispersion ||
      std::memcmp(first.reference_id, second.reference_id, 4) != 0) {
    std::abort();
  }
  return 0;
}

// Any answer to the version question as the host's 32-byte buffer, zero
// byte or not: the parse reads nothing past the buffer nor past a zero byte,
// every version it gives survives being written out and read again, and the
// comparison orders versions consistently. The whole input also goes
// through the comment flattening.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "plugin/host_contract.h"
#include "ui/version_gate.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

int compare_with(HostVersion v, HostVersion reference) {
  return compare_host_version(v, reference >> 24, reference >> 16 & 0xFF, reference >> 8 & 0xFF, reference & 0xFF);
}

// The version written as a host would write it, and parsed again.
HostVersion rewritten(HostVersion v) {
  char text[kHostVersionTextSize];
  const unsigned major = v >> 24, minor = v >> 16 & 0xFF, revision = v >> 8 & 0xFF, build = v & 0xFF;
  if (build != 0) {
    std::snprintf(text, sizeof text, "%u.%u.%u build %u", major, minor, revision, build);
  } else {
    std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, revision);
  }
  return parse_host_version(text, sizeof text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The host's buffer, exactly as large as what it holds (at most 32 bytes).
  const size_t n = size < kHostVersionTextSize ? size : kHostVersionTextSize;
  std::vector<char> buffer(data, data + n);
  const HostVersion v = parse_host_version(buffer.data(), n);

  // The same as reading a terminated copy: the bound and the zero byte end
  // the text alike.
  std::vector<char> terminated(buffer);
  terminated.push_back('\0');
  check(parse_host_version(terminated.data(), terminated.size()) == v);
  check(parse_host_version(terminated.data(), n) == v);

  check(rewritten(v) == v);

  // A second version from the bytes after the first 32.
  std::vector<char> rest(data + n, data + size);
  const HostVersion w = parse_host_version(rest.data(), rest.size());
  check(compare_with(v, v) == 0);
  check(compare_with(v, w) == -compare_with(w, v));
  check(host_keeps_comment_lines(v) == (compare_host_version(v, 1, 0, 3, 0) >= 0));

  std::vector<char> comment(data, data + size);
  comment.push_back('\0');
  flatten_comment(comment.data());
  for (size_t i = 0; i < size; ++i) {
    const char before = static_cast<char>(data[i]);
    if (before == '\0') break;
    const bool control = before == '\r' || before == '\n' || before == '\t';
    check(comment[i] == (control ? ' ' : before));
  }
  flatten_comment(nullptr);
  return 0;
}

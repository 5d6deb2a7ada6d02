#include "ui/version_gate.h"

#include "settings/fields.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// One component of a version text: the number at the start of [p, end),
// read like atoi; its bits as they are.
uint32_t read_version_component(const char* p, const char* end) { return static_cast<uint32_t>(read_atoi(p, end)); }

// First position in [p, end) where `match` holds, or `end`.
template <typename Match>
const char* find(const char* p, const char* end, Match match) {
  while (p < end && !match(*p)) ++p;
  return p;
}

}  // namespace

HostVersion parse_host_version(const char* text, size_t size) {
  if (text == nullptr) return 0;
  const char* end = find(text, text + size, [](char c) { return c == '\0'; });
  auto is_dot = [](char c) { return c == '.'; };
  const char* dot1 = find(text, end, is_dot);
  if (dot1 == end) return 0;
  const char* dot2 = find(dot1 + 1, end, is_dot);
  if (dot2 == end) return 0;
  const char* rest = dot2 + 1;
  const char* space = find(rest, end, is_space_char);
  uint32_t build = 0;
  if (space != end) {
    const char* digits = find(space + 1, end, is_digit);
    build = read_version_component(digits, end);
  }
  return read_version_component(text, dot1) << 24 | read_version_component(dot1 + 1, dot2) << 16 | read_version_component(rest, space) << 8 | build;
}

int compare_host_version(HostVersion version, int32_t major, int32_t minor, int32_t revision, int32_t build) {
  uint32_t ours = version >> 8;
  uint32_t theirs = static_cast<uint32_t>(major) << 16 | static_cast<uint32_t>(minor) << 8 | static_cast<uint32_t>(revision);
  if (ours != theirs) return ours > theirs ? 1 : -1;
  int32_t our_build = static_cast<int32_t>(version & 0xFFu);
  if (our_build == build) return 0;
  if (our_build == 0) return 1;
  if (build == 0) return -1;
  return our_build > build ? 1 : -1;
}

bool host_keeps_comment_lines(HostVersion version) { return compare_host_version(version, 1, 0, 3, 0) >= 0; }

void flatten_comment(char* text) {
  if (text == nullptr) return;
  for (char* p = text; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n' || *p == '\t') *p = ' ';
  }
}

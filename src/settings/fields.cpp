#include "settings/fields.h"

#include <cstring>

bool is_space_char(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

namespace {

// Whether `p` lies before `bound`; a null bound is none. The text's zero
// byte is neither white space, a sign nor a digit, so it ends a read anyway.
bool before(const char* p, const char* bound) { return bound == nullptr || p < bound; }

int32_t read_atoi_before(const char* text, const char* bound, const char** end) {
  bool negative = false;
  const char* p = skip_space_and_sign(text, &negative, bound);
  uint32_t value = 0;
  while (before(p, bound) && *p >= '0' && *p <= '9') {
    value = value * 10u + static_cast<uint32_t>(*p - '0');
    ++p;
  }
  if (negative) value = 0u - value;
  if (end) *end = p;
  return static_cast<int32_t>(value);
}

}  // namespace

const char* skip_space_and_sign(const char* text, bool* negative, const char* bound) {
  const char* p = text;
  while (before(p, bound) && is_space_char(*p)) ++p;
  *negative = before(p, bound) && *p == '-';
  if (before(p, bound) && (*p == '+' || *p == '-')) ++p;
  return p;
}

int32_t read_atoi(const char* text, const char** end) { return read_atoi_before(text, nullptr, end); }

int32_t read_atoi(const char* text, const char* bound) { return read_atoi_before(text, bound, nullptr); }

bool read_scanf_int(const char* text, int32_t* value) {
  bool negative = false;
  const char* p = skip_space_and_sign(text, &negative);
  if (*p < '0' || *p > '9') return false;
  constexpr int64_t kCap = int64_t{1} << 31;  // enough to saturate either way
  int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (magnitude < kCap) magnitude = magnitude * 10 + (*p - '0');
  }
  if (magnitude > kCap) magnitude = kCap;
  const int64_t signed_value = negative ? -magnitude : magnitude;
  *value = signed_value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(signed_value);
  return true;
}

bool is_cp932_lead_byte(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

size_t cp932_cut_length(const char* text, size_t max_len) {
  size_t i = 0;
  while (i < max_len && text[i] != '\0') {
    if (is_cp932_lead_byte(static_cast<unsigned char>(text[i])) && text[i + 1] != '\0') {
      if (i + 2 > max_len) break;  // the pair would straddle the limit
      i += 2;
    } else {
      i += 1;
    }
  }
  return i;
}

bool read_field(const char* text, int index, char* out, size_t out_size) {
  if (out_size > 0) out[0] = '\0';
  if (text == nullptr || index < 0) return false;
  const char* p = text;
  for (int skipped = 0; skipped < index; ++skipped) {
    p = std::strchr(p, ';');
    if (p == nullptr) return false;
    ++p;
  }
  if (*p == '\0') return false;
  size_t len = 0;
  while (p[len] != '\0' && p[len] != ';') ++len;
  if (out_size == 0) return true;
  // Fields are at most kFieldSize - 1 characters, and never cut inside a
  // double-byte character (';' is never a trail byte in code page 932).
  size_t limit = len;
  if (limit > kFieldSize - 1) limit = kFieldSize - 1;
  if (limit > out_size - 1) limit = out_size - 1;
  size_t keep = cp932_cut_length(p, limit);
  std::memcpy(out, p, keep);
  out[keep] = '\0';
  return true;
}

int32_t read_atoi_field(const char* text, int index) {
  char field[kFieldSize];
  if (!read_field(text, index, field, sizeof field)) return 0;
  return read_atoi(field);
}

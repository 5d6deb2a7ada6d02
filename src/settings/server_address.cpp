#include "settings/server_address.h"

#include <cstring>

#include "settings/fields.h"

static bool starts_with_scheme(const char* text) {
  for (size_t i = 0; i < sizeof kAddressScheme - 1; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kAddressScheme[i]) return false;  // also stops at the end of a short text
  }
  return true;
}

void server_name_from_address(const char* address, char* out, size_t out_size) {
  if (out_size == 0) return;
  out[0] = '\0';
  if (address == nullptr) return;
  const char* p = address;
  if (starts_with_scheme(p)) p += sizeof kAddressScheme - 1;
  // '/' is never a trail byte in code page 932, so the cut is clean.
  size_t len = 0;
  while (p[len] != '\0' && p[len] != '/') ++len;
  size_t keep = cp932_cut_length(p, len < out_size - 1 ? len : out_size - 1);
  std::memcpy(out, p, keep);
  out[keep] = '\0';
  // A name stored with blanks around it (by hand, or before the General
  // page trimmed them) names the same server as the page shows it.
  trim_blanks(out);
}

// The length of the blank at `p` (0 when it is none); `p` starts a character.
static size_t blank_length(const char* p) {
  if (*p == ' ' || *p == '\t') return 1;
  return static_cast<unsigned char>(p[0]) == 0x81 && p[1] == 0x40 ? 2 : 0;
}

void trim_blanks(char* text) {
  if (text == nullptr) return;
  const char* start = text;
  for (size_t n; (n = blank_length(start)) != 0;) start += n;
  size_t end = 0;  // after the last character that is no blank
  for (size_t i = 0; start[i] != '\0';) {
    const size_t blank = blank_length(start + i);
    const bool pair = is_cp932_lead_byte(static_cast<unsigned char>(start[i])) && start[i + 1] != '\0';
    i += blank != 0 ? blank : (pair ? 2 : 1);
    if (blank == 0) end = i;
  }
  std::memmove(text, start, end);
  text[end] = '\0';
}

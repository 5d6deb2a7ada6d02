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
}

#include "ui/info_page_texts.h"

#include <cstdio>

uint32_t protocol_version(uint8_t first_octet) { return (first_octet >> 3) & 7u; }

void reference_id_text(uint8_t stratum, const uint8_t id[4], char* out, size_t out_size) {
  if (stratum == 1) {
    std::snprintf(out, out_size, "%.4s", reinterpret_cast<const char*>(id));
  } else {
    std::snprintf(out, out_size, "%d.%d.%d.%d", id[0], id[1], id[2], id[3]);
  }
}

bool precision_text(int32_t p, char* out, size_t out_size) {
  if (p >= 0) return false;
  if (p >= -9) {
    std::snprintf(out, out_size, "%d msec", 1000 >> -p);
  } else if (p >= -19) {
    std::snprintf(out, out_size, "%d μsec", 1000000 >> -p);
  } else if (p >= -29) {
    std::snprintf(out, out_size, "%d nsec", 1000000000 >> -p);
  } else {
    std::snprintf(out, out_size, "%s", kUnknownText);
  }
  return true;
}

void poll_text(int32_t n, char* out, size_t out_size) {
  if (n >= 0 && n <= 30) {
    std::snprintf(out, out_size, "%d sec", 1 << n);
  } else if (n < 0 && n >= -31) {
    std::snprintf(out, out_size, "%d msec", 1000 >> -n);
  } else {
    std::snprintf(out, out_size, "%s", kUnknownText);
  }
}

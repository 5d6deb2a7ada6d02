#include "check/server_info_string.h"

#include <cstdio>
#include <cstring>

#include "settings/fields.h"

void format_server_info(const ServerInfo& info, char* out, size_t out_size) {
  std::snprintf(out, out_size, "%d;%d;%d;%d;%d;%d;%d.%d.%d.%d", info.first_octet, info.stratum, info.poll,
                info.precision, static_cast<int>(info.root_delay), static_cast<int>(info.root_dispersion),
                info.reference_id[0], info.reference_id[1], info.reference_id[2], info.reference_id[3]);
}

// Reads "a.b.c.d": three parts each ending at ".", then the number that
// follows. A part that is missing stays 0.
static void parse_dotted(const char* text, uint8_t out[4]) {
  const char* p = text;
  for (int i = 0; i < 3; ++i) {
    const char* dot = std::strchr(p, '.');
    if (dot == nullptr) return;
    out[i] = static_cast<uint8_t>(read_atoi(p));
    p = dot + 1;
  }
  out[3] = static_cast<uint8_t>(read_atoi(p));
}

bool parse_server_info(const char* text, ServerInfo* info) {
  *info = ServerInfo{};
  if (text == nullptr) return false;
  info->first_octet = static_cast<uint8_t>(read_atoi_field(text, 0));
  info->stratum = static_cast<uint8_t>(read_atoi_field(text, 1));
  info->poll = static_cast<int8_t>(static_cast<uint8_t>(read_atoi_field(text, 2)));
  info->precision = static_cast<int8_t>(static_cast<uint8_t>(read_atoi_field(text, 3)));
  info->root_delay = read_atoi_field(text, 4);
  info->root_dispersion = read_atoi_field(text, 5);
  char id[kRefIdFieldMax + 1];
  read_field(text, 6, id, sizeof id);
  if (std::strlen(id) <= 4) {
    std::memcpy(info->reference_id, id, std::strlen(id));
  } else {
    parse_dotted(id, info->reference_id);
  }
  return true;
}

bool read_server_info(const CheckItem* item, ServerInfo* info) { return parse_server_info(item->server_info, info); }

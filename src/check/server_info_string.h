// The ServerInfoString: what the time server said about itself in its last
// reply, as "first;stratum;poll;precision;delay;dispersion;a.b.c.d".
#pragma once

#include <cstddef>
#include <cstdint>

#include "check/ntp.h"  // ServerInfo, the record it stores
#include "plugin/host_contract.h"

// Size of the block the server information is written into.
constexpr size_t kServerInfoStringSize = 200;
// The reference identifier field is read from at most this many characters.
constexpr size_t kRefIdFieldMax = 31;

void format_server_info(const ServerInfo& info, char* out, size_t out_size);

// Reads the seven fields; false only when there is no text. Missing fields
// read as 0. A reference identifier field of four characters or fewer gives
// its own bytes (zero-filled); a longer one is read as a dotted address.
bool parse_server_info(const char* text, ServerInfo* info);

// Reads the item's server_info (parse_server_info); false when the item has none.
bool read_server_info(const CheckItem* item, ServerInfo* info);

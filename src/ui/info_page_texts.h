// Texts of the Information page: what the time server said about itself in
// its last reply, as the page shows it.
#pragma once

#include <cstddef>
#include <cstdint>

// What a value field shows when the page knows nothing better.
constexpr char kUnknownText[] = "不明";

// The version number field (bits 5 to 3) of the reply's first octet.
uint32_t protocol_version(uint8_t first_octet);

// The reference identifier of a server of stratum 1 or more: for stratum 1 a
// code of up to four characters (ending at the first zero octet), otherwise
// the four octets as a dotted address, in wire order.
void reference_id_text(uint8_t stratum, const uint8_t id[4], char* out, size_t out_size);

// The clock precision 2^p seconds, rounded down to whole msec, μsec or nsec;
// "不明" from p = -30 on, where nsec no longer resolve it. False for p of 0
// or more: the page leaves the field as it was.
bool precision_text(int32_t p, char* out, size_t out_size);

// The polling interval 2^n seconds: whole seconds for n from 0 to 30, whole
// milliseconds (rounded down) for n from -1 to -31. Beyond that range the
// value does not fit the signed 32-bit number printed, and no conforming
// server sends it: "不明".
void poll_text(int32_t n, char* out, size_t out_size);

// The OptionString: an item's clock options as "port;skip;threshold;quiet;",
// with a fifth field "1;" only for an item that measures without setting the
// clock. Items that do not measure only keep the four-field text, which
// every version of the module reads alike; an older module ignores a fifth
// field.
#pragma once

#include <cstddef>
#include <cstdint>

// Size of the block the option text is written into.
constexpr size_t kOptionStringSize = 100;

struct ItemOptions {
  uint16_t port;
  int32_t skip_small_offsets;
  int32_t sync_threshold_ms;
  int32_t quiet_update;
  // Never set the clock: the offset is only measured and written, and the
  // host is alerted when its size reaches sync_threshold_ms.
  int32_t measure_only = 0;
};

// Writes "%d;%d;%d;%d;", and "%d;" more when measure_only is set. The port is printed as the signed 16-bit number its
// bits make (ports above 32767 appear negative); parse_option_string keeps
// the low 16 bits, so they read back as the same port.
void format_option_string(const ItemOptions& options, char* out, size_t out_size);

// Reads the five fields; a missing or empty field reads as 0.
ItemOptions parse_option_string(const char* text);

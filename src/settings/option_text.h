// The OptionString: an item's clock options as "port;skip;threshold;quiet;".
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
};

// Writes "%d;%d;%d;%d;". The port is printed as the signed 16-bit number its
// bits make (ports above 32767 appear negative); parse_option_string keeps
// the low 16 bits, so they read back as the same port.
void format_option_string(const ItemOptions& options, char* out, size_t out_size);

// Reads the four fields; a missing or empty field reads as 0.
ItemOptions parse_option_string(const char* text);

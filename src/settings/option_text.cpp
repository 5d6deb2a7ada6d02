#include "settings/option_text.h"

#include <cstdio>

#include "settings/fields.h"

void format_option_string(const ItemOptions& options, char* out, size_t out_size) {
  const int n = std::snprintf(out, out_size, "%d;%d;%d;%d;", static_cast<int>(static_cast<int16_t>(options.port)),
                              static_cast<int>(options.skip_small_offsets),
                              static_cast<int>(options.sync_threshold_ms), static_cast<int>(options.quiet_update));
  if (options.measure_only != 0 && n > 0 && static_cast<size_t>(n) < out_size) {
    std::snprintf(out + n, out_size - static_cast<size_t>(n), "%d;", static_cast<int>(options.measure_only));
  }
}

ItemOptions parse_option_string(const char* text) {
  ItemOptions options{};
  options.port = static_cast<uint16_t>(static_cast<uint32_t>(read_atoi_field(text, 0)) & 0xFFFFu);
  options.skip_small_offsets = read_atoi_field(text, 1);
  options.sync_threshold_ms = read_atoi_field(text, 2);
  options.quiet_update = read_atoi_field(text, 3);
  options.measure_only = read_atoi_field(text, 4);
  return options;
}

// Any text as an item's option string: the field reader and the option
// reader must neither crash nor read past the text, and what they read must
// survive a write and a second read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "settings/fields.h"
#include "settings/option_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);  // stops at an embedded zero, like the plug-in
  const char* c = text.c_str();

  for (int index = 0; index < 6; ++index) {
    char small[8];
    read_field(c, index, small, sizeof small);
    if (std::strlen(small) >= sizeof small) std::abort();
    char field[kFieldSize];
    read_field(c, index, field, sizeof field);
    (void)read_atoi_field(c, index);
  }
  (void)read_atoi(c);

  ItemOptions first = parse_option_string(c);
  char written[kOptionStringSize];
  format_option_string(first, written, sizeof written);
  if (std::strlen(written) >= sizeof written - 1) std::abort();  // always fits with room to spare
  ItemOptions second = parse_option_string(written);
  if (first.port != second.port || first.skip_small_offsets != second.skip_small_offsets ||
      first.sync_threshold_ms != second.sync_threshold_ms || first.quiet_update != second.quiet_update ||
      first.measure_only != second.measure_only) {
    std::abort();
  }
  return 0;
}

// The Japanese texts a check writes into its item (code page 932): why a
// reply was not used, and the offset and the time of a clock change. Pure
// code (no windows.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "check/ntp.h"

// Blocks the item's texts are written into.
constexpr size_t kOffsetTextSize = 20;   // "%+.0f msec"
constexpr size_t kChangedTextSize = 18;  // "%04d/%02d/%02d %02d:%02d"

// Why the reply was not used. `length` is the datagram's size, named in the
// message for a short one.
void format_reply_problem(const ReplyEvaluation& evaluation, size_t length, char* out, size_t out_size);

// The message for an offset whose text does not fit its block.
extern const char kOffsetTooLargeText[];

// The message for a request that could not be given an unpredictable nonce.
extern const char kNoRandomNumberText[];

// The offset in whole milliseconds (truncated toward zero) as "%+.0f msec".
// False, with `out` empty, when the text would not fit `out_size` (a 20-byte
// block takes at most 13 digits).
bool format_offset_text(int64_t offset, char* out, size_t out_size);

// "YYYY/MM/DD hh:mm".
void format_changed_text(int year, int month, int day, int hour, int minute, char* out, size_t out_size);

// The Japanese texts a check writes into its item (code page 932): why a
// reply was not used or a request not sent, and the offset and the time of a
// clock change. Each text of a failure says, in this order, what happened,
// that the clock was not changed, and what to check or do, in the words the
// user guide uses (「ずれ」 for the offset). Pure code (no windows.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "check/backoff.h"
#include "check/ntp.h"

// Blocks the item's texts are written into.
constexpr size_t kOffsetTextSize = 20;   // "%+.0f msec"
constexpr size_t kChangedTextSize = 18;  // "%04d/%02d/%02d %02d:%02d"

// A date and time of the calendar, as the texts show it.
struct CalendarTime {
  int year, month, day, hour, minute, second;
};

// The UTC calendar time of a FILETIME count.
CalendarTime utc_calendar_time(uint64_t filetime);

// Why the reply was not used. `length` is the datagram's size, named in the
// message for a short one. A kiss code that backs the server off has its
// own text (format_backoff_text).
void format_reply_problem(const ReplyEvaluation& evaluation, size_t length, char* out, size_t out_size);

// Why no request goes to the server: it sent `code` (one that backs off),
// and requests wait until `until`, a local time.
void format_backoff_text(KissCode code, const CalendarTime& until, char* out, size_t out_size);

// Why a step of `first` 100-ns units was refused: the confirming exchange
// measured `second`, which does not agree.
void format_unconfirmed_step(int64_t first, int64_t second, char* out, size_t out_size);

// The message for an offset whose text does not fit its block.
extern const char kOffsetTooLargeText[];

// The message for a request that could not be given an unpredictable nonce.
extern const char kNoRandomNumberText[];

// The message for an item whose address names no server.
extern const char kNoServerNameText[];

// The offset in whole milliseconds (truncated toward zero) as "%+.0f msec".
// False, with `out` empty, when the text would not fit `out_size` (a 20-byte
// block takes at most 13 digits).
bool format_offset_text(int64_t offset, char* out, size_t out_size);

// "YYYY/MM/DD hh:mm".
void format_changed_text(int year, int month, int day, int hour, int minute, char* out, size_t out_size);

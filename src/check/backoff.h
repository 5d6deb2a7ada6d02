// How long the client leaves a server alone after the server asked it to
// (RFC 5905 section 7.4, RFC 4330 sections 8 and 10): ask less often after
// RATE, stop asking after DENY or RSTR. Pure code (no windows.h). Times are
// milliseconds of a monotonic counter, which setting the clock never moves:
// a back-off lasts as long in real time as the server asked, whatever any
// program does to the clock meanwhile.
#pragma once

#include <cstdint>

#include "check/ntp.h"

// RATE: the first back-off, or the reply's poll interval when that is longer;
// each further RATE doubles it, up to the longest.
constexpr uint32_t kRateBackoffFirstSeconds = 64;
constexpr uint32_t kRateBackoffLongestSeconds = uint32_t{1} << 17;  // about 36 hours
// DENY and RSTR: the server refuses this client.
constexpr uint32_t kRefusalBackoffSeconds = 86'400;

struct Backoff {
  uint64_t noted_at;      // when the code came (monotonic ms)
  uint64_t until;         // when requests may go to the server again (monotonic ms)
  uint32_t rate_seconds;  // the last RATE back-off, which the next doubles; 0 before the first
  KissCode code;          // the code that set `until`
};

// Whether `code` asks the client to leave the server alone.
bool kiss_code_backs_off(KissCode code);

// The server's back-off after it sent `code` (one that backs off) with poll
// interval `poll` (log2 seconds) at `now`; `previous` is what it was before
// (zero-filled for a server that never sent one).
Backoff next_backoff(const Backoff& previous, KissCode code, int8_t poll, uint64_t now);

// Whether requests to the server still wait at `now`. A back-off noted
// after `now` is over: the counter can only seem to run back when the module
// missed a wrap of the system's tick count, weeks after every back-off ended.
bool backoff_holds(const Backoff& backoff, uint64_t now);

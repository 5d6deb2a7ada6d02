#include "check/backoff.h"

#include <algorithm>

namespace {

uint64_t seconds_to_ms(uint32_t seconds) { return uint64_t{seconds} * 1000; }

}  // namespace

bool kiss_code_backs_off(KissCode code) {
  return code == KissCode::kRate || code == KissCode::kDeny || code == KissCode::kRestrict;
}

Backoff next_backoff(const Backoff& previous, KissCode code, int8_t poll, uint64_t now) {
  Backoff next = previous;
  next.noted_at = now;
  next.code = code;
  uint32_t seconds = kRefusalBackoffSeconds;
  if (code == KissCode::kRate) {
    // A server sets its poll field to the interval it will accept; a
    // hostile one cannot push the back-off beyond the longest.
    const uint32_t asked = poll <= 0 ? 1 : poll >= 31 ? kRateBackoffLongestSeconds : uint32_t{1} << poll;
    seconds = std::min(std::max({asked, kRateBackoffFirstSeconds, previous.rate_seconds * 2}),
                       kRateBackoffLongestSeconds);
    next.rate_seconds = seconds;
  }
  next.until = now + seconds_to_ms(seconds);
  return next;
}

bool backoff_holds(const Backoff& backoff, uint64_t now) { return backoff.noted_at <= now && now < backoff.until; }

#include "check/backoff.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

constexpr uint64_t kSec = 1000;                 // the monotonic counter's milliseconds
constexpr uint64_t kNow = 3'000'000'000'000ull;  // any count will do

uint64_t seconds_of(const Backoff& b) { return (b.until - b.noted_at) / kSec; }

TEST(Backoff, RateStartsAt64OrThePollAndDoublesUpTo36Hours) {
  for (const auto& [poll, seconds] : {std::pair{-20, 64u}, {6, 64u}, {10, 1024u}, {17, 131072u}, {127, 131072u}}) {
    EXPECT_EQ(seconds_of(next_backoff(Backoff{}, KissCode::kRate, static_cast<int8_t>(poll), kNow)), seconds) << poll;
  }
  // Each further RATE doubles the last wait, or takes a longer poll, up to the longest.
  Backoff b{};
  const std::pair<int8_t, uint64_t> steps[] = {{0, 64}, {0, 128}, {11, 2048}, {0, 4096}};
  for (const auto& [poll, seconds] : steps) {
    EXPECT_EQ(seconds_of(b = next_backoff(b, KissCode::kRate, poll, kNow)), seconds);
  }
  for (int i = 0; i < 10; ++i) b = next_backoff(b, KissCode::kRate, 0, kNow);
  EXPECT_EQ(seconds_of(b), 131072u);
}

TEST(Backoff, DenyAndRestrictWaitADayAndKeepTheRateForLater) {
  const Backoff rate = next_backoff(Backoff{}, KissCode::kRate, 8, kNow);
  for (KissCode code : {KissCode::kDeny, KissCode::kRestrict}) {
    const Backoff b = next_backoff(rate, code, 0, kNow);
    EXPECT_EQ(seconds_of(b), 86400u);
    EXPECT_EQ(seconds_of(next_backoff(b, KissCode::kRate, 0, kNow)), 512u);
  }
}

TEST(Backoff, HoldsUntilItsEndAndNoLonger) {
  const Backoff b = next_backoff(Backoff{}, KissCode::kRate, 0, kNow);
  EXPECT_TRUE(backoff_holds(b, kNow));
  EXPECT_TRUE(backoff_holds(b, kNow + 64 * kSec - 1));
  EXPECT_FALSE(backoff_holds(b, kNow + 64 * kSec));
  // A count behind the note (a wrap of the tick count missed weeks later) ends it.
  EXPECT_FALSE(backoff_holds(b, kNow - 1));
}

}  // namespace

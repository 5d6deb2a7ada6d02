#include "check/backoff.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t kSec = kUnitsPerSecond;
constexpr uint64_t kNow = 134'100'000'000'000'000ull;  // 2025-12-13, any time will do

uint64_t seconds_of(const Backoff& b) { return (b.until - b.noted_at) / kSec; }

TEST(Backoff, RateStartsAt64OrThePollAndDoublesUpTo36Hours) {
  const struct {
    int8_t poll;
    uint64_t seconds;
  } first[] = {{0, 64}, {-20, 64}, {6, 64}, {10, 1024}, {17, 131072}, {127, 131072}};
  for (const auto& c : first) {
    const Backoff b = next_backoff(Backoff{}, KissCode::kRate, c.poll, kNow);
    EXPECT_EQ(seconds_of(b), c.seconds) << int(c.poll);
    EXPECT_EQ(b.noted_at, kNow);
  }
  Backoff b{};
  uint64_t expected[] = {64, 128, 256, 2048, 4096};
  const int8_t polls[] = {0, 0, 0, 11, 0};  // a longer poll than the doubling wins
  for (int i = 0; i < 5; ++i) {
    b = next_backoff(b, KissCode::kRate, polls[i], kNow + i);
    EXPECT_EQ(seconds_of(b), expected[i]) << i;
  }
  for (int i = 0; i < 10; ++i) b = next_backoff(b, KissCode::kRate, 0, kNow);
  EXPECT_EQ(seconds_of(b), 131072u);
}

TEST(Backoff, DenyAndRestrictWaitADayAndKeepTheRateForLater) {
  const Backoff rate = next_backoff(Backoff{}, KissCode::kRate, 8, kNow);
  for (KissCode code : {KissCode::kDeny, KissCode::kRestrict}) {
    const Backoff b = next_backoff(rate, code, 0, kNow);
    EXPECT_EQ(seconds_of(b), 86400u);
    EXPECT_EQ(b.code, code);
    EXPECT_EQ(seconds_of(next_backoff(b, KissCode::kRate, 0, kNow)), 512u);
  }
  EXPECT_TRUE(kiss_code_backs_off(KissCode::kRate));
  EXPECT_TRUE(kiss_code_backs_off(KissCode::kDeny));
  EXPECT_TRUE(kiss_code_backs_off(KissCode::kRestrict));
  for (KissCode code : {KissCode::kInit, KissCode::kStep, KissCode::kOther}) EXPECT_FALSE(kiss_code_backs_off(code));
}

TEST(Backoff, HoldsUntilItsEndAndNeverLongerWhenTheClockGoesBack) {
  Backoff b = next_backoff(Backoff{}, KissCode::kRate, 0, kNow);
  EXPECT_TRUE(backoff_holds(&b, kNow));
  EXPECT_TRUE(backoff_holds(&b, kNow + 64 * kSec - 1));
  EXPECT_FALSE(backoff_holds(&b, kNow + 64 * kSec));
  // Set back an hour: it counts from then, for its 64 s.
  EXPECT_TRUE(backoff_holds(&b, kNow - 3600 * kSec));
  EXPECT_FALSE(backoff_holds(&b, kNow - 3600 * kSec + 64 * kSec));
}

}  // namespace

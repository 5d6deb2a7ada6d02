#include "check/ntp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "reply_datagram.h"

namespace {

constexpr int64_t kSec = kUnitsPerSecond;
constexpr int64_t kMs = kUnitsPerMs;
// 1970-01-01 as a FILETIME, and as NTP seconds of era 0.
constexpr uint64_t kUnixEpoch = 116444736000000000ull;
constexpr uint32_t kUnixEpochNtp = 2208988800u;

uint64_t unix_to_filetime(int64_t unix_seconds) { return kUnixEpoch + static_cast<uint64_t>(unix_seconds * kSec); }

TEST(NtpToFiletime, WholeSecondsAndFractionsToThe100nsUnit) {
  EXPECT_EQ(ntp_to_filetime({kUnixEpochNtp, 0}), kUnixEpoch);
  EXPECT_EQ(ntp_to_filetime({kUnixEpochNtp + 1, 0x80000000u}), kUnixEpoch + kSec + kSec / 2);
  // The fraction is truncated: 2^32 / 10^7 is about 429.5 steps per unit.
  EXPECT_EQ(ntp_to_filetime({kUnixEpochNtp, 429}), kUnixEpoch);
  EXPECT_EQ(ntp_to_filetime({kUnixEpochNtp, 430}), kUnixEpoch + 1);
  EXPECT_EQ(ntp_to_filetime({kUnixEpochNtp, 0xFFFFFFFFu}), kUnixEpoch + kSec - 1);
  // 2026-03-01 00:00:00 UTC.
  EXPECT_EQ(ntp_to_filetime({kUnixEpochNtp + 1772323200u, 0}), unix_to_filetime(1772323200));
}

TEST(NtpToFiletime, TopBitClearIsTheEraThatBeginsIn2036) {
  // The last second of era 0 and the first of era 1 (2036-02-07 06:28:16 UTC).
  EXPECT_EQ(ntp_to_filetime({0xFFFFFFFFu, 0}), unix_to_filetime(2085978495));
  EXPECT_EQ(ntp_to_filetime({0, 0}), unix_to_filetime(2085978496));
  EXPECT_EQ(ntp_to_filetime({0x7FFFFFFFu, 0}), unix_to_filetime(2085978496 + 0x7FFFFFFFll));
  // Top bit set stays in 1968 to 2036.
  EXPECT_EQ(ntp_to_filetime({0x80000000u, 0}), unix_to_filetime(0x80000000ll - kUnixEpochNtp));
}

TEST(ClockOffset, SignsSizesAndTruncationTowardZero) {
  const uint64_t t = unix_to_filetime(1772323200);
  EXPECT_EQ(clock_offset(t, t + 3 * kSec, t + 3 * kSec, t), 3 * kSec);    // local clock behind
  EXPECT_EQ(clock_offset(t, t - 15 * kSec / 10, t - 15 * kSec / 10, t), -15 * kSec / 10);  // 1.5 s ahead
  EXPECT_EQ(clock_offset(t, t + 7, t + 7, t + 20), -3);  // a 20-unit round trip, below 1 ms
  EXPECT_EQ(clock_offset(t, t + 2, t + 1, t + 6), -1);   // -3 / 2 truncates toward zero
  EXPECT_EQ(clock_offset(t, t + 3, t + 3, t + 3), 1);    // 3 / 2
  // Clocks centuries apart still give the exact half.
  EXPECT_EQ(clock_offset(0, uint64_t{1} << 62, uint64_t{1} << 62, 1), (int64_t{1} << 62) - 1);
  EXPECT_EQ(clock_offset(0, INT64_MAX, INT64_MAX, 0), INT64_MAX);
}

TEST(Request, Version3ClientWithTheNonceAsItsTransmitTimestamp) {
  uint8_t request[kNtpPacketSize];
  std::memset(request, 0xEE, sizeof request);
  build_request(kTestNonce, request);
  EXPECT_EQ(request[0], 0x1B);
  for (size_t i = 1; i < 40; ++i) EXPECT_EQ(request[i], 0) << i;
  EXPECT_EQ(0, std::memcmp(request + 40, kTestNonce, kNonceSize));
}

// A reply (precision -26, reference 127.127.1.1) whose timestamps are whole NTP seconds.
std::vector<uint8_t> reply(uint8_t first, uint8_t stratum, uint32_t t2_seconds, uint32_t t3_seconds, size_t size = 48) {
  return reply_datagram({t2_seconds, 0}, {t3_seconds, 0}, first, stratum, "\x7f\x7f\x01\x01", size);
}

TEST(EvaluateReply, ReadsTheServerInformationAndTheOffset) {
  const uint64_t t1 = unix_to_filetime(1772323200);
  std::vector<uint8_t> b = reply(0x24, 2, kUnixEpochNtp + 1772323202u, kUnixEpochNtp + 1772323202u, 60);
  ReplyEvaluation e = evaluate_reply(b.data(), b.size(), kTestNonce, t1, t1, 0);
  EXPECT_EQ(e.kind, DatagramKind::kReply);
  EXPECT_EQ(e.verdict, ReplyVerdict::kUsable);
  EXPECT_EQ(e.offset, 2 * kSec);
  EXPECT_EQ(e.info.first_octet, 0x24);
  EXPECT_EQ(e.info.stratum, 2);
  EXPECT_EQ(e.info.poll, 6);
  EXPECT_EQ(e.info.precision, -26);
  EXPECT_EQ(e.info.root_delay, 0x18000);
  EXPECT_EQ(e.info.root_dispersion, -2);
  EXPECT_EQ(0, std::memcmp(e.info.reference_id, "\x7f\x7f\x01\x01", 4));
}

TEST(EvaluateReply, RejectsWhatAClientMustNotSetItsClockFrom) {
  const uint32_t now = kUnixEpochNtp + 1772323200u;
  const struct {
    uint8_t first, stratum;
    uint32_t t3;
    ReplyVerdict verdict;
    uint32_t t2 = kUnixEpochNtp + 1772323200u;
    int64_t t4 = 0;        // T1 is 0
    uint64_t step = 0;     // of the local clock
  } cases[] = {
      {0x1C, 3, now, ReplyVerdict::kUsable},          // version 3 server, as the request asks
      {0x23, 1, now, ReplyVerdict::kNotServerMode},   // a client's message
      {0x25, 1, now, ReplyVerdict::kNotServerMode},   // broadcast
      {0xE4, 0, now, ReplyVerdict::kKissOfDeath},     // leap 3 and stratum 0: kiss-o'-death first
      {0x24, 16, now, ReplyVerdict::kStratumTooHigh},
      {0x24, 255, now, ReplyVerdict::kStratumTooHigh},
      {0xE4, 2, now, ReplyVerdict::kUnsynchronized},
      {0x64, 15, now, ReplyVerdict::kUsable},         // leap 1 (a second is to be inserted) is fine
      {0x24, 1, 0, ReplyVerdict::kNoTransmitTime},
      {0x24, 1, now, ReplyVerdict::kNoReceiveTime, 0},  // would read as 2036
      {0x24, 1, 1, ReplyVerdict::kUsable, 1},           // a second into era 1 is a time, and after any floor
      // The server's time (T3) before the release floor, not its receive time.
      {0x24, 1, now - 1, ReplyVerdict::kBeforeRelease},
      {0x24, 1, kUnixEpochNtp + 978307200u, ReplyVerdict::kBeforeRelease},  // 2001
      {0x24, 1, now + 1, ReplyVerdict::kUsable, now - 1, 2 * kSec},
      // Times that cannot all be true: the server held the request up to 4 s,
      // never less than nothing, and the round trip falls below zero only by
      // the two clocks' steps.
      {0x24, 1, now + 4, ReplyVerdict::kUsable, now, 4 * kSec},
      {0x24, 1, now + 5, ReplyVerdict::kContradictoryTimes, now, 5 * kSec},
      {0x24, 1, now + 1, ReplyVerdict::kContradictoryTimes, now + 2, 0},
      {0x24, 1, now + 1, ReplyVerdict::kContradictoryTimes, now, 0},
      {0x24, 1, now + 1, ReplyVerdict::kUsable, now, 0, kSec},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> b = reply(c.first, c.stratum, c.t2, c.t3);
    ReplyEvaluation e =
        evaluate_reply(b.data(), b.size(), kTestNonce, 0, c.t4, unix_to_filetime(1772323200), c.step);
    EXPECT_EQ(e.kind, DatagramKind::kReply);
    EXPECT_EQ(e.verdict, c.verdict) << int(c.first) << "/" << int(c.stratum) << " " << c.t3 - now;
    EXPECT_EQ(e.info.stratum, c.stratum) << "the server information is read whatever the verdict";
  }
  std::vector<uint8_t> b = reply(0x24, 1, now, now);
  EXPECT_EQ(evaluate_reply(b.data(), 47, kTestNonce, 0, 0, 0).kind, DatagramKind::kUnreadable);
}

TEST(EvaluateReply, OnlyAnEchoOfTheNonceAnswersTheRequest) {
  const uint32_t now = kUnixEpochNtp + 1772323200u;
  std::vector<uint8_t> kod = reply(0xE4, 0, now, now);  // would be a kiss-o'-death text
  uint8_t other[kNonceSize];
  std::memcpy(other, kTestNonce, kNonceSize);
  other[7] ^= 1;
  const uint8_t zero[kNonceSize] = {};
  EXPECT_EQ(evaluate_reply(kod.data(), kod.size(), other, 0, 0, 0).kind, DatagramKind::kNotAnAnswer);
  std::memset(kod.data() + 24, 0, kNonceSize);
  EXPECT_EQ(evaluate_reply(kod.data(), kod.size(), zero, 0, 0, 0).kind, DatagramKind::kNotAnAnswer)
      << "a zero originate answers nothing";
  EXPECT_EQ(evaluate_reply(kod.data(), 31, kTestNonce, 0, 0, 0).kind, DatagramKind::kNotAnAnswer);
  EXPECT_EQ(evaluate_reply(nullptr, 0, kTestNonce, 0, 0, 0).kind, DatagramKind::kNotAnAnswer);
  const ReplyEvaluation e = evaluate_reply(kod.data(), kod.size(), other, 0, 0, 0);
  EXPECT_EQ(e.verdict, ReplyVerdict::kNone) << "no verdict reads as usable";
  EXPECT_EQ(e.info.stratum, 0);
  EXPECT_EQ(e.info.first_octet, 0) << "nothing is read from a datagram that answers nothing";
}

TEST(BigSteps, ConfirmedFrom1000SecondsAgreeingWithinOne) {
  EXPECT_FALSE(step_needs_confirmation(1000 * kSec - 1));
  EXPECT_TRUE(step_needs_confirmation(1000 * kSec));
  EXPECT_TRUE(step_needs_confirmation(-1000 * kSec));
  EXPECT_TRUE(step_needs_confirmation(INT64_MIN));
  EXPECT_TRUE(offsets_agree(7200 * kSec, 7201 * kSec));
  EXPECT_TRUE(offsets_agree(-7200 * kSec, -7201 * kSec));
  EXPECT_FALSE(offsets_agree(7200 * kSec, 7201 * kSec + 1));
  EXPECT_FALSE(offsets_agree(7200 * kSec, -7200 * kSec));
  EXPECT_FALSE(offsets_agree(INT64_MIN, INT64_MAX)) << "no overflow";
}

TEST(DecideMove, EveryBranch) {
  constexpr int64_t ms300 = 300 * kMs;
  EXPECT_EQ(decide_move(0, 0, 0, nullptr), ClockAction::kNone);
  EXPECT_EQ(decide_move(1, 0, 1000, "+50 msec"), ClockAction::kMove) << "skipping off moves even 100 ns";
  EXPECT_EQ(decide_move(-1000 * kMs, 1, 1000, "+50 msec"), ClockAction::kMove) << "at the threshold";
  EXPECT_EQ(decide_move(-1000 * kMs + 1, 1, 1000, "+50 msec"), ClockAction::kSkip) << "999.9999 ms is 999 ms";
  EXPECT_EQ(decide_move(ms300, 1, 1000, "+50 msec"), ClockAction::kSkip);
  EXPECT_EQ(decide_move(ms300, 1, 1000, "-2500 msec"), ClockAction::kMove) << "the last offset was large";
  EXPECT_EQ(decide_move(ms300, 1, 1000, "+1000 msec"), ClockAction::kMove);
  EXPECT_EQ(decide_move(ms300, 1, 1000, "-999 msec*"), ClockAction::kSkip);
  EXPECT_EQ(decide_move(ms300, 1, 1000, nullptr), ClockAction::kMove) << "first check of the item";
  EXPECT_EQ(decide_move(ms300, 1, 1000, ""), ClockAction::kMove) << "no readable last offset";
  EXPECT_EQ(decide_move(ms300, 1, 1000, "abc"), ClockAction::kMove);
  EXPECT_EQ(decide_move(ms300, 1, 1000, "-2147483648 msec"), ClockAction::kMove);
  EXPECT_EQ(decide_move(ms300, 1, 1000, "+99999999999 msec"), ClockAction::kMove);
  EXPECT_EQ(decide_move(5, 1, 0, "+0 msec"), ClockAction::kMove) << "threshold 0 moves every offset";
  EXPECT_EQ(decide_move(5, 1, 1, "+0 msec"), ClockAction::kSkip);
}

}  // namespace

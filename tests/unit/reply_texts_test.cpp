#include "check/reply_texts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int64_t kMs = kUnitsPerMs;

TEST(ReplyProblem, EachReasonHasItsOwnMessage) {
  std::set<std::string> texts;
  char out[512];  // the exchange's block for a reason
  const auto says_unchanged_then_what_to_do = [&] {
    const std::string text = out;
    EXPECT_LT(text.find("。時刻は変更していません。"), text.rfind("ください。")) << text;
    EXPECT_TRUE(text.ends_with("。")) << "cut short: " << text;
    texts.insert(text);
  };
  for (KissCode code : {KissCode::kRate, KissCode::kDeny}) {  // the longest texts
    format_backoff_text(code, CalendarTime{2026, 12, 31, 23, 59, 59}, out, sizeof out);
    says_unchanged_then_what_to_do();
  }
  for (ReplyVerdict v : {ReplyVerdict::kNotServerMode, ReplyVerdict::kKissOfDeath, ReplyVerdict::kStratumTooHigh,
                         ReplyVerdict::kUnsynchronized, ReplyVerdict::kNoTransmitTime, ReplyVerdict::kNoReceiveTime,
                         ReplyVerdict::kBeforeRelease, ReplyVerdict::kContradictoryTimes}) {
    format_reply_problem(ReplyEvaluation{DatagramKind::kReply, v, {}, 0, 0, 0, 0}, 47, out, sizeof out);
    says_unchanged_then_what_to_do();
  }
  format_reply_problem(ReplyEvaluation{DatagramKind::kUnreadable, {}, {}, 0, 0, 0, 0}, 47, out, sizeof out);
  says_unchanged_then_what_to_do();
  EXPECT_EQ(texts.size(), 11u);
  EXPECT_NE(std::string(out).find("47"), std::string::npos);
  ReplyEvaluation kod{
      DatagramKind::kReply, ReplyVerdict::kKissOfDeath, {0xE4, 0, 0, 0, 0, 0, {'R', 'A', 'T', 'E'}}, 0, 0, 0, 0};
  format_reply_problem(kod, 48, out, sizeof out);
  EXPECT_NE(std::string(out).find("RATE"), std::string::npos);
  kod.info.reference_id[1] = 0x07;  // not a printable code: none is quoted
  format_reply_problem(kod, 48, out, sizeof out);
  EXPECT_NE(std::string(out).find("Kiss-o'-Death)"), std::string::npos);
  std::memcpy(kod.info.reference_id, "INIT", 4);  // not synchronised yet: try later
  format_reply_problem(kod, 48, out, sizeof out);
  EXPECT_NE(std::string(out).find("まだ同期していません (Kiss-o'-Death INIT)"), std::string::npos);
  format_reply_problem(kod, 48, out, 8);  // cut to the buffer
  EXPECT_LT(std::strlen(out), 8u);
  // A datagram that answers nothing, and a usable reply, have no problem to tell.
  for (const ReplyEvaluation& silent : {ReplyEvaluation{DatagramKind::kNotAnAnswer, {}, {}, 0, 0, 0, 0},
                                        ReplyEvaluation{DatagramKind::kNotOurs, {}, {}, 0, 0, 0, 0},
                                        ReplyEvaluation{DatagramKind::kReply, ReplyVerdict::kUsable, {}, 0, 0, 0, 0}}) {
    format_reply_problem(silent, 48, out, sizeof out);
    EXPECT_STREQ(out, "");
  }
}

TEST(CalendarTime, TheCivilDateOfAFiletime) {
  const struct {
    uint64_t filetime;
    int year, month, day, hour, minute, second;
  } cases[] = {
      {116'444'736'000'000'000ull - kUnitsPerSecond, 1969, 12, 31, 23, 59, 59},
      {125'962'560'000'000'000ull, 2000, 2, 29, 0, 0, 0},
      {137'919'572'480'000'000ull, 2038, 1, 19, 3, 14, 8},
  };
  for (const auto& c : cases) {
    const CalendarTime t = utc_calendar_time(c.filetime);
    EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour, t.minute, t.second}),
              (std::vector<int>{c.year, c.month, c.day, c.hour, c.minute, c.second}));
  }
}

std::string offset_text(int64_t offset, size_t size = kOffsetTextSize) {
  std::string out(size, 'X');
  bool ok = format_offset_text(offset, out.data(), size);
  out.resize(std::strlen(out.c_str()));
  return ok ? out : "<refused:" + out + ">";
}

TEST(OffsetText, WholeMillisecondsWithSign) {
  EXPECT_EQ(offset_text(300 * kMs), "+300 msec");
  EXPECT_EQ(offset_text(-1500 * kMs), "-1500 msec");
  EXPECT_EQ(offset_text(-1500 * kMs - 9999), "-1500 msec");
  EXPECT_EQ(offset_text(9999), "+0 msec");
  EXPECT_EQ(offset_text(-9999), "+0 msec") << "below 1 ms the sign is that of zero";
  EXPECT_EQ(offset_text(9999999999999 * kMs), "+9999999999999 msec") << "13 digits fill the block";
  EXPECT_EQ(offset_text(-9999999999999 * kMs), "-9999999999999 msec");
  EXPECT_EQ(offset_text(10000000000000 * kMs), "<refused:>");
  EXPECT_EQ(offset_text(INT64_MIN), "<refused:>");
}

}  // namespace

// Whole checks through the real sntp.dll, driven as the host drives them (a
// host window, its message loop and direct timer calls), against a scripted
// SNTP server on loopback. The plug-in's clock, its clock changes and a few
// system calls are watched or failed through its import table.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "check/ntp.h"
#include "check/probe_state.h"
#include "check/reply_texts.h"
#include "check/server_info_string.h"
#include "filetime_units.h"
#include "plugin/error_and_status.h"
#include "plugin_test.h"
#include "reply_datagram.h"
#include "resource.h"

namespace {

constexpr int64_t kMs = kUnitsPerMs;

std::string local_minute() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char text[32];
  format_changed_text(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, text, sizeof text);
  return text;
}

// Clock changes reach the system (Wine accepts a move within 0.5 s of its
// clock and refuses a larger one) and the system's own name lookups run.
class Checks : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    freeze_clock();
    let_clock_changes_through(true);
    fake_lookups(false);
    host_.on_message = [this](UINT message, WPARAM, LPARAM) { time_changes_ += message == WM_TIMECHANGE; };
  }

  std::string options(int skip = 0, int threshold = 0, int quiet = 0, uint16_t port = 0) {
    return option_text(port ? port : responder_.port(), skip, threshold, quiet);
  }

  // A check of the responder whose request is out, after two ticks: the
  // next tick without a sign of life times it out.
  CheckItem* two_ticks_from_its_time_out() {
    CheckItem* it = item();
    const size_t requests = responder_.requests().size();
    EXPECT_EQ(start(it), 0);
    EXPECT_TRUE(responder_.wait_for_requests(requests + 1, 5000));
    EXPECT_EQ(tick(it), 0);
    EXPECT_EQ(tick(it), 0);
    return it;
  }

  int time_changes_ = 0;
};

TEST_F(Checks, DottedAddressSendsTheRequestAndMovesTheClock) {
  CheckItem* it = item();
  set_item_text(&it->error_text, "前回のエラー");
  responder_.answer_next({reply(300 * kMs)});
  const std::string minute_before = local_minute();
  ASSERT_EQ(start(it), 0);
  EXPECT_EQ(looked_up_names().size(), 0u);
  ASSERT_TRUE(wait_for_ends(1));
  pump_pending_messages();
  const std::string minute_after = local_minute();

  std::vector<ReceivedRequest> requests = responder_.requests();
  ASSERT_EQ(requests.size(), 1u);
  std::vector<uint8_t> request(48, 0);
  request[0] = 0x1B;  // version 3, client
  std::copy(requests[0].bytes.begin() + 40, requests[0].bytes.end(), request.begin() + 40);
  EXPECT_EQ(requests[0].bytes, request) << "zeros but the first octet and the nonce";
  sockaddr_in mine{};
  int length = sizeof mine;
  getsockname(static_cast<SOCKET>(it->socket), reinterpret_cast<sockaddr*>(&mine), &length);
  EXPECT_EQ(requests[0].from.sin_port, mine.sin_port) << "sent from the item's socket";

  EXPECT_EQ(host_.status_lines, (std::vector<std::string>{kStatusSending, kStatusReceiving, kStatusDone}));
  ASSERT_EQ(host_.calls.size(), 1u);
  EXPECT_EQ(host_.calls[0].result, 2);
  expect_end(0, CHECK_CHANGED, it);
  EXPECT_STREQ(it->server_info, "36;2;6;-26;98304;-2;127.127.1.1");
  EXPECT_STREQ(it->offset_text, "+300 msec");
  EXPECT_EQ(GlobalSize(it->offset_text), 20u);
  EXPECT_TRUE(item_text(it->changed_text) == minute_before || item_text(it->changed_text) == minute_after)
      << item_text(it->changed_text);
  EXPECT_EQ(GlobalSize(it->changed_text), 18u);
  EXPECT_STREQ(it->error_text, "前回のエラー") << "a successful check leaves the error text";
  EXPECT_EQ(it->tick_count, 0);
  // The clock was asked for exactly the server's time, to the nearest millisecond.
  ASSERT_EQ(system_times_set().size(), 1u);
  EXPECT_EQ(to_units(system_times_set()[0]), (now_ + 300 * kMs + kMs / 2) / kMs * kMs);
  EXPECT_EQ(local_times_set().size(), 1u);
  EXPECT_EQ(time_changes_, 1) << "WM_TIMECHANGE is broadcast";

  const SOCKET s = static_cast<SOCKET>(it->socket);
  EXPECT_EQ(api_.item_check_end(host_.window, it), 0);
  EXPECT_EQ(it->probe, nullptr);
  EXPECT_EQ(it->socket, kNoSocket);
  EXPECT_EQ(closed_sockets(), std::vector<SOCKET>{s});
}

TEST_F(Checks, TheItemsOptionsDecideWhetherTheClockMoves) {
  const struct {
    const char* name;
    int skip, threshold, quiet;
    int64_t offset;
    const char* previous;
    bool fake_set_time;
    WPARAM result;
    const char* offset_text;
    bool moved;
    bool measure_only = false;
    bool no_local_time = false;  // the local time of the new instant cannot be had
  } cases[] = {
      {"behind by 300 ms", 0, 0, 0, 300 * kMs, nullptr, false, 1, "+300 msec", true},
      {"quiet", 0, 0, 1, 300 * kMs, "+50 msec", false, 0, "+300 msec", true},
      {"clocks equal", 0, 0, 0, 0, "+50 msec", false, 0, "+50 msec", false},
      {"below 1 ms", 0, 0, 0, 5000, nullptr, false, 1, "+0 msec", true},
      {"small after small", 1, 1000, 0, 300 * kMs, "+50 msec", false, 0, "+50 msec", false},
      {"small after large", 1, 1000, 0, 300 * kMs, "-2500 msec", false, 1, "+300 msec", true},
      {"first check", 1, 1000, 0, 300 * kMs, nullptr, false, 1, "+300 msec", true},
      {"1.5 s ahead", 0, 0, 0, -1500 * kMs, nullptr, true, 1, "-1500 msec", true},
      {"refused", 0, 0, 0, -1500 * kMs, "+50 msec", false, 2, "+50 msec", false},
      // Measuring only, the clock never moves, whatever the other options and
      // the last offset: the offset is written, and the host is alerted (1)
      // when its size reaches the threshold.
      {"measuring, below the threshold", 1, 1000, 1, 300 * kMs, "-2500 msec", false, 0, "+300 msec", false, true},
      {"measuring, above the threshold", 1, 1000, 1, -2000 * kMs, nullptr, false, 1, "-2000 msec", false, true},
      {"measuring, at the threshold", 0, 1000, 0, 1000 * kMs, "+50 msec", false, 1, "+1000 msec", false, true},
      {"measuring, clocks equal", 0, 1000, 0, 0, "+50 msec", false, 0, "+0 msec", false, true},
      // Both times are made before the clock is set: nothing moves.
      {"no local time", 0, 0, 0, 300 * kMs, "+50 msec", true, 2, "+50 msec", false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    freeze_clock();  // Wine accepts a move only within 0.5 s of the real clock
    system_times_set().clear();
    local_times_set().clear();
    let_clock_changes_through(!c.fake_set_time);
    fail_local_time_conversion(c.no_local_time);
    CheckItem* it = item("127.0.0.1", options(c.skip, c.threshold, c.quiet) + (c.measure_only ? "1;" : ""));
    set_item_text(&it->offset_text, c.previous);
    responder_.answer_next({reply(c.offset)});
    const size_t ends = host_.check_ends.size();
    ASSERT_EQ(start(it), 0);
    ASSERT_TRUE(wait_for_ends(ends + 1));
    expect_end(ends, c.result, it);
    EXPECT_EQ(item_text(it->offset_text), c.offset_text);
    EXPECT_EQ(it->changed_text != nullptr, c.moved);
    if (c.result == CHECK_FAILED) {
      EXPECT_EQ(item_text(it->error_text),
                error_text(c.no_local_time ? ERROR_INVALID_PARAMETER : ERROR_PRIVILEGE_NOT_HELD));
      EXPECT_EQ(system_times_set().size(), c.no_local_time ? 0u : 1u) << "asked, and refused";
    } else {
      EXPECT_EQ(it->error_text, nullptr);
      EXPECT_EQ(system_times_set().size(), c.moved ? 1u : 0u);
    }
    if (c.offset == -1500 * kMs) {
      ASSERT_EQ(system_times_set().size(), 1u);
      EXPECT_EQ(to_units(system_times_set()[0]), (now_ - 1500 * kMs + kMs / 2) / kMs * kMs);
    }
    if (c.moved) {
      // SetLocalTime is asked for the same instant in local time.
      SYSTEMTIME local_of_utc;
      SystemTimeToTzSpecificLocalTime(nullptr, &system_times_set()[0], &local_of_utc);
      ASSERT_EQ(local_times_set().size(), 1u);
      EXPECT_EQ(to_units(local_times_set()[0]), to_units(local_of_utc));
    }
  }
}

TEST_F(Checks, EveryRequestCarriesAFreshNonce) {
  CheckItem* it = item();
  for (int i = 0; i < 2; ++i) {
    // The second from CryptGenRandom, as on Windows 2000.
    if (i == 1) set_random_source(RandomSource::kCryptoApiOnly);
    responder_.answer_next({reply(100 * kMs)});
    ASSERT_EQ(start(it), 0);
    ASSERT_TRUE(wait_for_end_of(it, i + 1));
  }
  const std::vector<ReceivedRequest> requests = responder_.requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::vector<uint8_t> first(requests[0].bytes.begin() + 40, requests[0].bytes.end());
  const std::vector<uint8_t> second(requests[1].bytes.begin() + 40, requests[1].bytes.end());
  EXPECT_NE(first, std::vector<uint8_t>(8, 0));
  EXPECT_NE(second, std::vector<uint8_t>(8, 0));
  EXPECT_NE(first, second);

  // Without a random number there is no request at all.
  set_random_source(RandomSource::kNone);
  const int sent = datagrams_sent();
  EXPECT_EQ(start(it), -1);
  EXPECT_EQ(datagrams_sent(), sent);
  EXPECT_EQ(item_text(it->error_text), kNoRandomNumberText);
}

// A server that lost its time (reset to 2001, say) is refused whatever the
// item does with the offset, and its address is forgotten.
TEST_F(Checks, NoServerTimeBeforeTheModulesRelease) {
  const uint64_t in_2001 = 126'227'808'000'000'000ull;
  for (const char* measure_only : {"", "1;"}) {
    SCOPED_TRACE(measure_only);
    CheckItem* it = item("127.0.0.1", options() + measure_only);
    responder_.answer_next({Datagram{reply_datagram(in_2001, in_2001)}});
    const size_t ends = host_.check_ends.size();
    ASSERT_EQ(start(it), 0);
    ASSERT_TRUE(wait_for_ends(ends + 1));
    expect_end(ends, CHECK_FAILED, it);
    EXPECT_NE(item_text(it->error_text).find("(2001/01/01 00:00 UTC)"), std::string::npos);
    EXPECT_NE(it->server_info, nullptr);
    EXPECT_EQ(it->offset_text, nullptr);
    EXPECT_EQ(it->changed_text, nullptr);
  }
  EXPECT_TRUE(system_times_set().empty());
}

// A step of 1000 s or more is taken only when a second request, with a
// fresh nonce, measures the same offset within 1 s, and then by the second;
// the first reply again, late, answers nothing then. The second request
// leaves on the first tick 2 s after the first, so that a server that limits
// each client's rate as ntpd does answers it too.
TEST_F(Checks, BigStepsAreConfirmedByASecondRequest) {
  constexpr int64_t kHour = 3600 * kUnitsPerSecond;
  const struct {
    std::vector<std::vector<int64_t>> answers;  // the offsets each request is answered with
    const char* measure_only;
    WPARAM result;
    const char* offset_text;
    RateLimit limit = RateLimit::kNone;
  } cases[] = {
      {{{2 * kHour}, {2 * kHour + 900 * kMs}}, "", CHECK_CHANGED, "+7200900 msec"},
      {{{-2 * kHour}, {-2 * kHour - 1000 * kMs}}, "", CHECK_CHANGED, "-7201000 msec"},
      {{{2 * kHour}, {3 * kHour}}, "", CHECK_FAILED, nullptr},
      {{{2 * kHour, 5 * kHour}, {2 * kHour}}, "", CHECK_CHANGED, "+7200000 msec"},
      {{{999 * kUnitsPerSecond}}, "", CHECK_CHANGED, "+999000 msec"},
      {{{-999 * kUnitsPerSecond}}, "", CHECK_CHANGED, "-999000 msec"},
      {{{2 * kHour}}, "1;", CHECK_CHANGED, "+7200000 msec"},
      // Servers that limit each client's rate as ntpd 4.2.8 does.
      {{{2 * kHour}, {2 * kHour}}, "", CHECK_CHANGED, "+7200000 msec", RateLimit::kDrop},
      {{{2 * kHour}, {2 * kHour}}, "", CHECK_CHANGED, "+7200000 msec", RateLimit::kKod},
  };
  let_clock_changes_through(false);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answers.size() * 10 + c.answers[0].size() + 100 * static_cast<int>(c.limit));
    system_times_set().clear();
    host_.status_lines.clear();
    responder_.limit_rate(c.limit, plugin_ticks);
    CheckItem* it = item("127.0.0.1", options() + c.measure_only);
    const size_t requests = responder_.requests().size();
    for (const auto& offsets : c.answers) {
      std::vector<Datagram> answers;
      for (int64_t offset : offsets) answers.push_back(reply(offset));
      responder_.answer_next(answers);
    }
    ASSERT_EQ(start(it), 0);
    ASSERT_TRUE(wait_for_end_asking_again(it));
    pump_messages_until([&] { return false; }, 100);  // no further request, no second end
    EXPECT_EQ(ends_of(it), 1);
    EXPECT_EQ(result_of(it), c.result) << item_text(it->error_text);
    EXPECT_EQ(item_text(it->offset_text), item_text(c.offset_text));
    EXPECT_EQ(system_times_set().size(), c.result == CHECK_CHANGED && c.measure_only[0] == 0 ? 1u : 0u);
    const std::vector<ReceivedRequest> sent = responder_.requests();
    ASSERT_EQ(sent.size(), requests + c.answers.size());
    if (c.answers.size() == 1) continue;
    EXPECT_FALSE(std::equal(sent[requests].bytes.begin() + 40, sent[requests].bytes.end(),
                            sent[requests + 1].bytes.begin() + 40)) << "a fresh nonce";
    EXPECT_EQ(host_.status_lines, (std::vector<std::string>{kStatusSending, kStatusReceiving, kStatusSending,
                                                            kStatusReceiving, kStatusDone}));
    EXPECT_EQ(item_text(it->error_text).find("(+7200.0 秒と +10800.0 秒)") != std::string::npos,
              c.result == CHECK_FAILED);
  }
  responder_.limit_rate(RateLimit::kNone, nullptr);

  // The second request waits for the first tick 2 s after the first left:
  // the ticks before are no ticks without a sign of life. The time-out
  // counts from the second request, says what it waited for, and is not
  // taken over by a failed read before it.
  CheckItem* silent = two_ticks_from_its_time_out();
  const size_t requests = responder_.requests().size();
  std::vector<uint8_t> short_reply = reply(0).bytes;
  short_reply.resize(47);
  responder_.send({short_reply});
  ASSERT_TRUE(wait_for_calls(host_.calls.size() + 1));
  responder_.send(reply(2 * kHour));
  ASSERT_TRUE(pump_messages_until([&] { return silent->probe->phase == CheckPhase::kWaitingToAsk; }, 5000));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(tick(silent), 0);
  advance_plugin_ticks(kRequestSpacingMs - 1);
  EXPECT_EQ(tick(silent), 0);
  EXPECT_FALSE(responder_.wait_for_requests(requests + 1, 100)) << "not before 2 s";
  advance_plugin_ticks(1);
  EXPECT_EQ(tick(silent), 0);
  EXPECT_TRUE(responder_.wait_for_requests(requests + 1, 5000));
  const int ticks[] = {tick(silent), tick(silent), tick(silent)};
  EXPECT_EQ(std::vector<int>(ticks, ticks + 3), (std::vector<int>{0, 0, 2}));
  EXPECT_EQ(result_of(silent), CHECK_TIMEOUT);
  EXPECT_EQ(item_text(silent->error_text), module_string(IDS_CONFIRMATION_UNANSWERED));
}

// One reply decides unless it leaves doubt: a late one, or one whose bound
// holds the threshold. Then the check asks again, 2 s on, and decides on the
// reply with the shortest round trip. The server answers request i on time,
// or `late_ms[i]` late on its way back (the plug-in's clock moves on
// meanwhile), or with RATE (-1); it runs with the plug-in's clock.
TEST_F(Checks, OneRequestUnlessAReplyLeavesDoubt) {
  for (CheckItem* done : host_.items) api_.item_check_end(host_.window, done);
  reload_module();  // the server's round trip unknown to the first row
  let_clock_changes_through(false);
  const struct {
    const char* name;
    const char* options;
    std::vector<int> late_ms;
    int64_t server_ms, step_ms;  // the server's offset, and the step taken by it
    WPARAM result;
  } rows[] = {
      {"prompt, far above the threshold", "0;50;0;1;", {0}, 300, 0, CHECK_CHANGED},
      {"prompt, far below the threshold", "0;50;0;1;", {0}, 20, 0, CHECK_OK_QUIET},
      {"late, the threshold within its bound: the prompt one", "0;50;0;1;", {200, 0}, 20, 0, CHECK_OK_QUIET},
      {"late, setting the clock: the prompt one", "0;0;0;", {200, 0}, 20, 20, CHECK_CHANGED},
      {"four late: the best of four", "0;0;0;", {200, 150, 250, 200}, 20, 20 - 75, CHECK_CHANGED},
      // After four late replies, 150 ms is the usual round trip.
      {"a kiss in the second reply ends the check", "0;0;0;", {400, -1}, 20, 0, CHECK_FAILED},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    auto late = std::make_shared<std::deque<int>>(r.late_ms.begin(), r.late_ms.end());
    responder_.answer_each([this, late, &r](const ReceivedRequest&) {
      const int ms = late->empty() ? 0 : late->front();
      if (!late->empty()) late->pop_front();
      if (ms < 0) return std::vector<Datagram>{Datagram{reply_datagram(now_, now_, 0xE4, 0, "RATE")}};
      const Datagram answer = reply(r.server_ms * kMs);
      set_plugin_clock(now_ += ms * kMs);
      return std::vector<Datagram>{answer};
    });
    system_times_set().clear();
    host_.status_lines.clear();
    const size_t asked = responder_.requests().size();
    CheckItem* it = item("127.0.0.1", std::to_string(responder_.port()) + ";" + r.options);
    ASSERT_EQ(start(it), 0);
    ASSERT_TRUE(wait_for_end_asking_again(it));
    EXPECT_EQ(result_of(it), r.result) << item_text(it->error_text);
    EXPECT_EQ(responder_.requests().size() - asked, r.late_ms.size());
    const bool asked_again = std::count(host_.status_lines.begin(), host_.status_lines.end(),
                                        std::string(kStatusAskingAgainLate)) > 0;
    EXPECT_EQ(asked_again, r.late_ms.size() > 1);
    if (r.options[2] == '0' && r.result == CHECK_CHANGED) {  // setting the clock: by the best reply
      ASSERT_EQ(system_times_set().size(), 1u);
      EXPECT_EQ(to_units(system_times_set()[0]), (now_ + r.step_ms * kMs + kMs / 2) / kMs * kMs);
    }
  }
  responder_.answer_each(nullptr);
}

// RATE, DENY and RSTR: the server (address and port) gets no request, from
// any item, until its back-off ends, though it would answer now; the check
// fails at once and says until when. INIT and an unsynchronised server set
// no back-off. A usable reply ends a back-off for good.
TEST_F(Checks, AServerThatAsksToBeLeftAloneIsLeftAlone) {
  const struct {
    const char* code;
    uint8_t first, stratum;
    uint64_t seconds;  // 0: no back-off
  } cases[] = {{"RATE", 0xE4, 0, 64}, {"DENY", 0xE4, 0, 86400}, {"RSTR", 0x24, 0, 86400},
               {"INIT", 0xE4, 0, 0}, {"\x7f\x7f\x01\x01", 0xE4, 2, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    for (CheckItem* done : host_.items) api_.item_check_end(host_.window, done);
    reload_module();  // no back-off from an earlier case
    CheckItem* asked = item();
    responder_.answer_next({Datagram{reply_datagram(now_, now_, c.first, c.stratum, c.code)}});
    ASSERT_EQ(start(asked), 0);
    ASSERT_TRUE(wait_for_end_of(asked));
    EXPECT_EQ(result_of(asked), CHECK_FAILED);
    const std::string reason = item_text(asked->error_text);
    responder_.answer_each([&](const ReceivedRequest&) { return std::vector<Datagram>{reply(300 * kMs)}; });
    const int sent = datagrams_sent();
    for (CheckItem* again : {asked, item()}) {  // the same item, and another naming the server
      const int ends = ends_of(again);
      if (c.seconds == 0) {
        ASSERT_EQ(start(again), 0);
        ASSERT_TRUE(wait_for_end_of(again, ends + 1));
        EXPECT_EQ(result_of(again), CHECK_CHANGED);
        continue;
      }
      EXPECT_EQ(start(again), -1);
      EXPECT_EQ(ends_of(again), ends + 1);
      EXPECT_EQ(result_of(again), CHECK_FAILED);
      EXPECT_EQ(item_text(again->error_text), reason);
    }
    responder_.answer_each(nullptr);
    if (c.seconds == 0) continue;
    EXPECT_EQ(datagrams_sent(), sent) << "nothing sent while backed off";
    const uint64_t until = now_ + c.seconds * kUnitsPerSecond;
    SYSTEMTIME utc, local;
    FileTimeToSystemTime(reinterpret_cast<const FILETIME*>(&until), &utc);
    SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
    char when[64];
    wsprintfA(when, "このコンピューターの時刻で %04d/%02d/%02d %02d:%02d:%02d まで", local.wYear, local.wMonth,
              local.wDay, local.wHour, local.wMinute, local.wSecond);
    EXPECT_NE(reason.find(std::string("(Kiss-o'-Death ") + c.code + ")"), std::string::npos) << reason;
    EXPECT_NE(reason.find(when), std::string::npos) << reason;
  }

  // Once a RATE back-off is over, a usable reply ends it: the next RATE
  // starts again from 64 s instead of doubling. Back-offs last in real time:
  // another item that steps the clock two hours on ends none early.
  CheckItem* it = item();
  for (const char* reference : {"RATE", "\x7f\x7f\x01\x01", "RATE"}) {
    advance_plugin_ticks(65'000);
    responder_.answer_next({Datagram{reply_datagram(now_, now_, 0x24, reference[0] == 'R' ? 0 : 2, reference)}});
    const int ends = ends_of(it);
    ASSERT_EQ(start(it), 0) << item_text(it->error_text);
    ASSERT_TRUE(wait_for_end_of(it, ends + 1));
  }
  set_plugin_clock(now_ + 2 * 3600 * kUnitsPerSecond);
  EXPECT_EQ(start(it), -1);
  advance_plugin_ticks(64'000);
  EXPECT_EQ(start(it), 0) << item_text(it->error_text);
  set_plugin_clock(now_);

  // A usable reply to a request that left before the kiss (another item's)
  // says nothing of the server's wish: the back-off holds.
  for (CheckItem* done : host_.items) api_.item_check_end(host_.window, done);
  reload_module();
  CheckItem* earlier = item();
  const size_t asked = responder_.requests().size();
  responder_.answer_next({});
  ASSERT_EQ(start(earlier), 0);
  ASSERT_TRUE(responder_.wait_for_requests(asked + 1, 5000));
  advance_plugin_ticks(10);
  CheckItem* kissed = item();
  responder_.answer_next({Datagram{reply_datagram(now_, now_, 0xE4, 0, "RATE")}});
  ASSERT_EQ(start(kissed), 0);
  ASSERT_TRUE(wait_for_end_of(kissed));
  responder_.send_to(reply(300 * kMs), responder_.requests()[asked]);
  ASSERT_TRUE(wait_for_end_of(earlier));
  EXPECT_EQ(result_of(earlier), CHECK_CHANGED);
  EXPECT_EQ(start(item()), -1) << "still backed off";
}

// SetLocalTime converts with the daylight-saving setting of the moment it
// is called, which the step has just changed: the local time it is given
// must be the new instant's own. Only a zone with daylight saving shows it
// (the entry check_test.dst runs this with TZ=Europe/Berlin).
TEST_F(Checks, AStepAcrossDaylightSavingLandsOnTheRightLocalTime) {
  TIME_ZONE_INFORMATION zone;
  GetTimeZoneInformation(&zone);
  if (zone.DaylightDate.wMonth == 0 || zone.DaylightBias == 0) GTEST_SKIP() << "no daylight saving here";
  // Next year's January and July, after any release floor.
  SYSTEMTIME today;
  GetSystemTime(&today);
  const WORD year = static_cast<WORD>(today.wYear + 1);
  const uint64_t winter = to_units(SYSTEMTIME{year, 1, 0, 15, 12, 0, 0, 0});
  const uint64_t summer = to_units(SYSTEMTIME{year, 7, 0, 15, 12, 0, 0, 0});
  const bool north = zone.DaylightDate.wMonth < 7;  // daylight saving in July
  const struct {
    uint64_t from, to;
    LONG bias;  // minutes, UTC = local + bias, at `to`
  } steps[] = {{winter, summer, zone.Bias + (north ? zone.DaylightBias : zone.StandardBias)},
               {summer, winter, zone.Bias + (north ? zone.StandardBias : zone.DaylightBias)}};
  let_clock_changes_through(false);
  for (const auto& step : steps) {
    set_plugin_clock(now_ = step.from);
    local_times_set().clear();
    CheckItem* it = item();
    const int64_t offset = static_cast<int64_t>(step.to - step.from);
    responder_.answer_next({reply(offset)});
    responder_.answer_next({reply(offset)});
    ASSERT_EQ(start(it), 0);
    ASSERT_TRUE(wait_for_end_asking_again(it));
    ASSERT_EQ(result_of(it), CHECK_CHANGED) << item_text(it->error_text);
    ASSERT_EQ(local_times_set().size(), 1u);
    EXPECT_EQ(to_units(local_times_set()[0]), step.to - step.bias * 60 * kUnitsPerSecond);
  }
}

TEST_F(Checks, ANameIsLookedUpOnceThenTakenFromTheCache) {
  responder_.answer_next({reply(100 * kMs)});
  responder_.answer_next({reply(100 * kMs)});
  CheckItem* first = item("localhost");
  ASSERT_EQ(start(first), 0);
  EXPECT_NE(first->lookup_handle, 0u);
  ASSERT_TRUE(wait_for_ends(1));
  EXPECT_EQ(looked_up_names().size(), 1u);
  ASSERT_FALSE(host_.calls.empty());
  EXPECT_STREQ(host_.calls[0].name, "Gethost");
  EXPECT_EQ(host_.calls[0].result, 0);
  EXPECT_EQ(first->lookup_handle, 0u);
  EXPECT_EQ(host_.status_lines, (std::vector<std::string>{kStatusLookingUp, kStatusReceiving, kStatusDone}));
  expect_end(0, CHECK_CHANGED, first);

  host_.status_lines.clear();
  CheckItem* second = item("LocalHost");  // another item, the name in other case
  ASSERT_EQ(start(second), 0);
  EXPECT_EQ(second->lookup_handle, 0u);
  ASSERT_TRUE(wait_for_ends(2));
  EXPECT_EQ(looked_up_names().size(), 1u) << "no second lookup";
  EXPECT_EQ(host_.status_lines, (std::vector<std::string>{kStatusSending, kStatusReceiving, kStatusDone}));
  expect_end(1, CHECK_CHANGED, second);
}

// A pool name's member may leave: the address the cache gave, or the one the
// check's own lookup found, is forgotten when the check gets no answer there
// or cannot send there, and the next check looks the name up again.
TEST_F(Checks, ACachedAddressThatFailsIsLookedUpAgain) {
  fake_lookups(true);
  clear_looked_up_names();
  CheckItem* it = item("pool.example");
  const int sent_before = datagrams_sent_to(responder_.port());
  auto check = [&](bool answered) {
    // The unanswered request of an earlier check must not take the answer.
    const int sent = datagrams_sent_to(responder_.port()) - sent_before;
    EXPECT_TRUE(responder_.wait_for_requests(static_cast<size_t>(sent), 5000));
    if (answered) responder_.answer_next({reply(100 * kMs)});
    if (start(it) == 0 && answered) {
      EXPECT_TRUE(wait_for_end_of(it, ends_of(it) + 1));
    } else {
      pump_pending_messages();  // a lookup's completion sends the request
      for (int i = 0; i < 3; ++i) tick(it);  // the host ticks a failed check too
    }
    api_.item_check_end(host_.window, it);
    return looked_up_names().size();
  };
  EXPECT_EQ(check(false), 1u);
  EXPECT_EQ(result_of(it), CHECK_TIMEOUT);
  EXPECT_EQ(check(true), 2u) << "after a time-out at a looked-up address the name is looked up again";
  EXPECT_EQ(check(true), 2u) << "the cache serves the name";
  EXPECT_EQ(check(false), 2u);
  EXPECT_EQ(result_of(it), CHECK_TIMEOUT);
  EXPECT_EQ(check(true), 3u) << "after a time-out at a cached address the name is looked up again";
  fail_next(SocketCall::kSend, WSAEHOSTUNREACH);
  EXPECT_EQ(check(false), 3u);
  EXPECT_EQ(check(true), 4u) << "after a failed send the name is looked up again";
  EXPECT_EQ(result_of(it), CHECK_CHANGED);
  responder_.answer_next({Datagram{reply_datagram(now_, now_, 0xE4)}});  // unsynchronised
  const int ends = ends_of(it);
  ASSERT_EQ(start(it), 0);
  ASSERT_TRUE(wait_for_end_of(it, ends + 1));
  EXPECT_EQ(result_of(it), CHECK_FAILED);
  api_.item_check_end(host_.window, it);
  EXPECT_EQ(check(true), 5u) << "after a refused answer the name is looked up again";
  std::vector<uint8_t> short_reply = reply(0).bytes;
  short_reply.resize(47);
  responder_.answer_next({Datagram{short_reply}});
  const size_t calls = host_.calls.size();
  ASSERT_EQ(start(it), 0);
  ASSERT_TRUE(wait_for_calls(calls + 1));
  api_.item_check_end(host_.window, it);
  EXPECT_EQ(check(true), 6u) << "after a reply too short to read the name is looked up again";
}

TEST_F(Checks, TheThirdTickWithoutAnswerTimesOutAndNothingFollows) {
  CheckItem* it = item();
  ASSERT_EQ(start(it), 0);
  EXPECT_EQ(tick(it), 0);
  EXPECT_EQ(tick(it), 0);
  EXPECT_TRUE(host_.check_ends.empty());
  EXPECT_EQ(tick(it), 2);
  expect_end(0, CHECK_TIMEOUT, it);
  EXPECT_EQ(item_text(it->error_text), error_text(WSAETIMEDOUT));
  EXPECT_EQ(it->tick_count, -1);
  EXPECT_EQ(tick(it), 0);
  EXPECT_EQ(tick(it), 0);
  // A reply after the time-out is read by no one and moves nothing.
  ASSERT_TRUE(responder_.wait_for_requests(1, 5000));
  responder_.send(reply(300 * kMs));
  ASSERT_TRUE(wait_for_calls(1));
  EXPECT_EQ(host_.calls[0].result, 0);
  EXPECT_EQ(host_.check_ends.size(), 1u);
  EXPECT_EQ(it->offset_text, nullptr);
  EXPECT_TRUE(system_times_set().empty());
}

TEST_F(Checks, CancelDuringALookupReleasesEverythingOnce) {
  for (ItemOpFn end : {api_.cancel, api_.item_check_end}) {
    CheckItem* it = item("nosuchhost.invalid");
    ASSERT_EQ(start(it), 0);
    const HANDLE lookup = reinterpret_cast<HANDLE>(it->lookup_handle);
    const SOCKET s = static_cast<SOCKET>(it->socket);
    ASSERT_NE(lookup, nullptr);
    // Wine does not stop a cancelled lookup: let it write its result (and
    // post its message) before the ProbeState holding the buffer is freed.
    MSG msg;
    bool queued = false;
    for (DWORD t0 = GetTickCount(); !queued && GetTickCount() - t0 < 5000; Sleep(5)) {
      queued = PeekMessageA(&msg, host_.window, MSG_GETHOST_DONE, MSG_GETHOST_DONE, PM_NOREMOVE) != 0;
    }
    ASSERT_TRUE(queued);
    closed_sockets().clear();
    cancelled_lookups().clear();
    EXPECT_EQ(end(host_.window, it), 0);
    EXPECT_EQ(it->probe, nullptr);
    EXPECT_EQ(it->socket, kNoSocket);
    EXPECT_EQ(it->lookup_handle, 0u);
    EXPECT_EQ(cancelled_lookups(), std::vector<HANDLE>{lookup});
    EXPECT_EQ(closed_sockets(), std::vector<SOCKET>{s});
    EXPECT_EQ(end(host_.window, it), 0);
    EXPECT_EQ(cancelled_lookups().size(), 1u);
    EXPECT_EQ(closed_sockets().size(), 1u);
    pump_pending_messages();  // the lookup's message now belongs to no item
    EXPECT_TRUE(host_.calls.empty());
    EXPECT_TRUE(host_.check_ends.empty());
  }
}

TEST_F(Checks, FailuresToStart) {
  fail_alloc_size(sizeof(ProbeState));
  CheckItem* no_memory = item();
  EXPECT_EQ(start(no_memory), -1);
  EXPECT_EQ(no_memory->probe, nullptr);
  EXPECT_EQ(no_memory->socket, kNoSocket);
  EXPECT_EQ(no_memory->error_text, nullptr);
  stop_failing_allocs();

  const struct {
    SocketCall call;
    int code;
    const char* server;
    bool reported;  // with MSG_CHECK_END
  } cases[] = {
      {SocketCall::kSocket, WSAEMFILE, "127.0.0.1", false},
      {SocketCall::kLookup, WSAENOBUFS, "unresolved.example", true},
      {SocketCall::kReadRequest, WSAEINVAL, "127.0.0.1", false},
      {SocketCall::kSend, WSAEHOSTUNREACH, "127.0.0.1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    fail_next(c.call, c.code);
    CheckItem* it = item(c.server);
    const size_t ends = host_.check_ends.size();
    EXPECT_EQ(start(it), -1);
    EXPECT_EQ(item_text(it->error_text), error_text(c.code));
    EXPECT_NE(it->probe, nullptr) << "kept until the host ends the check";
    ASSERT_EQ(host_.check_ends.size(), ends + (c.reported ? 1 : 0));
    if (c.reported) {
      expect_end(ends, CHECK_FAILED, it);
      EXPECT_EQ(it->tick_count, -1);
    }
  }
  EXPECT_EQ(host_.status_lines.back(), kStatusSending);
}

TEST_F(Checks, FailedLookups) {
  CheckItem* unknown = item("nosuchhost.invalid");
  ASSERT_EQ(start(unknown), 0);
  ASSERT_TRUE(wait_for_calls(1));
  EXPECT_EQ(host_.calls[0].result, -1);
  EXPECT_EQ(item_text(unknown->error_text), error_text(WSAHOST_NOT_FOUND));
  EXPECT_EQ(unknown->lookup_handle, 0u);
  // A host that ticks on after -1 gets the check ended as failed, and the
  // text still names the lookup's failure, not a time-out.
  const int ticks[] = {tick(unknown), tick(unknown), tick(unknown), tick(unknown)};
  EXPECT_EQ(std::vector<int>(ticks, ticks + 4), (std::vector<int>{0, 0, 2, 0}));
  EXPECT_EQ(result_of(unknown), CHECK_FAILED);
  EXPECT_EQ(item_text(unknown->error_text), error_text(WSAHOST_NOT_FOUND));
  host_.check_ends.clear();

  // No server at all: nothing is looked up (the lookup of "" would find
  // this machine) and nothing is sent.
  for (const char* none : {"", " \t　"}) {
    CheckItem* nameless = item(none);
    const int sent = datagrams_sent();
    clear_looked_up_names();
    EXPECT_EQ(start(nameless), -1);
    EXPECT_EQ(item_text(nameless->error_text), kNoServerNameText);
    EXPECT_TRUE(looked_up_names().empty());
    EXPECT_EQ(datagrams_sent(), sent);
  }

  fake_lookups(true);  // an entry that lists no address
  fake_empty_lookups(true);
  CheckItem* empty = item("empty.example");
  ASSERT_EQ(start(empty), 0);
  ASSERT_TRUE(wait_for_calls(2));
  EXPECT_EQ(host_.calls[1].result, -1);
  EXPECT_EQ(item_text(empty->error_text), error_text(WSANO_DATA));
  EXPECT_TRUE(host_.check_ends.empty());

  // An item without a check (no record, socket or lookup) takes a
  // completion as stale, as the release leaves it.
  CheckItem* not_looking_up = item();
  EXPECT_EQ(api_.gethost(host_.window, 0, 0, not_looking_up), 0);
  EXPECT_EQ(not_looking_up->error_text, nullptr);
  CheckItem* no_probe = item();
  no_probe->lookup_handle = 0x999;
  EXPECT_EQ(api_.gethost(host_.window, 0x999, 0, no_probe), -1);
  EXPECT_EQ(no_probe->lookup_handle, 0u);
  EXPECT_TRUE(host_.check_ends.empty());
  EXPECT_EQ(responder_.requests().size(), 0u);
}

TEST_F(Checks, FailedSocketEvents) {
  // A notification for a check the host has released (no record, no
  // socket) is stale and ends nothing; a socket without a record is a
  // failure the host hears of.
  CheckItem* released = item();
  EXPECT_EQ(api_.select(host_.window, 0, WSAMAKESELECTREPLY(FD_READ, 0), released), 0);
  EXPECT_TRUE(host_.check_ends.empty());
  CheckItem* no_probe = item();
  no_probe->socket = socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_EQ(api_.select(host_.window, 0, WSAMAKESELECTREPLY(FD_READ, 0), no_probe), -1);
  expect_end(0, CHECK_FAILED, no_probe);

  CheckItem* it = item();
  ASSERT_EQ(start(it), 0);
  EXPECT_EQ(api_.select(host_.window, it->socket, WSAMAKESELECTREPLY(FD_READ, WSAECONNRESET), it), -1);
  EXPECT_EQ(item_text(it->error_text), error_text(WSAECONNRESET));
  // An event that was never asked for is a stray notification: the check waits on.
  EXPECT_EQ(api_.select(host_.window, it->socket, WSAMAKESELECTREPLY(FD_WRITE, 0), it), 0);
  // Datagrams of the wrong size from the server that echo the nonce are
  // failed reads; one too short to echo it answers nothing.
  ASSERT_TRUE(responder_.wait_for_requests(1, 5000));
  const struct {
    size_t size;
    std::string text;
    int result;
  } reads[] = {{47, "47", -1}, {0, "47", 0}, {49, error_text(WSAEMSGSIZE), -1}};
  for (const auto& r : reads) {
    SCOPED_TRACE(r.size);
    std::vector<uint8_t> bytes = reply_datagram(now_, now_);
    bytes.resize(r.size);
    const size_t calls = host_.calls.size();
    responder_.send({bytes});
    ASSERT_TRUE(wait_for_calls(calls + 1));
    EXPECT_EQ(host_.calls[calls].result, r.result);
    EXPECT_NE(item_text(it->error_text).find(r.text), std::string::npos) << item_text(it->error_text);
  }
  EXPECT_EQ(host_.check_ends.size(), 1u);
  EXPECT_EQ(it->server_info, nullptr);
  EXPECT_TRUE(system_times_set().empty());
  EXPECT_NE(it->probe, nullptr);
  // The server's proper reply then decides, and no failure stays beside it.
  responder_.send(reply(300 * kMs));
  ASSERT_TRUE(wait_for_end_of(it));
  EXPECT_EQ(result_of(it), CHECK_CHANGED);
  EXPECT_EQ(it->error_text, nullptr);
}

// Windows reports an ICMP error for the request as a failed read, port
// unreachable (10054) or time to live exceeded (10052), which anyone on the
// path can forge: the check waits on for a genuine reply, the report is no
// sign of life, and the time-out names it. Any other failed read is no sign
// of life either: a host that ticks on ends the check, as failed.
TEST_F(Checks, APortUnreachableReportEndsNothing) {
  const struct {
    int error;
    bool answered;
    WPARAM result;
    unsigned text;  // 0: none
  } cases[] = {{WSAECONNRESET, false, CHECK_TIMEOUT, IDS_PORT_UNREACHABLE},
               {WSAECONNRESET, true, CHECK_CHANGED, 0},
               {WSAENETRESET, false, CHECK_TIMEOUT, IDS_TIME_EXCEEDED},
               {WSAENOBUFS, false, CHECK_FAILED, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    CheckItem* it = two_ticks_from_its_time_out();
    fail_next(SocketCall::kRead, c.error);
    const bool report = c.error != WSAENOBUFS;
    EXPECT_EQ(api_.select(host_.window, it->socket, WSAMAKESELECTREPLY(FD_READ, 0), it), report ? 0 : -1);
    EXPECT_EQ(item_text(it->error_text), report ? "" : error_text(c.error));
    if (c.answered) responder_.send(reply(300 * kMs));
    EXPECT_TRUE(c.answered ? wait_for_end_of(it) : tick(it) == 2);
    EXPECT_EQ(result_of(it), c.result);
    if (report) {
      EXPECT_EQ(item_text(it->error_text), c.text != 0 ? module_string(c.text) : "");
    }
  }
}

TEST_F(Checks, OnlyTheServersOwnDatagramIsTheReply) {
  // A stranger's datagram (same address, another port) first, then the server's.
  CheckItem* it = item();
  responder_.answer_next({Datagram{reply(5000 * kMs).bytes, true}, reply(300 * kMs)});
  ASSERT_EQ(start(it), 0);
  ASSERT_TRUE(wait_for_ends(1));
  ASSERT_EQ(host_.calls.size(), 2u);
  EXPECT_EQ(host_.calls[0].result, 0);
  EXPECT_EQ(host_.calls[1].result, 2);
  EXPECT_STREQ(it->offset_text, "+300 msec");
  EXPECT_EQ(system_times_set().size(), 1u);

  // A notification with nothing to read, then the reply.
  CheckItem* hint = item();
  ASSERT_EQ(start(hint), 0);
  ASSERT_TRUE(responder_.wait_for_requests(2, 5000));
  PostMessageA(host_.window, MSG_SOCKET_EVENT, hint->socket, WSAMAKESELECTREPLY(FD_READ, 0));
  ASSERT_TRUE(wait_for_calls(3));
  EXPECT_EQ(host_.calls[2].result, 0);
  EXPECT_EQ(host_.check_ends.size(), 1u);
  responder_.send(reply(200 * kMs));
  ASSERT_TRUE(wait_for_ends(2));
  EXPECT_STREQ(hint->offset_text, "+200 msec");

  // Strangers' datagrams are no sign of life: the time-out still comes.
  CheckItem* ignored = item();
  ASSERT_EQ(start(ignored), 0);
  ASSERT_TRUE(responder_.wait_for_requests(3, 5000));
  for (int i = 0; i < 3; ++i) {
    const size_t calls = host_.calls.size();
    responder_.send(Datagram{reply(0).bytes, true});
    ASSERT_TRUE(wait_for_calls(calls + 1));
    EXPECT_EQ(host_.calls[calls].result, 0);
    EXPECT_EQ(tick(ignored), i < 2 ? 0 : 2);
  }
  expect_end(2, CHECK_TIMEOUT, ignored);
}

TEST_F(Checks, AReplyFromAnotherAddressIsDropped) {
  // Wine sends from every loopback socket as 127.0.0.1, whatever address it
  // is bound to: a server at 127.0.0.2 then answers from the wrong address.
  Responder server;
  ASSERT_TRUE(server.start("127.0.0.2"));
  SOCKET probe = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = inet_addr("127.0.0.2");
  to.sin_port = htons(server.port());
  server.answer_next({Datagram{{1}}});
  sendto(probe, "?", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  sockaddr_in from{};
  int length = sizeof from;
  char byte;
  recvfrom(probe, &byte, 1, 0, reinterpret_cast<sockaddr*>(&from), &length);
  closesocket(probe);
  if (from.sin_addr.s_addr != inet_addr("127.0.0.1")) GTEST_SKIP() << "replies come from the address bound";

  CheckItem* it = item("127.0.0.2", options(0, 0, 0, server.port()));
  server.answer_next({reply(300 * kMs)});
  ASSERT_EQ(start(it), 0);
  ASSERT_TRUE(wait_for_calls(1));
  EXPECT_EQ(host_.calls[0].result, 0);
  EXPECT_EQ(tick(it), 0);
  EXPECT_EQ(tick(it), 0);
  EXPECT_EQ(tick(it), 2);
  expect_end(0, CHECK_TIMEOUT, it);
  EXPECT_TRUE(system_times_set().empty());
}

TEST_F(Checks, UnusableRepliesAreShownButMoveNothing) {
  const struct {
    uint8_t first, stratum;
    bool zero_transmit;
  } cases[] = {{0xE4, 2, false}, {0xE4, 0, false}, {0x24, 16, false}, {0x23, 2, false}, {0x24, 2, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.first) * 1000 + c.stratum);
    std::vector<uint8_t> bytes = reply_datagram(now_ + 300 * kMs, now_ + 300 * kMs, c.first, c.stratum);
    if (c.zero_transmit) std::fill(bytes.begin() + 40, bytes.end(), 0);
    CheckItem* it = item();
    set_item_text(&it->offset_text, "+50 msec");
    responder_.answer_next({Datagram{bytes}});
    const size_t ends = host_.check_ends.size();
    ASSERT_EQ(start(it), 0);
    ASSERT_TRUE(wait_for_ends(ends + 1));
    expect_end(ends, CHECK_FAILED, it);
    ReplyEvaluation e = evaluate_reply(bytes.data(), bytes.size(), kTestNonce, 0, 0, 0);
    char info[200], reason[512];
    format_server_info(e.info, info, sizeof info);
    format_reply_problem(e, 48, reason, sizeof reason);
    EXPECT_EQ(item_text(it->server_info), info);
    EXPECT_EQ(item_text(it->error_text), reason);
    EXPECT_STREQ(it->offset_text, "+50 msec");
    EXPECT_EQ(it->changed_text, nullptr);
  }
  EXPECT_TRUE(system_times_set().empty());
}

TEST_F(Checks, ADuplicatedReplyEndsTheCheckOnce) {
  CheckItem* it = item();
  responder_.answer_next({reply(300 * kMs), reply(300 * kMs)});
  ASSERT_EQ(start(it), 0);
  ASSERT_TRUE(wait_for_calls(2));
  EXPECT_EQ(host_.calls[0].result, 2);
  EXPECT_EQ(host_.calls[1].result, 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(tick(it), 0);
  EXPECT_EQ(host_.check_ends.size(), 1u);
  EXPECT_EQ(system_times_set().size(), 1u);
}

TEST_F(Checks, ALookupEndingAfterTheTimeOutSendsNothing) {
  fake_lookups(true);
  hold_lookups(true);
  CheckItem* it = item("late.example");
  ASSERT_EQ(start(it), 0);
  for (int i = 0; i < 3; ++i) tick(it);
  expect_end(0, CHECK_TIMEOUT, it);
  complete_held_lookups();
  ASSERT_TRUE(wait_for_calls(1));
  EXPECT_EQ(host_.calls[0].result, 0);
  EXPECT_EQ(it->lookup_handle, 0u);
  EXPECT_FALSE(responder_.wait_for_requests(1, 300));
  EXPECT_EQ(host_.check_ends.size(), 1u);
}

TEST_F(Checks, AStartOverALeftoverSocketClosesIt) {
  CheckItem* it = item();
  ASSERT_EQ(start(it), 0);
  const SOCKET first = static_cast<SOCKET>(it->socket);
  EXPECT_EQ(start(it), 0);
  EXPECT_EQ(closed_sockets(), std::vector<SOCKET>{first});
  EXPECT_NE(it->socket, kNoSocket);
  EXPECT_TRUE(responder_.wait_for_requests(2, 5000));
}

TEST_F(Checks, ThePreciseClockIsPreferred) {
  let_clock_changes_through(false);
  set_plugin_clock(now_, 3600 * kUnitsPerSecond);
  CheckItem* precise = item();
  responder_.answer_next({reply(300 * kMs)});
  ASSERT_EQ(start(precise), 0);
  ASSERT_TRUE(wait_for_ends(1));
  EXPECT_STREQ(precise->offset_text, "+300 msec");

  // An older system: the module, loaded there, finds no precise clock and
  // reads the coarse one, an hour ahead here.
  EXPECT_EQ(api_.item_check_end(host_.window, precise), 0);
  hide_precise_clock(true);
  reload_module();
  CheckItem* coarse = item();
  responder_.answer_next({reply(300 * kMs)});
  responder_.answer_next({reply(300 * kMs)});  // an hour is a step to confirm
  ASSERT_EQ(start(coarse), 0);
  ASSERT_TRUE(wait_for_end_asking_again(coarse));
  EXPECT_STREQ(coarse->offset_text, "-3599700 msec");
  EXPECT_EQ(api_.item_check_end(host_.window, coarse), 0);
  hide_precise_clock(false);
  reload_module();  // the precise clock again for the tests that follow
}

TEST_F(Checks, InitializeAndInitItemPrepareTheItem) {
  CheckItem* it = item();
  set_item_text(&it->error_text, "x");
  it->tick_count = 5;
  it->reserved_counter = 7;
  EXPECT_EQ(api_.initialize(host_.window, it), 0);
  EXPECT_EQ(it->error_text, nullptr);
  EXPECT_EQ(it->tick_count, 0);
  EXPECT_EQ(it->reserved_counter, 0u);

  const struct {
    const char* before;
    bool keep;
    const char* after;
  } cases[] = {{"+300 msec*", false, "+300 msec"}, {"*", false, ""},   {"a**", false, "a*"},
               {"+300 msec*", true, "+300 msec*"}, {"", false, ""},    {nullptr, false, nullptr}};
  for (const auto& c : cases) {
    set_item_text(&it->offset_text, c.before);
    set_item_text(&it->changed_text, c.before);
    set_item_text(&it->error_text, "x");
    it->flags = c.keep ? kKeepMarks : 0;
    EXPECT_EQ(api_.init_item(host_.window, it), 0);
    EXPECT_EQ(it->error_text, nullptr);
    EXPECT_EQ(it->offset_text == nullptr, c.after == nullptr);
    EXPECT_EQ(item_text(it->offset_text), item_text(c.after));
    EXPECT_EQ(item_text(it->changed_text), item_text(c.after));
  }
}

}  // namespace

// Hostile network input through the real sntp.dll: datagrams of every size
// and content a server, a stranger or a late packet can throw at a check.
// None may crash the host or move the clock when it should not; the clock
// the plug-in reads is fixed by the test and every clock change it asks for
// is recorded instead of reaching the system (both through its import
// table). Time-outs, duplicated replies, strangers before the reply and 0-,
// 47- and 49-byte datagrams are covered by check_test.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "check/ntp.h"
#include "check/reply_texts.h"
#include "check/server_info_string.h"
#include "filetime_units.h"
#include "plugin/error_and_status.h"
#include "plugin_test.h"
#include "reply_datagram.h"
#include "resource.h"

namespace {

constexpr int64_t kMs = kUnitsPerMs;
constexpr uint64_t kSeconds1601To1900 = 9435484800ull;
// 2036-02-07 06:28:16 UTC, where NTP era 1 begins.
constexpr uint64_t kEra1 = (kSeconds1601To1900 + (uint64_t{1} << 32)) * kUnitsPerSecond;

// The plug-in's clock is fixed; its clock changes are recorded and succeed
// without reaching the system.
class Hostile : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    freeze_clock();
  }

  // An item checking the responder; its last applied offset was +50 msec.
  CheckItem* item() {
    CheckItem* it = PluginTest::item();
    set_item_text(&it->offset_text, "+50 msec");
    return it;
  }
  // True once a socket notification is waiting in the host window's queue.
  bool notification_queued() {
    MSG msg;
    for (DWORD t0 = GetTickCount(); GetTickCount() - t0 < 5000; Sleep(2)) {
      if (PeekMessageA(&msg, host_.window, MSG_SOCKET_EVENT, MSG_SOCKET_EVENT, PM_NOREMOVE)) return true;
    }
    return false;
  }
  // A usable reply `offset` away from the plug-in's clock, from another port.
  Datagram stranger(int64_t offset) { return Datagram{reply(offset).bytes, true}; }
  // The clock was asked to move exactly once, to the plug-in's clock plus
  // `offset` (to the nearest millisecond).
  void expect_moved_by(int64_t offset) {
    ASSERT_EQ(system_times_set().size(), 1u);
    EXPECT_EQ(to_units(system_times_set()[0]), (now_ + offset + kMs / 2) / kMs * kMs);
    EXPECT_EQ(local_times_set().size(), 1u);
  }
  // Runs one check answered by `bytes` and expects it to fail as unusable:
  // the server's information shown, the reason given, nothing moved. A kiss
  // code that backs the server off gives the back-off's reason instead, and
  // the module is loaded afresh, to forget it.
  void expect_unusable(const std::vector<uint8_t>& bytes) {
    CheckItem* it = item();
    responder_.answer_next({Datagram{bytes}});
    const size_t ends = host_.check_ends.size();
    const size_t moves = system_times_set().size();
    ASSERT_EQ(start(it), 0);
    ASSERT_TRUE(wait_for_ends(ends + 1));
    EXPECT_EQ(host_.check_ends[ends].result, CHECK_FAILED);
    std::vector<uint8_t> answer = bytes;  // as the responder sends it, echoing the nonce
    std::copy(kTestNonce, kTestNonce + kNonceSize, answer.begin() + 24);
    const ReplyEvaluation e = evaluate_reply(answer.data(), answer.size(), kTestNonce, 0, 0, 0);
    EXPECT_FALSE(e.kind == DatagramKind::kReply && e.verdict == ReplyVerdict::kUsable);
    char info[kServerInfoStringSize], reason[512];
    format_server_info(e.info, info, sizeof info);
    format_reply_problem(e, bytes.size(), reason, sizeof reason);
    EXPECT_EQ(item_text(it->server_info), info);
    EXPECT_STREQ(it->offset_text, "+50 msec");
    EXPECT_EQ(it->changed_text, nullptr);
    EXPECT_EQ(system_times_set().size(), moves) << "the clock was asked to move";
    if (e.verdict != ReplyVerdict::kKissOfDeath || !kiss_code_backs_off(kiss_code_of(e.info.reference_id))) {
      EXPECT_EQ(item_text(it->error_text), reason);
      return;
    }
    EXPECT_NE(item_text(it->error_text).find("まで、このサーバーにはリクエストを送りません。"), std::string::npos);
    for (CheckItem* other : host_.items) api_.item_check_end(host_.window, other);
    reload_module();
  }
};

TEST_F(Hostile, StrangersAroundTheReplyChangeNothing) {
  CheckItem* it = item();
  responder_.answer_next({stranger(5000 * kMs), reply(300 * kMs), stranger(-9000 * kMs), stranger(0)});
  ASSERT_EQ(start(it), 0);
  ASSERT_TRUE(wait_for_ends(1));
  pump_messages_until([&] { return false; }, 200);  // whatever else arrives
  ASSERT_GE(host_.calls.size(), 2u);
  EXPECT_EQ(host_.calls[0].result, 0);
  EXPECT_EQ(host_.calls[1].result, 2);
  for (size_t i = 2; i < host_.calls.size(); ++i) EXPECT_EQ(host_.calls[i].result, 0) << i;
  ASSERT_EQ(host_.check_ends.size(), 1u);
  EXPECT_EQ(host_.check_ends[0].result, CHECK_CHANGED);
  EXPECT_STREQ(it->offset_text, "+300 msec");
  EXPECT_EQ(it->error_text, nullptr);
  expect_moved_by(300 * kMs);

  // Once the host has ended the check, its socket is gone: nothing reaches it.
  api_.item_check_end(host_.window, it);
  const size_t calls = host_.calls.size();
  responder_.send(stranger(1000 * kMs));
  responder_.send(reply(1000 * kMs));
  pump_messages_until([&] { return false; }, 200);
  EXPECT_EQ(host_.calls.size(), calls);
  EXPECT_EQ(system_times_set().size(), 1u);
}

// Datagrams from the server's own address and port that do not echo the
// request's nonce (forged, or a server that does not echo): none of them is
// read as a reply, whatever it says.
TEST_F(Hostile, OnlyTheEchoOfTheNonceIsTheReply) {
  std::vector<uint8_t> zero_origin = reply(-9000 * kMs).bytes;
  std::fill(zero_origin.begin() + 24, zero_origin.begin() + 32, 0);
  const Datagram forged[] = {
      {reply_datagram(now_, now_, 0xE4, 0, "RATE"), false, false},  // a kiss code, with kTestNonce as originate
      {reply(5000 * kMs).bytes, false, false},
      {zero_origin, false, false},
  };
  CheckItem* it = item();
  responder_.answer_next({forged[0], forged[1], forged[2], reply(300 * kMs)});
  ASSERT_EQ(start(it), 0);
  ASSERT_TRUE(wait_for_ends(1));
  ASSERT_EQ(host_.calls.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(host_.calls[i].result, 0) << i;
  EXPECT_EQ(host_.check_ends[0].result, CHECK_CHANGED);
  EXPECT_EQ(host_.status_lines, (std::vector<std::string>{kStatusSending, kStatusReceiving, kStatusDone}));
  EXPECT_EQ(it->error_text, nullptr);
  EXPECT_STREQ(it->server_info, "36;2;6;-26;98304;-2;127.127.1.1");
  expect_moved_by(300 * kMs);

  // Without the genuine reply the check times out, and says why.
  const std::string expected = module_string(IDS_ONLY_NON_ANSWERS);
  ASSERT_FALSE(expected.empty());
  for (const Datagram& d : {forged[1], forged[2]}) {
    CheckItem* other = item();
    const size_t calls = host_.calls.size();
    responder_.answer_next({d});
    ASSERT_EQ(start(other), 0);
    ASSERT_TRUE(wait_for_calls(calls + 1));
    for (int i = 0; i < 3; ++i) tick(other);
    EXPECT_EQ(result_of(other), CHECK_TIMEOUT);
    EXPECT_EQ(item_text(other->error_text), expected);
    EXPECT_EQ(other->server_info, nullptr);
    EXPECT_STREQ(other->offset_text, "+50 msec");
  }
  EXPECT_EQ(system_times_set().size(), 1u);
}

TEST_F(Hostile, AReplyAfterCancelIsHarmless) {
  // The reply comes after the socket is closed.
  CheckItem* it = item();
  ASSERT_EQ(start(it), 0);
  ASSERT_TRUE(responder_.wait_for_requests(1, 5000));
  EXPECT_EQ(api_.cancel(host_.window, it), 0);
  responder_.send(reply(4000 * kMs));
  pump_messages_until([&] { return false; }, 200);
  EXPECT_TRUE(host_.calls.empty());

  // The reply is read to be notified, the host cancels before the
  // notification is handled, and checks the item again at once: the stale
  // notification (which may name a reused socket handle) must not end the
  // new check or set the clock from the old reply.
  responder_.answer_next({reply(4000 * kMs)});
  ASSERT_EQ(start(it), 0);
  ASSERT_TRUE(notification_queued());
  EXPECT_EQ(api_.cancel(host_.window, it), 0);
  responder_.answer_next({reply(200 * kMs)});
  ASSERT_EQ(start(it), 0);
  ASSERT_TRUE(wait_for_ends(1));
  pump_messages_until([&] { return false; }, 200);
  ASSERT_EQ(host_.check_ends.size(), 1u);
  EXPECT_EQ(host_.check_ends[0].result, CHECK_CHANGED);
  EXPECT_STREQ(it->offset_text, "+200 msec");
  expect_moved_by(200 * kMs);

  // A host that hands a stale notification to the cancelled item is told
  // nothing more, and the clock stays.
  EXPECT_EQ(api_.cancel(host_.window, it), 0);
  EXPECT_EQ(api_.select(host_.window, 0, WSAMAKESELECTREPLY(FD_READ, 0), it), 0);
  EXPECT_EQ(host_.check_ends.size(), 1u);
  EXPECT_EQ(system_times_set().size(), 1u);
}

// A request that could not be sent leaves no send time to measure a reply
// against (taken as 1601, it would put the server two centuries ahead): a
// datagram from the server's address that comes anyway is not read.
TEST_F(Hostile, ADatagramAfterAFailedSendIsNotRead) {
  auto loopback_socket = [](SOCKET s, sockaddr_in* at) {
    *at = sockaddr_in{};
    at->sin_family = AF_INET;
    at->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof *at;
    return bind(s, reinterpret_cast<sockaddr*>(at), sizeof *at) == 0 &&
           getsockname(s, reinterpret_cast<sockaddr*>(at), &length) == 0;
  };
  const SOCKET server = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in server_at, item_at;
  ASSERT_TRUE(loopback_socket(server, &server_at));
  CheckItem* it = PluginTest::item("127.0.0.1", option_text(ntohs(server_at.sin_port)));
  fail_next(SocketCall::kSend, WSAENETUNREACH);
  ASSERT_EQ(start(it), -1);
  ASSERT_TRUE(loopback_socket(static_cast<SOCKET>(it->socket), &item_at));
  const std::vector<uint8_t> bytes = reply(300 * kMs).bytes;
  ASSERT_EQ(sendto(server, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
                   reinterpret_cast<const sockaddr*>(&item_at), sizeof item_at),
            48);
  ASSERT_TRUE(wait_for_calls(1));
  EXPECT_EQ(host_.calls[0].result, 0);
  EXPECT_TRUE(host_.check_ends.empty());
  EXPECT_TRUE(system_times_set().empty());
  EXPECT_EQ(it->server_info, nullptr);
  closesocket(server);
}

TEST_F(Hostile, AReadNotificationDuringTheLookupIsNotRead) {
  // A stale notification for a closed socket whose handle a check looking
  // up its server now holds: there is nothing to read yet, and the socket
  // would block the host's thread if it were read.
  CheckItem* it = item();
  set_item_text(&it->address, "sntp://localhost");
  responder_.answer_next({reply(300 * kMs)});
  ASSERT_EQ(start(it), 0);
  ASSERT_NE(it->lookup_handle, 0u);
  EXPECT_EQ(api_.select(host_.window, it->socket, WSAMAKESELECTREPLY(FD_READ, 0), it), 0);
  EXPECT_EQ(it->error_text, nullptr);
  ASSERT_TRUE(wait_for_ends(1));
  EXPECT_EQ(host_.check_ends[0].result, CHECK_CHANGED);
  expect_moved_by(300 * kMs);
}

TEST_F(Hostile, DatagramsOfTheLargestSize) {
  // 65,507 bytes, the largest UDP payload over IPv4: the message is cut to
  // its first 48 bytes, which Windows Sockets reports as an error.
  std::vector<uint8_t> huge = reply_datagram(now_ + 300 * kMs, now_ + 300 * kMs);
  huge.resize(65507, 0xFF);
  CheckItem* it = item();
  responder_.answer_next({Datagram{huge, true}, Datagram{huge}});
  ASSERT_EQ(start(it), 0);
  ASSERT_TRUE(wait_for_calls(2));
  EXPECT_EQ(host_.calls[0].result, 0) << "a stranger's is dropped";
  EXPECT_EQ(host_.calls[1].result, -1) << "the server's is a failed read";
  char entry[1024];
  if (system_message(WSAEMSGSIZE).empty()) {
    ASSERT_GT(LoadStringA(api_.module, WSAEMSGSIZE, entry, sizeof entry), 0);
  }
  EXPECT_EQ(item_text(it->error_text), error_text(WSAEMSGSIZE));
  EXPECT_TRUE(host_.check_ends.empty());
  EXPECT_EQ(it->server_info, nullptr);
  EXPECT_TRUE(system_times_set().empty());

  // The check still takes the server's proper reply.
  responder_.send(reply(300 * kMs));
  ASSERT_TRUE(wait_for_ends(1));
  EXPECT_EQ(host_.check_ends[0].result, CHECK_CHANGED);
  expect_moved_by(300 * kMs);
}

TEST_F(Hostile, EveryModeAndLeapIndicator) {
  // Only a server's answer (mode 4) from a synchronised clock (leap
  // indicator 0 to 2) sets the clock; every version number is taken.
  for (int li = 0; li < 4; ++li) {
    for (int vn : {1, 4, 0, 7}) {
      for (int mode = 0; mode < 8; ++mode) {
        const uint8_t first = static_cast<uint8_t>(li << 6 | vn << 3 | mode);
        if (vn != 4 && (li != 0 || (mode != 4 && mode != 3))) continue;  // versions: a few modes suffice
        SCOPED_TRACE(first);
        const std::vector<uint8_t> bytes = reply_datagram(now_ + 300 * kMs, now_ + 300 * kMs, first);
        if (mode != 4 || li == 3) {
          expect_unusable(bytes);
          continue;
        }
        CheckItem* it = item();
        responder_.answer_next({Datagram{bytes}});
        const size_t ends = host_.check_ends.size();
        system_times_set().clear();
        local_times_set().clear();
        ASSERT_EQ(start(it), 0);
        ASSERT_TRUE(wait_for_ends(ends + 1));
        EXPECT_EQ(host_.check_ends[ends].result, CHECK_CHANGED);
        EXPECT_STREQ(it->offset_text, "+300 msec");
        expect_moved_by(300 * kMs);
      }
    }
  }
}

TEST_F(Hostile, KissOfDeathWithEveryCode) {
  // Stratum 0 refuses service, whatever the code (RFC 5905 section 7.4 lists
  // these); a code that is not printable ASCII is not quoted.
  const char* codes[] = {"ACST", "AUTH", "AUTO", "BCST", "CRYP", "DENY", "DROP", "RSTR", "INIT", "MCST", "NKEY",
                         "RATE", "RMOT", "STEP", "XFOO", "RAT\0", "\0\0\0\0", "\x01\x02\x03\x04", "R\x07TE",
                         "\xff\xff\xff\xff", "\x82\xa0\x82\xa2", "%s%n", "\x7fZZZ"};
  for (const char* code : codes) {
    std::string printable;
    for (int i = 0; i < 4 && code[i] != 0; ++i) printable += code[i];
    SCOPED_TRACE(printable);
    for (uint8_t first : {0xE4, 0x24}) {
      expect_unusable(reply_datagram(now_ + 300 * kMs, now_ + 300 * kMs, first, 0, code));
      const std::string error = item_text(host_.items.back()->error_text);
      bool quoted = !printable.empty();
      for (char c : printable) quoted = quoted && c >= 0x20 && c < 0x7F;
      EXPECT_EQ(error.find("Kiss-o'-Death " + printable + ")") != std::string::npos, quoted) << error;
      for (unsigned char c : error) EXPECT_GE(c, 0x20) << "a control character in the error text";
    }
  }
}

TEST_F(Hostile, ZeroTimestamps) {
  // A zero timestamp is no time: with the era rule it would read as 2036
  // and move the clock by years.
  std::vector<uint8_t> no_receive = reply_datagram(now_, now_);
  std::fill(no_receive.begin() + 32, no_receive.begin() + 40, 0);
  std::vector<uint8_t> no_transmit = reply_datagram(now_, now_);
  std::fill(no_transmit.begin() + 40, no_transmit.end(), 0);
  std::vector<uint8_t> neither = reply_datagram(now_, now_);
  std::fill(neither.begin() + 16, neither.end(), 0);
  for (const auto& bytes : {no_receive, no_transmit, neither}) expect_unusable(bytes);
}

TEST_F(Hostile, TimestampsAcrossTheEraBoundary) {
  const struct {
    int64_t local;              // the plug-in's clock, from the start of era 1
    int64_t received, sent;     // the server's T2 and T3, likewise
    const char* offset_text;
  } cases[] = {
      // T2 in the last 100 ns of era 0, T3 100 ns into era 1 (the
      // plug-in's clock stands still, so the server may hold the request no
      // longer than the clocks' steps).
      {-100 * kMs, -1, 1, "+100 msec"},
      // The local clock already in era 1, the server still in era 0.
      {1000 * kMs, -500 * kMs, -500 * kMs, "-1500 msec"},
      {-1000 * kMs, 500 * kMs, 500 * kMs, "+1500 msec"},
      // Both in era 1, far from its start.
      {int64_t{86400} * 365 * kUnitsPerSecond, int64_t{86400} * 365 * kUnitsPerSecond + 300 * kMs,
       int64_t{86400} * 365 * kUnitsPerSecond + 300 * kMs, "+300 msec"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset_text);
    set_plugin_clock(now_ = kEra1 + c.local);
    system_times_set().clear();
    local_times_set().clear();
    CheckItem* it = item();
    responder_.answer_next({Datagram{reply_datagram(kEra1 + c.received, kEra1 + c.sent)}});
    const size_t ends = host_.check_ends.size();
    ASSERT_EQ(start(it), 0);
    ASSERT_TRUE(wait_for_ends(ends + 1));
    EXPECT_EQ(host_.check_ends[ends].result, CHECK_CHANGED) << item_text(it->error_text);
    EXPECT_STREQ(it->offset_text, c.offset_text);
    const int64_t offset = ((c.received - c.local) + (c.sent - c.local)) / 2;
    expect_moved_by(offset);
  }
}

TEST_F(Hostile, AllBitsSet) {
  expect_unusable(std::vector<uint8_t>(48, 0xFF));
  EXPECT_STREQ(host_.items.back()->server_info, "255;255;-1;-1;-1;-1;255.255.255.255");
}

}  // namespace

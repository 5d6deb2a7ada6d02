// Checks against real SNTP servers that the test run starts on 127.0.0.1,
// serving this machine's own clock: chronyd (see scripts/chronyd) and
// ntpsec's ntpd (scripts/ntpd), each a CTest entry of its own.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "check/ntp.h"
#include "check/server_info_string.h"
#include "filetime_units.h"
#include "plugin/error_and_status.h"
#include "plugin_test.h"

namespace {

// The clock the plug-in reads and moves is the system's.
class Chrony : public PluginTest {
 public:
  void SetUp() override {
    PluginTest::SetUp();
    let_clock_changes_through(true);
  }
  // Runs one whole check; the result carried by MSG_CHECK_END.
  static std::string chrony_port() {
    const char* port = std::getenv("SNTP_CHRONY_PORT");
    return port ? port : "11123";
  }
  WPARAM check(const std::string& server, const std::string& clock_options, const char* offset_text = nullptr) {
    return check_port(server, chrony_port(), clock_options, offset_text);
  }
  WPARAM check_port(const std::string& server, const std::string& port, const std::string& clock_options,
                    const char* offset_text = nullptr) {
    item_ = item(server, port + ";" + clock_options);
    set_item_text(&item_->offset_text, offset_text);
    EXPECT_EQ(start(item_), 0);
    if (!wait_for_end_asking_again(item_)) return 99;
    return result_of(item_);
  }
  // With the plug-in's clock two hours behind (its clock changes recorded,
  // not made), a check asks the server twice, with two nonces, and steps
  // the clock once, to the server's time.
  void expect_a_confirmed_big_step(const std::string& port) {
    let_clock_changes_through(false);
    system_times_set().clear();
    run_plugin_clock_off_by(-7200 * kUnitsPerSecond);
    const int sent = datagrams_sent();
    ASSERT_EQ(check_port("127.0.0.1", port, "0;0;0;"), CHECK_CHANGED) << item_text(item_->error_text);
    EXPECT_EQ(datagrams_sent(), sent + 2);
    EXPECT_EQ(host_.status_lines, (std::vector<std::string>{kStatusSending, kStatusReceiving, kStatusSending,
                                                            kStatusReceiving, kStatusDone}));
    ASSERT_EQ(system_times_set().size(), 1u);
    const int64_t error = static_cast<int64_t>(to_units(system_times_set()[0]) - real_now());
    EXPECT_LT(error < 0 ? -error : error, 1000 * kUnitsPerMs) << "stepped to the server's time";
  }
  CheckItem* item_ = nullptr;
};

TEST_F(Chrony, ACheckReadsTheServerAndSetsTheClock) {
  const int sent = datagrams_sent();
  ASSERT_EQ(check("127.0.0.1", "0;0;0;"), CHECK_CHANGED) << item_text(item_->error_text);
  EXPECT_EQ(datagrams_sent(), sent + 1) << "a prompt reply decides alone";
  // chronyd answers version 3 as asked, echoing the nonce (or the check
  // would have timed out), from its local clock at stratum 3.
  ServerInfo info;
  ASSERT_TRUE(parse_server_info(item_->server_info, &info));
  EXPECT_EQ(info.first_octet, 0x1C);
  EXPECT_EQ(info.stratum, 3);
  EXPECT_LE(info.precision, -10);
  EXPECT_GE(info.precision, -32);
  EXPECT_TRUE(std::regex_search(item_text(item_->server_info), std::regex(";127\\.127\\.1\\.1$")));
  // The server serves this machine's clock: the offset is a few milliseconds at most.
  std::smatch m;
  const std::string offset = item_text(item_->offset_text);
  ASSERT_TRUE(std::regex_match(offset, m, std::regex("[+-](\\d+) msec"))) << offset;
  EXPECT_LT(std::stoi(m[1]), 100);
  EXPECT_TRUE(std::regex_match(item_text(item_->changed_text), std::regex("\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d")));
  EXPECT_EQ(item_->error_text, nullptr);
  EXPECT_EQ(host_.status_lines, (std::vector<std::string>{kStatusSending, kStatusReceiving, kStatusDone}));
}

TEST_F(Chrony, ASmallOffsetAfterASmallOneLeavesTheClockAlone) {
  ASSERT_EQ(check("127.0.0.1", "1;1000;0;", "+3 msec"), CHECK_OK_QUIET) << item_text(item_->error_text);
  EXPECT_STREQ(item_->offset_text, "+3 msec");
  EXPECT_EQ(item_->changed_text, nullptr);
  EXPECT_NE(item_->server_info, nullptr);
}

TEST_F(Chrony, AStepOfHoursIsConfirmedByASecondRequest) { expect_a_confirmed_big_step(chrony_port()); }

// ntpsec's ntpd, an orphan at stratum 4 on port 123: started only as root
// and where the port is free; otherwise scripts/ntpd says why and this skips.
class Ntpsec : public Chrony {
 public:
  void SetUp() override {
    Chrony::SetUp();
    const char* dir = std::getenv("SNTP_NTPD_DIR");
    ASSERT_NE(dir, nullptr);
    char reason[256] = {};
    if (FILE* f = std::fopen((std::string(dir) + "/unavailable").c_str(), "r")) {
      std::fgets(reason, sizeof reason, f);
      std::fclose(f);
      GTEST_SKIP() << reason;
    }
  }
};

TEST_F(Ntpsec, ACheckAnswersTheVersion3RequestWithItsNonce) {
  const WPARAM result = check_port("127.0.0.1", "123", "0;0;0;");
  EXPECT_TRUE(result == CHECK_CHANGED || result == CHECK_OK_QUIET) << result << " " << item_text(item_->error_text);
  ServerInfo info;
  ASSERT_TRUE(parse_server_info(item_->server_info, &info));
  EXPECT_EQ(info.first_octet, 0x1C) << "version 3, server";
  EXPECT_EQ(info.stratum, 4);
  EXPECT_TRUE(std::regex_search(item_text(item_->server_info), std::regex(";127\\.0\\.0\\.1$")));
  EXPECT_EQ(item_->error_text, nullptr);

  api_.item_check_end(host_.window, item_);
  host_.status_lines.clear();
  expect_a_confirmed_big_step("123");
}

// ntpsec limits each client (restrict default kod limited): checks that
// come in quick succession draw its RATE kiss after about twenty (or are
// dropped, past its score's second limit, and time out). The check that
// gets RATE notes the back-off, and none sends to the server until it ends.
// Runs last: the server keeps refusing this address for a while.
TEST_F(Ntpsec, ARateKissFromARealServerBacksTheServerOff) {
  std::string reason;
  for (int i = 0; i < 60 && reason.find("(Kiss-o'-Death RATE)") == std::string::npos; ++i) {
    item_ = item("127.0.0.1", "123;0;0;0;1;");
    ASSERT_EQ(start(item_), 0) << item_text(item_->error_text);
    if (!pump_messages_until([&] { return ends_of(item_) > 0; }, 300)) {
      for (int t = 0; t < 3; ++t) tick(item_);
    }
    reason = item_text(item_->error_text);
  }
  EXPECT_NE(reason.find("(Kiss-o'-Death RATE)"), std::string::npos) << reason;
  EXPECT_EQ(result_of(item_), CHECK_FAILED);
  const int sent = datagrams_sent();
  EXPECT_EQ(start(item("127.0.0.1", "123;0;0;0;1;")), -1) << "backed off";
  EXPECT_EQ(datagrams_sent(), sent);
}

}  // namespace

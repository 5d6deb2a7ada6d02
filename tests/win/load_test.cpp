// Many checks through the real sntp.dll, against the scripted server and
// against chronyd: thousands one after another, and a thousand items at
// once. The plug-in's global-heap blocks and sockets are counted through its
// import table (plugin_watch.h): after every SNTP_ItemCheckEnd they are back
// where they were, apart from the texts it handed to the items, and every
// check ends with exactly one MSG_CHECK_END. The figures are printed; no
// test depends on how long anything takes.
//
// SNTP_LOAD_CHECKS sets the number of sequential checks (default 10000).
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "check/probe_state.h"
#include "filetime_units.h"
#include "plugin_test.h"
#include "reply_datagram.h"

namespace {

int sequential_checks() {
  const char* text = std::getenv("SNTP_LOAD_CHECKS");
  const int n = text != nullptr ? std::atoi(text) : 0;
  return n > 0 ? n : 10000;
}

constexpr int kItemsAtOnce = 1000;
constexpr int kItemPool = 100;  // the sequential checks go round these items

// The server under load: the scripted responder, or chronyd on its port.
// The plug-in reads the real clock (chronyd serves it).
class Load : public PluginTest {
 public:
  virtual const char* server_name() const = 0;
  virtual uint16_t server_port() const = 0;

  CheckItem* item() { return PluginTest::item("127.0.0.1", option_text(server_port())); }
  std::vector<const CheckItem*> items() const { return {host_.items.begin(), host_.items.end()}; }
  static std::string histogram(const std::map<WPARAM, int>& results) {
    std::string text;
    for (const auto& [result, count] : results) {
      text += (text.empty() ? "" : ", ") + std::to_string(count) + " with result " + std::to_string(result);
    }
    return text;
  }

  void sequential() {
    const int checks = sequential_checks();
    for (int i = 0; i < kItemPool; ++i) item();
    const std::vector<const CheckItem*> pool = items();
    std::map<WPARAM, int> results;
    int timed_out_by_ticks = 0, leaks = 0, extra_ends = 0;
    size_t peak_blocks = 0, peak_sockets = 0;
    const int alloc_calls_before = alloc_calls();
    const ULONGLONG t0 = GetTickCount64();
    for (int i = 0; i < checks; ++i) {
      CheckItem* it = host_.items[static_cast<size_t>(i % kItemPool)];
      const size_t ends = host_.check_ends.size();
      ASSERT_EQ(api_.start(host_.window, it), 0) << "check " << i;
      if (!pump_messages_until([&] { return host_.check_ends.size() > ends; }, 5000)) {
        // No answer (a datagram lost): the host's ticks end the check.
        for (int t = 0; t < 3; ++t) api_.timer(host_.window, it);
        ++timed_out_by_ticks;
      }
      peak_blocks = std::max(peak_blocks, own_blocks(pool) - blocks_at_start_);
      peak_sockets = std::max(peak_sockets, plugin_sockets() - sockets_at_start_);
      api_.item_check_end(host_.window, it);
      pump_pending_messages();
      ASSERT_GT(host_.check_ends.size(), ends) << "check " << i << " never ended";
      extra_ends += static_cast<int>(host_.check_ends.size() - ends - 1);
      EXPECT_EQ(host_.check_ends[ends].item, it);
      ++results[host_.check_ends[ends].result];
      if (own_blocks(pool) != blocks_at_start_ || plugin_sockets() != sockets_at_start_) {
        if (leaks++ == 0) ADD_FAILURE() << "check " << i << " left blocks or sockets behind";
      }
    }
    const ULONGLONG elapsed = GetTickCount64() - t0;
    size_t texts = plugin_blocks() - plugin_own_blocks(pool);
    EXPECT_EQ(leaks, 0);
    EXPECT_EQ(extra_ends, 0) << "checks with more than one MSG_CHECK_END";
    std::printf("[ figures  ] %s, %d sequential checks in %llu ms: %s; %d ended by the time-out\n", server_name(),
                checks, static_cast<unsigned long long>(elapsed), histogram(results).c_str(), timed_out_by_ticks);
    std::printf("[ figures  ] %s, sequential: the plug-in's own blocks %zu before, at most %zu during a check, "
                "%zu after; sockets %zu before, at most %zu, %zu after; %zu texts held by the %d items; "
                "%d GlobalAlloc calls\n",
                server_name(), blocks_at_start_, peak_blocks, own_blocks(pool) - blocks_at_start_, sockets_at_start_,
                peak_sockets, plugin_sockets() - sockets_at_start_, texts, kItemPool,
                alloc_calls() - alloc_calls_before);
  }

  void at_once() {
    for (int i = 0; i < kItemsAtOnce; ++i) item();
    const std::vector<const CheckItem*> all = items();
    const ULONGLONG t0 = GetTickCount64();
    for (int i = 0; i < kItemsAtOnce; ++i) {
      ASSERT_EQ(api_.start(host_.window, host_.items[static_cast<size_t>(i)]), 0) << "item " << i;
      // Replies are handled as they come, but no check is ended before all
      // have started.
      if (i % 16 == 15) pump_pending_messages();
    }
    const size_t open_sockets = plugin_sockets() - sockets_at_start_;
    EXPECT_EQ(open_sockets, static_cast<size_t>(kItemsAtOnce));
    // The host ticks every item still running each second: a check whose
    // reply came late (the host thread was busy with the others) asks
    // again 2 s on, and one whose request or reply was lost times out.
    const auto all_ended = [&] { return host_.check_ends.size() >= static_cast<size_t>(kItemsAtOnce); };
    int seconds = 0;
    for (; seconds < 60 && !pump_messages_until(all_ended, 1000); ++seconds) {
      advance_plugin_ticks(1000);
      for (CheckItem* it : host_.items) {
        if (ends_of(it) == 0) api_.timer(host_.window, it);
      }
    }
    const ULONGLONG elapsed = GetTickCount64() - t0;
    int timed_out_by_ticks = 0, asked_again = 0;
    for (CheckItem* it : host_.items) {
      timed_out_by_ticks += result_of(it) == CHECK_TIMEOUT;
      asked_again += it->probe != nullptr && it->probe->requests_sent > 1;
    }
    const size_t peak_blocks = own_blocks(all) - blocks_at_start_;
    std::map<WPARAM, int> results;
    for (const CheckEnd& e : host_.check_ends) ++results[e.result];
    // Each item's end gives back exactly its own working record and socket.
    size_t running = host_.items.size();
    int mismatches = 0;
    for (CheckItem* it : host_.items) {
      EXPECT_EQ(ends_of(it), 1);
      api_.item_check_end(host_.window, it);
      --running;
      if (own_blocks(all) != blocks_at_start_ + running || plugin_sockets() != sockets_at_start_ + running) {
        if (mismatches++ == 0) ADD_FAILURE() << "an item's end did not give back its block and socket";
      }
    }
    pump_pending_messages();
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(host_.check_ends.size(), static_cast<size_t>(kItemsAtOnce)) << "exactly one MSG_CHECK_END per item";
    EXPECT_EQ(own_blocks(all), blocks_at_start_);
    EXPECT_EQ(plugin_sockets(), sockets_at_start_);
    std::printf("[ figures  ] %s, %d items at once, all ended in %llu ms (%d host ticks): %s; %d ended by the "
                "time-out, %d asked the server again\n",
                server_name(), kItemsAtOnce, static_cast<unsigned long long>(elapsed), seconds,
                histogram(results).c_str(), timed_out_by_ticks, asked_again);
    std::printf("[ figures  ] %s, at once: the plug-in's own blocks %zu before, %zu with every check over, %zu "
                "after every end; sockets %zu before, %zu open, %zu after\n",
                server_name(), blocks_at_start_, peak_blocks, own_blocks(all) - blocks_at_start_, sockets_at_start_,
                open_sockets, plugin_sockets() - sockets_at_start_);
  }

};

class LoadOnResponder : public Load {
 public:
  void SetUp() override {
    Load::SetUp();
    responder_.answer_each([](const ReceivedRequest&) {
      const uint64_t now = real_now();
      return std::vector<Datagram>{Datagram{reply_datagram(now, now)}};
    });
  }
  const char* server_name() const override { return "scripted server"; }
  uint16_t server_port() const override { return responder_.port(); }
};

class LoadOnChrony : public Load {
 public:
  const char* server_name() const override { return "chronyd"; }
  uint16_t server_port() const override {
    const char* port = std::getenv("SNTP_CHRONY_PORT");
    return static_cast<uint16_t>(port != nullptr ? std::atoi(port) : 11123);
  }
};

TEST_F(LoadOnResponder, SequentialChecks) { sequential(); }
TEST_F(LoadOnResponder, ItemsCheckedAtOnce) { at_once(); }
TEST_F(LoadOnChrony, SequentialChecks) { sequential(); }
TEST_F(LoadOnChrony, ItemsCheckedAtOnce) { at_once(); }

}  // namespace

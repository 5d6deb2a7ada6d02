// Memory running out inside the real sntp.dll. Each scenario (a whole check
// against the scripted server, a whole property sheet) runs again and again
// with the plug-in's first, second, third ... GlobalAlloc call failing, until
// a run makes no call that could fail. Every run must end without a crash,
// without a leaked block or socket, and with what a failed allocation is
// meant to cost: no working record ends the operation with -1 and nothing
// else; a text that cannot be made stays null (the sheet keeps the item's
// previous text instead); a status line that cannot be formatted is not
// shown; the address cache drops an addition it has no room for.
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "check/ntp.h"
#include "host_side.h"
#include "plugin_watch.h"
#include "resource.h"
#include "responder.h"
#include "settings/messages.h"
#include "settings/option_text.h"
#include "settings/probe_state.h"
#include "settings/server_info_text.h"
#include "sheet_driver.h"

namespace {

constexpr int64_t kMs = kUnitsPerMs;
// Blocks the plug-in allocates, by size.
constexpr SIZE_T kProbeBlock = sizeof(ProbeState);
constexpr SIZE_T kStatusBlock = 8192;
// The address cache grows by 100 entries of a name's address and an IPv4
// address: 8 bytes each, 16 on x86-64.
constexpr SIZE_T kCacheGrowth = 100 * 2 * sizeof(void*);

int g_total_points = 0;

// Runs `run(n)` for n = 1, 2, ... until a run in which no allocation failed;
// returns how many allocations were made to fail.
int every_failure_point(const char* scenario, const std::function<void(int n)>& run) {
  int n = 1;
  for (; n <= 200; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    run(n);
    stop_failing_allocs();
    if (::testing::Test::HasFatalFailure() || !alloc_failed()) break;
  }
  EXPECT_LE(n, 200) << "a run that never ends without a failure";
  const int points = n - 1;
  std::printf("[ figures  ] %s: %d allocation-failure points\n", scenario, points);
  g_total_points += points;
  return points;
}

class Figures : public ::testing::Environment {
 public:
  void TearDown() override {
    std::printf("[ figures  ] allocation-failure points exercised in all: %d (%s)\n", g_total_points,
                plugin_path().c_str());
  }
};
const auto* const g_figures = ::testing::AddGlobalTestEnvironment(new Figures);

// Replaces a text of an item as the host does, taking over the plug-in's block first.
void set_host_text(char** field, const char* text) {
  if (*field != nullptr) hand_over(*field);
  set_item_text(field, text);
}

class CheckFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(start_host(&api_, &error)) << error;
    ASSERT_TRUE(watch_plugin(api_.module));
  }

  void SetUp() override {
    ASSERT_TRUE(create_host_window(&host_, &api_));
    ASSERT_TRUE(responder_.start());
    now_ = real_now();
    set_plugin_clock(now_);
    fake_lookups(true);
    blocks_before_ = plugin_blocks();
  }

  void TearDown() override {
    stop_failing_allocs();
    for (CheckItem* it : host_.items) end_and_free(it);
    host_.items.clear();
    destroy_host_window(&host_);
    responder_.stop();
    set_plugin_clock(0);
  }

  CheckItem* item(const std::string& server = "127.0.0.1") {
    CheckItem* it = new_item();
    set_item_text(&it->address, ("sntp://" + server).c_str());
    set_item_text(&it->options, option_text(responder_.port()).c_str());
    host_.items.push_back(it);
    return it;
  }
  void end_and_free(CheckItem* it) {
    api_.item_check_end(host_.window, it);
    free_watched_item(it);
  }
  // Ends the item's check and checks that the plug-in holds nothing for it
  // any more, beyond `kept` blocks it has made since the test began and
  // keeps on purpose (the address cache's).
  void end_and_expect_released(CheckItem* it, size_t kept = 0) {
    EXPECT_EQ(api_.item_check_end(host_.window, it), 0);
    EXPECT_EQ(it->probe, nullptr);
    EXPECT_EQ(it->socket, kNoSocket);
    pump_pending_messages();
    EXPECT_EQ(plugin_own_blocks({it}), blocks_before_ + kept) << "blocks leaked";
    EXPECT_EQ(plugin_sockets(), 0u) << "sockets left open";
    EXPECT_LE(ends_of(it), 1) << "more than one MSG_CHECK_END";
  }
  void forget(CheckItem* it) {
    std::erase(host_.items, it);
    free_watched_item(it);
  }
  int ends_of(const CheckItem* it) {
    int n = 0;
    for (const CheckEnd& e : host_.check_ends) n += e.item == it;
    return n;
  }
  WPARAM result_of(const CheckItem* it) {
    for (const CheckEnd& e : host_.check_ends) {
      if (e.item == it) return e.result;
    }
    return 99;
  }
  bool wait_for_end(const CheckItem* it) {
    return pump_messages_until([&] { return ends_of(it) > 0; }, 5000);
  }
  void new_run() {
    host_.status_lines.clear();
    host_.check_ends.clear();
    host_.calls.clear();
  }
  Datagram reply(int64_t offset, uint8_t first = 0x24) { return Datagram{sntp_reply(now_ + offset, first)}; }
  std::string error_text(int code) { return plugin_error_text(api_.module, code); }

  static PluginApi api_;
  HostWindow host_;
  Responder responder_;
  uint64_t now_ = 0;
  size_t blocks_before_ = 0;
};
PluginApi CheckFaults::api_;

TEST_F(CheckFaults, ACheckThatMovesTheClock) {
  std::vector<SIZE_T> failed;
  every_failure_point("check that moves the clock", [&](int n) {
    new_run();
    CheckItem* it = item();
    set_item_text(&it->offset_text, "+50 msec");
    set_item_text(&it->changed_text, "2000/01/01 00:00");
    set_item_text(&it->server_info, "36;1;6;-20;0;0;GPS");
    responder_.answer_next({reply(300 * kMs)});
    const int sent = datagrams_sent();
    fail_alloc_call(n);
    const int started = api_.start(host_.window, it);
    if (started == 0) {
      EXPECT_TRUE(wait_for_end(it));
    }
    stop_failing_allocs();
    const SIZE_T lost = alloc_failed() ? failed_alloc_size() : 0;
    if (lost != 0) failed.push_back(lost);

    if (lost == kProbeBlock) {
      EXPECT_EQ(started, -1);
      EXPECT_EQ(it->probe, nullptr);
      EXPECT_EQ(it->socket, kNoSocket);
      EXPECT_EQ(it->error_text, nullptr);
      EXPECT_EQ(datagrams_sent(), sent);
      EXPECT_TRUE(host_.status_lines.empty());
      for (int i = 0; i < 4; ++i) EXPECT_EQ(api_.timer(host_.window, it), 0) << "no check, no time-out";
      EXPECT_EQ(ends_of(it), 0);
      EXPECT_STREQ(it->offset_text, "+50 msec");
    } else {
      EXPECT_EQ(started, 0);
      EXPECT_EQ(ends_of(it), 1);
      EXPECT_EQ(result_of(it), CHECK_CHANGED);
      EXPECT_EQ(it->error_text, nullptr);
      const std::vector<std::string> lines{kStatusSending, kStatusReceiving, kStatusDone};
      if (lost == kStatusBlock) {
        EXPECT_EQ(host_.status_lines.size(), 2u) << "the line without a buffer is not shown";
      } else {
        EXPECT_EQ(host_.status_lines, lines);
      }
      EXPECT_EQ(item_text(it->server_info), lost == kServerInfoStringSize ? "" : "36;2;6;-26;98304;-2;127.127.1.1");
      EXPECT_EQ(it->server_info == nullptr, lost == kServerInfoStringSize);
      EXPECT_EQ(item_text(it->offset_text), lost == kOffsetTextSize ? "" : "+300 msec");
      EXPECT_EQ(it->offset_text == nullptr, lost == kOffsetTextSize);
      EXPECT_EQ(it->changed_text == nullptr, lost == kChangedTextSize);
      EXPECT_NE(item_text(it->changed_text), "2000/01/01 00:00");
    }
    end_and_expect_released(it);
    forget(it);
  });
  EXPECT_EQ(failed, (std::vector<SIZE_T>{kProbeBlock, kStatusBlock, kStatusBlock, kServerInfoStringSize,
                                         kChangedTextSize, kOffsetTextSize, kStatusBlock}));
}

TEST_F(CheckFaults, ACheckThatTimesOut) {
  const std::string timed_out = error_text(WSAETIMEDOUT);
  std::vector<SIZE_T> failed;
  every_failure_point("check that times out", [&](int n) {
    new_run();
    CheckItem* it = item();
    set_item_text(&it->error_text, "前回のエラー");
    fail_alloc_call(n);
    const int started = api_.start(host_.window, it);
    int last_tick = 0;
    for (int i = 0; i < 3; ++i) last_tick = api_.timer(host_.window, it);
    stop_failing_allocs();
    const SIZE_T lost = alloc_failed() ? failed_alloc_size() : 0;
    if (lost != 0) failed.push_back(lost);
    if (lost == kProbeBlock) {
      EXPECT_EQ(started, -1);
      EXPECT_EQ(last_tick, 0);
      EXPECT_EQ(ends_of(it), 0);
      EXPECT_STREQ(it->error_text, "前回のエラー");
    } else {
      EXPECT_EQ(started, 0);
      EXPECT_EQ(last_tick, 2);
      EXPECT_EQ(ends_of(it), 1);
      EXPECT_EQ(result_of(it), CHECK_TIMEOUT);
      if (lost == timed_out.size() + 1) {
        EXPECT_EQ(it->error_text, nullptr) << "the text that could not be copied stays null";
      } else {
        EXPECT_EQ(item_text(it->error_text), timed_out);
      }
    }
    end_and_expect_released(it);
    forget(it);
  });
  EXPECT_EQ(failed, (std::vector<SIZE_T>{kProbeBlock, kStatusBlock, timed_out.size() + 1}));
}

TEST_F(CheckFaults, AReplyThatMayNotSetTheClock) {
  // Leap indicator 3: the server's clock is not synchronised.
  const std::vector<uint8_t> bytes = sntp_reply(now_ + 300 * kMs, 0xE4);
  const ReplyEvaluation evaluation = evaluate_reply(bytes.data(), bytes.size(), now_, now_);
  char reason[256];
  format_reply_problem(evaluation, bytes.size(), reason, sizeof reason);
  std::vector<SIZE_T> failed;
  const int clock_changes_before = clock_changes();
  every_failure_point("check with an unusable reply", [&](int n) {
    new_run();
    CheckItem* it = item();
    responder_.answer_next({Datagram{bytes}});
    fail_alloc_call(n);
    const int started = api_.start(host_.window, it);
    if (started == 0) {
      EXPECT_TRUE(wait_for_end(it));
    }
    stop_failing_allocs();
    const SIZE_T lost = alloc_failed() ? failed_alloc_size() : 0;
    if (lost != 0) failed.push_back(lost);
    if (lost != kProbeBlock) {
      EXPECT_EQ(result_of(it), CHECK_FAILED);
      EXPECT_EQ(it->server_info == nullptr, lost == kServerInfoStringSize);
      EXPECT_EQ(item_text(it->error_text), lost == std::strlen(reason) + 1 ? "" : reason);
      EXPECT_EQ(it->offset_text, nullptr);
      EXPECT_EQ(clock_changes(), clock_changes_before);
    }
    end_and_expect_released(it);
    forget(it);
  });
  EXPECT_EQ(failed, (std::vector<SIZE_T>{kProbeBlock, kStatusBlock, kStatusBlock, kServerInfoStringSize,
                                         std::strlen(reason) + 1, kStatusBlock}));
}

size_t cache_arrays() {
  size_t arrays = 0;
  for (const Block& b : plugin_block_list()) arrays += b.size % kCacheGrowth == 0;
  return arrays;
}

// The address cache keeps its table and a copy of every name it learnt for
// the life of the process. Blocks of the plug-in that are neither: leaked.
struct CacheBlocks {
  size_t arrays = 0, names = 0, other = 0;
};
CacheBlocks classify_blocks(const std::set<std::string>& names) {
  CacheBlocks c;
  for (const Block& b : plugin_block_list()) {
    const char* text = static_cast<const char*>(b.address);
    if (b.size % kCacheGrowth == 0) {
      ++c.arrays;
    } else if (b.size > 0 && text[b.size - 1] == '\0' && names.count(text) != 0 && std::strlen(text) + 1 == b.size) {
      ++c.names;
    } else {
      ++c.other;
    }
  }
  return c;
}

// The only test in this program that uses the address cache, so that its
// first array is made here.
TEST_F(CheckFaults, ANameLookedUpThenCached) {
  std::set<std::string> cached;  // names the cache must hold
  std::set<std::string> names;   // every name looked up
  bool first_array_failed = false;
  // A check that resolves `name` if it must, sends, and is ended; returns
  // whether it needed a lookup.
  auto lookup_needed = [&](const std::string& name) {
    CheckItem* it = item(name);
    const size_t lookups = looked_up_names().size();
    const int sent = datagrams_sent();
    const size_t requests = responder_.requests().size();
    EXPECT_EQ(api_.start(host_.window, it), 0);
    EXPECT_TRUE(pump_messages_until([&] { return it->lookup_handle == 0; }, 5000));
    // Let the server take the request before the next run scripts its answer.
    if (datagrams_sent() > sent) {
      EXPECT_TRUE(responder_.wait_for_requests(requests + 1, 5000));
    }
    const bool needed = looked_up_names().size() > lookups;
    EXPECT_EQ(api_.item_check_end(host_.window, it), 0);
    forget(it);
    return needed;
  };

  int run = 0;
  every_failure_point("check of a server looked up by name", [&](int n) {
    new_run();
    const std::string name = "server" + std::to_string(++run) + ".example";
    names.insert(name);
    CheckItem* it = item(name);
    responder_.answer_next({reply(300 * kMs)});
    fail_alloc_call(n);
    const int started = api_.start(host_.window, it);
    if (started == 0) {
      EXPECT_TRUE(wait_for_end(it));
    }
    stop_failing_allocs();
    const SIZE_T lost = alloc_failed() ? failed_alloc_size() : 0;
    first_array_failed |= lost == kCacheGrowth;
    if (lost == kProbeBlock) {
      EXPECT_EQ(started, -1);
      EXPECT_EQ(it->probe, nullptr);
    } else {
      EXPECT_EQ(result_of(it), CHECK_CHANGED);
      EXPECT_EQ(looked_up_names().back(), name);
      EXPECT_EQ(host_.status_lines.size(), lost == kStatusBlock ? 2u : 3u);
      EXPECT_EQ(it->server_info == nullptr, lost == kServerInfoStringSize);
      EXPECT_EQ(it->changed_text == nullptr, lost == kChangedTextSize);
      EXPECT_EQ(it->offset_text == nullptr, lost == kOffsetTextSize);
    }
    const CacheBlocks blocks = classify_blocks(names);
    end_and_expect_released(it, blocks.arrays + blocks.names - blocks_before_);
    EXPECT_EQ(blocks.arrays, lost == kProbeBlock && cached.empty() ? 0u : 1u);
    forget(it);
    // Without memory for the name's copy the addition is dropped: the next
    // check looks the name up again (and adds it). Otherwise it is found in
    // the cache.
    if (lost != kProbeBlock) {
      EXPECT_EQ(lookup_needed(name), lost == name.size() + 1) << name;
      cached.insert(name);
    }
  });
  EXPECT_TRUE(first_array_failed) << "the cache's first array was not among the failures";
  for (const std::string& name : cached) EXPECT_FALSE(lookup_needed(name)) << name << " was lost";

  // Fill the first array to its last slot; the next addition needs a larger
  // array, which cannot be had: it is dropped and the table stays as it was.
  fail_alloc_size(2 * kCacheGrowth);
  std::string dropped;
  for (int i = 0; i < 100 && !alloc_failed(); ++i) {
    const std::string name = "fill" + std::to_string(i) + ".example";
    names.insert(name);
    EXPECT_TRUE(lookup_needed(name));
    if (alloc_failed()) {
      dropped = name;
    } else {
      cached.insert(name);
    }
  }
  ASSERT_FALSE(dropped.empty()) << "the table never needed to grow";
  EXPECT_EQ(cached.size(), 99u);
  ++g_total_points;
  std::printf("[ figures  ] the address cache's growth: 1 allocation-failure point\n");
  EXPECT_TRUE(lookup_needed(dropped)) << "a dropped addition is not in the table";
  for (const std::string& name : cached) EXPECT_FALSE(lookup_needed(name)) << name << " was lost";
  stop_failing_allocs();
  EXPECT_TRUE(lookup_needed(dropped));
  EXPECT_FALSE(lookup_needed(dropped)) << "with memory the table grows and takes the name";
  const CacheBlocks blocks = classify_blocks(names);
  EXPECT_EQ(blocks.arrays, 1u) << "the smaller array is freed when the table grows";
  EXPECT_EQ(blocks.names, cached.size() + 1);
  EXPECT_EQ(blocks.other, 0u);
}

TEST_F(CheckFaults, ALookupThatFails) {
  fake_lookups(true, WSAHOST_NOT_FOUND);
  const std::string not_found = error_text(WSAHOST_NOT_FOUND);
  const size_t arrays_before = cache_arrays();
  every_failure_point("check whose lookup fails", [&](int n) {
    new_run();
    CheckItem* it = item("nowhere.example");
    fail_alloc_call(n);
    const int started = api_.start(host_.window, it);
    if (started == 0) {
      EXPECT_TRUE(pump_messages_until([&] { return !host_.calls.empty(); }, 5000));
    }
    stop_failing_allocs();
    const SIZE_T lost = alloc_failed() ? failed_alloc_size() : 0;
    if (lost != kProbeBlock) {
      ASSERT_EQ(host_.calls.size(), 1u);
      EXPECT_EQ(host_.calls[0].result, -1);
      EXPECT_EQ(item_text(it->error_text), lost == not_found.size() + 1 ? "" : not_found);
      EXPECT_EQ(ends_of(it), 0);
    }
    // The cache made its first array for the lookup, if it had none yet.
    end_and_expect_released(it, cache_arrays() - arrays_before);
    forget(it);
  });
}

TEST_F(CheckFaults, TheItemTextAndTheItemTypeDescription) {
  CheckItem* it = item("ntp.example.jp");
  every_failure_point("item text and item-type description", [&](int n) {
    fail_alloc_call(n);
    HGLOBAL text = api_.get_item_text(it);
    ItemTypeInfo info;
    std::memset(&info, 0xCC, sizeof info);
    const int described = api_.get_info(&info);
    stop_failing_allocs();
    const SIZE_T lost = alloc_failed() ? failed_alloc_size() : 0;
    EXPECT_EQ(text == nullptr, lost == std::strlen(it->address) + 1);
    if (text != nullptr) {
      EXPECT_STREQ(static_cast<const char*>(GlobalLock(text)), it->address);
      GlobalUnlock(text);
      hand_over(text);
      GlobalFree(text);
    }
    EXPECT_EQ(described, lost == sizeof(ItemCommand) ? -1 : 0);
    EXPECT_EQ(info.command_count, lost == sizeof(ItemCommand) ? 0 : 1);
    if (info.commands != nullptr) {
      hand_over(info.commands);
      GlobalFree(info.commands);
    }
    EXPECT_EQ(plugin_own_blocks({it}), blocks_before_);
  });
}

// The property sheet through the sheet driver, with the same failures.
class SheetFaults : public SheetTest {
 protected:
  static void SetUpTestSuite() {
    SheetTest::SetUpTestSuite();
    ASSERT_TRUE(watch_plugin(api_.module));
  }
  void SetUp() override {
    SheetTest::SetUp();
    blocks_before_ = plugin_blocks();
  }
  void TearDown() override {
    stop_failing_allocs();
    EXPECT_EQ(plugin_own_blocks({item_}), blocks_before_) << "blocks leaked";
    for (const char* text : {item_->title, item_->address, item_->options, item_->comment}) {
      if (text != nullptr) hand_over(text);
    }
    SheetTest::TearDown();
  }
  size_t blocks_before_ = 0;  // the address cache's, when other tests made it
};

TEST_F(SheetFaults, ASheetConfirmedWithOk) {
  const std::string title(5, 'T'), server(9, 's'), comment(13, 'c');
  const SIZE_T caption_block = std::strlen("old") + std::strlen("のプロパティ") + 1;
  std::vector<SIZE_T> failed;
  every_failure_point("property sheet confirmed with OK", [&](int n) {
    set_host_text(&item_->title, "old");
    set_host_text(&item_->address, "sntp://old.example");
    set_host_text(&item_->options, "8123;1;700;0;");
    set_host_text(&item_->comment, "old comment");
    std::string caption;
    fail_alloc_call(n);
    SheetRun run = property([&](HWND sheet) {
      caption = window_text(sheet);
      HWND page = show_page(sheet, 0);
      type(page, IDC_TITLE, title);
      type(page, IDC_SERVER, server);
      type(page, IDC_PORT, "9000");
      type(page, IDC_COMMENT, comment);
      press(sheet, PSBTN_OK);
    });
    stop_failing_allocs();
    const SIZE_T lost = alloc_failed() ? failed_alloc_size() : 0;
    if (lost != 0) failed.push_back(lost);
    if (lost == kProbeBlock) {
      EXPECT_FALSE(run.sheet_shown);
      EXPECT_EQ(run.result, -1);
      EXPECT_EQ(item_text(item_->title), "old");
      EXPECT_EQ(item_text(item_->options), "8123;1;700;0;");
    } else {
      EXPECT_TRUE(run.sheet_shown);
      EXPECT_EQ(run.result, 0);
      EXPECT_EQ(caption, lost == caption_block ? "" : "oldのプロパティ");
      // A text whose new block cannot be had keeps the item's previous one.
      EXPECT_EQ(item_text(item_->title), lost == title.size() + 1 ? "old" : title);
      const bool address_lost = lost == server.size() + 1 || lost == 7 + server.size() + 1;
      EXPECT_EQ(item_text(item_->address), address_lost ? "sntp://old.example" : "sntp://" + server);
      EXPECT_EQ(item_text(item_->comment), lost == comment.size() + 1 ? "old comment" : comment);
      EXPECT_EQ(item_text(item_->options), lost == kOptionStringSize ? "8123;1;700;0;" : "9000;1;700;0;");
    }
    EXPECT_EQ(plugin_own_blocks({item_}), blocks_before_) << "blocks leaked";
  });
  EXPECT_EQ(failed, (std::vector<SIZE_T>{kProbeBlock, caption_block, title.size() + 1, server.size() + 1,
                                         7 + server.size() + 1, comment.size() + 1, kOptionStringSize}));
}

TEST_F(SheetFaults, ASheetOfANewItemCancelled) {
  const SIZE_T caption_block = std::strlen("新しいアイテムのプロパティ") + 1;
  std::vector<SIZE_T> failed;
  every_failure_point("property sheet of a new item, cancelled", [&](int n) {
    std::string caption;
    fail_alloc_call(n);
    SheetRun run = property([&](HWND sheet) {
      caption = window_text(sheet);
      show_page(sheet, 2);
      press(sheet, PSBTN_CANCEL);
    });
    stop_failing_allocs();
    const SIZE_T lost = alloc_failed() ? failed_alloc_size() : 0;
    if (lost != 0) failed.push_back(lost);
    EXPECT_EQ(run.sheet_shown, lost != kProbeBlock);
    EXPECT_EQ(run.result, -1);
    if (run.sheet_shown) {
      EXPECT_EQ(caption, lost == caption_block ? "" : "新しいアイテムのプロパティ");
    }
    EXPECT_EQ(item_->title, nullptr);
    EXPECT_EQ(item_->options, nullptr);
    EXPECT_EQ(plugin_own_blocks({item_}), blocks_before_) << "blocks leaked";
  });
  EXPECT_EQ(failed, (std::vector<SIZE_T>{kProbeBlock, caption_block}));
}

}  // namespace

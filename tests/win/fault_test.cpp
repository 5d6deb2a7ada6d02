// Memory running out inside the real sntp.dll. Each scenario (a whole check
// against the scripted server, a whole property sheet) runs again and again
// with the plug-in's first, second, third ... GlobalAlloc call failing, until
// a run makes no call that could fail. Every run must end without a crash,
// without a leaked block or socket, and with what a failed allocation is
// meant to cost: no working record ends the operation with -1 and nothing
// else; a text that cannot be made stays null (the sheet keeps the item's
// previous text instead); a status line that cannot be formatted is not
// shown; the address cache drops an addition it has no room for.
//
// The checks and the sheets are tables of scenarios: what each run does,
// what it must show for the allocation that failed, and which allocations
// must be among those that fail (in any order: the order is the plug-in's
// own business, what a failure costs is not).
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
#include "check/probe_state.h"
#include "check/reply_texts.h"
#include "check/server_info_string.h"
#include "plugin/error_and_status.h"
#include "reply_datagram.h"
#include "resource.h"
#include "settings/option_text.h"
#include "sheet_driver.h"

namespace {

constexpr int64_t kMs = kUnitsPerMs;
// Blocks the plug-in allocates, by size.
constexpr SIZE_T kProbeBlock = sizeof(ProbeState);
constexpr SIZE_T kStatusBlock = 8192;

int g_total_points = 0;

// Runs `run` with the plug-in's first, second, third ... GlobalAlloc call
// failing, until a run in which none failed, and hands `expect` the size of
// the allocation that failed in each run (0 in the last). Returns the sizes
// that failed.
std::multiset<SIZE_T> every_failure_point(const char* scenario, const std::function<void()>& run,
                                        const std::function<void(SIZE_T lost)>& expect) {
  std::multiset<SIZE_T> failed;
  int n = 1;
  for (; n <= 200; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    fail_alloc_call(n);
    run();
    stop_failing_allocs();
    const SIZE_T lost = alloc_failed() ? failed_alloc_size() : 0;
    expect(lost);
    if (lost != 0) failed.insert(lost);
    if (::testing::Test::HasFatalFailure() || lost == 0) break;
  }
  EXPECT_LE(n, 200) << "a run that never ends without a failure";
  const int points = n - 1;
  std::printf("[ figures  ] %s: %d allocation-failure points\n", scenario, points);
  g_total_points += points;
  return failed;
}

// Each allocation a scenario's expectations describe was made to fail in
// some run, so that none of them is described in vain.
void expect_each_failed(const std::multiset<SIZE_T>& failed, const std::set<SIZE_T>& must_fail) {
  for (SIZE_T size : must_fail) EXPECT_NE(failed.count(size), 0u) << "no allocation of " << size << " bytes failed";
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

// Why the plug-in does not use `bytes` as a reply, in its words.
std::string reason_for(const std::vector<uint8_t>& bytes) {
  char reason[512];
  format_reply_problem(evaluate_reply(bytes.data(), bytes.size(), kTestNonce, 0, 0, 0), bytes.size(), reason, sizeof reason);
  return reason;
}

class CheckFaults : public PluginTest {
 public:
  void SetUp() override {
    PluginTest::SetUp();
    freeze_clock();
  }

  // Ends the item's check and checks that the plug-in holds nothing for it
  // any more (the address cache keeps what it learnt on purpose).
  void end_and_expect_released(CheckItem* it) {
    EXPECT_EQ(api_.item_check_end(host_.window, it), 0);
    EXPECT_EQ(it->probe, nullptr);
    EXPECT_EQ(it->socket, kNoSocket);
    pump_pending_messages();
    expect_nothing_leaked({it});
    EXPECT_LE(ends_of(it), 1) << "more than one MSG_CHECK_END";
  }
  void forget(CheckItem* it) {
    std::erase(host_.items, it);
    free_watched_item(it);
  }
  void new_run() {
    host_.status_lines.clear();
    host_.check_ends.clear();
    host_.calls.clear();
  }
};

// One run of a check scenario: what the host saw.
struct CheckRun {
  CheckItem* item = nullptr;
  int started = 0;        // what SNTP_Start returned
  int last_tick = 0;      // what the third tick returned, for a check ended by its time-out
  int sent_before = 0;    // datagrams the plug-in had sent before the run
  int changes_before = 0; // clock changes it had asked for before the run
};

// What ends a check of a scenario.
enum class CheckEnds { kByReply, kByTimeOut, kByFailedLookup };

struct CheckScenario {
  const char* id;    // the test's name
  const char* name;  // as the figures print it
  const char* server;
  std::function<void(CheckFaults&, CheckItem*)> prepare;  // the item's texts and the server's answer
  CheckEnds ends;
  // What a run must show, given the size of the allocation that failed.
  std::function<void(CheckFaults&, const CheckRun&, SIZE_T lost)> expect;
  // The allocations whose failure `expect` describes, each of which must be
  // among those that failed (none: not compared).
  std::function<std::set<SIZE_T>(CheckFaults&)> must_fail;
};

class CheckScenarios : public CheckFaults, public ::testing::WithParamInterface<CheckScenario> {};

TEST_P(CheckScenarios, EveryAllocationFailsInTurn) {
  const CheckScenario& scenario = GetParam();
  CheckRun run;
  const std::multiset<SIZE_T> failed = every_failure_point(
      scenario.name,
      [&] {
        new_run();
        run = CheckRun{item(scenario.server), 0, 0, datagrams_sent(), clock_changes()};
        scenario.prepare(*this, run.item);
        run.started = start(run.item);
        switch (scenario.ends) {
          case CheckEnds::kByReply:
            if (run.started == 0) {
              EXPECT_TRUE(wait_for_end_of(run.item));
            }
            break;
          case CheckEnds::kByTimeOut:
            for (int i = 0; i < 3; ++i) run.last_tick = tick(run.item);
            break;
          case CheckEnds::kByFailedLookup:
            if (run.started == 0) {
              EXPECT_TRUE(wait_for_calls(1));
            }
            break;
        }
      },
      [&](SIZE_T lost) {
        scenario.expect(*this, run, lost);
        end_and_expect_released(run.item);
        forget(run.item);
      });
  if (scenario.must_fail) {
    expect_each_failed(failed, scenario.must_fail(*this));
  }
}

const CheckScenario kCheckScenarios[] = {
    {"ACheckThatMovesTheClock", "check that moves the clock", "127.0.0.1",
     [](CheckFaults& f, CheckItem* it) {
       set_item_text(&it->offset_text, "+50 msec");
       set_item_text(&it->changed_text, "2000/01/01 00:00");
       set_item_text(&it->server_info, "36;1;6;-20;0;0;GPS");
       f.responder_.answer_next({f.reply(300 * kMs)});
     },
     CheckEnds::kByReply,
     [](CheckFaults& f, const CheckRun& run, SIZE_T lost) {
       CheckItem* it = run.item;
       if (lost == kProbeBlock) {
         EXPECT_EQ(run.started, -1);
         EXPECT_EQ(it->probe, nullptr);
         EXPECT_EQ(it->socket, kNoSocket);
         EXPECT_EQ(it->error_text, nullptr);
         EXPECT_EQ(datagrams_sent(), run.sent_before);
         EXPECT_TRUE(f.host_.status_lines.empty());
         for (int i = 0; i < 4; ++i) EXPECT_EQ(f.tick(it), 0) << "no check, no time-out";
         EXPECT_EQ(f.ends_of(it), 0);
         EXPECT_STREQ(it->offset_text, "+50 msec");
         return;
       }
       EXPECT_EQ(run.started, 0);
       EXPECT_EQ(f.ends_of(it), 1);
       EXPECT_EQ(f.result_of(it), CHECK_CHANGED);
       EXPECT_EQ(it->error_text, nullptr);
       const std::vector<std::string> lines{kStatusSending, kStatusReceiving, kStatusDone};
       if (lost == kStatusBlock) {
         EXPECT_EQ(f.host_.status_lines.size(), 2u) << "the line without a buffer is not shown";
       } else {
         EXPECT_EQ(f.host_.status_lines, lines);
       }
       EXPECT_EQ(item_text(it->server_info), lost == kServerInfoStringSize ? "" : "36;2;6;-26;98304;-2;127.127.1.1");
       EXPECT_EQ(it->server_info == nullptr, lost == kServerInfoStringSize);
       EXPECT_EQ(item_text(it->offset_text), lost == kOffsetTextSize ? "" : "+300 msec");
       EXPECT_EQ(it->offset_text == nullptr, lost == kOffsetTextSize);
       EXPECT_EQ(it->changed_text == nullptr, lost == kChangedTextSize);
       EXPECT_NE(item_text(it->changed_text), "2000/01/01 00:00");
     },
     [](CheckFaults&) {
       return std::set<SIZE_T>{kProbeBlock, kStatusBlock, kServerInfoStringSize, kChangedTextSize, kOffsetTextSize};
     }},
    {"ACheckThatTimesOut", "check that times out", "127.0.0.1",
     [](CheckFaults&, CheckItem* it) { set_item_text(&it->error_text, "前回のエラー"); },
     CheckEnds::kByTimeOut,
     [](CheckFaults& f, const CheckRun& run, SIZE_T lost) {
       CheckItem* it = run.item;
       const std::string timed_out = f.error_text(WSAETIMEDOUT);
       if (lost == kProbeBlock) {
         EXPECT_EQ(run.started, -1);
         EXPECT_EQ(run.last_tick, 0);
         EXPECT_EQ(f.ends_of(it), 0);
         EXPECT_STREQ(it->error_text, "前回のエラー");
         return;
       }
       EXPECT_EQ(run.started, 0);
       EXPECT_EQ(run.last_tick, 2);
       EXPECT_EQ(f.ends_of(it), 1);
       EXPECT_EQ(f.result_of(it), CHECK_TIMEOUT);
       if (lost == timed_out.size() + 1) {
         EXPECT_EQ(it->error_text, nullptr) << "the text that could not be copied stays null";
       } else {
         EXPECT_EQ(item_text(it->error_text), timed_out);
       }
     },
     [](CheckFaults& f) {
       return std::set<SIZE_T>{kProbeBlock, kStatusBlock, f.error_text(WSAETIMEDOUT).size() + 1};
     }},
    // Leap indicator 3: the server's clock is not synchronised.
    {"AReplyThatMayNotSetTheClock", "check with an unusable reply", "127.0.0.1",
     [](CheckFaults& f, CheckItem*) { f.responder_.answer_next({f.reply(300 * kMs, 0xE4)}); },
     CheckEnds::kByReply,
     [](CheckFaults& f, const CheckRun& run, SIZE_T lost) {
       CheckItem* it = run.item;
       if (lost == kProbeBlock) return;
       const std::string reason = reason_for(f.reply(300 * kMs, 0xE4).bytes);
       EXPECT_EQ(f.result_of(it), CHECK_FAILED);
       EXPECT_EQ(it->server_info == nullptr, lost == kServerInfoStringSize);
       EXPECT_EQ(item_text(it->error_text), lost == reason.size() + 1 ? "" : reason);
       EXPECT_EQ(it->offset_text, nullptr);
       EXPECT_EQ(clock_changes(), run.changes_before);
     },
     [](CheckFaults& f) {
       const std::string reason = reason_for(f.reply(300 * kMs, 0xE4).bytes);
       return std::set<SIZE_T>{kProbeBlock, kStatusBlock, kServerInfoStringSize, reason.size() + 1};
     }},
    {"ALookupThatFails", "check whose lookup fails", "nowhere.example",
     [](CheckFaults&, CheckItem*) { fake_lookups(true, WSAHOST_NOT_FOUND); },
     CheckEnds::kByFailedLookup,
     [](CheckFaults& f, const CheckRun& run, SIZE_T lost) {
       if (lost == kProbeBlock) return;
       const std::string not_found = f.error_text(WSAHOST_NOT_FOUND);
       ASSERT_EQ(f.host_.calls.size(), 1u);
       EXPECT_EQ(f.host_.calls[0].result, -1);
       EXPECT_EQ(item_text(run.item->error_text), lost == not_found.size() + 1 ? "" : not_found);
       EXPECT_EQ(f.ends_of(run.item), 0);
     },
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(, CheckScenarios, ::testing::ValuesIn(kCheckScenarios),
                         [](const ::testing::TestParamInfo<CheckScenario>& info) { return info.param.id; });

// The only test of this program that runs before the cache has its first
// array (the scenarios above, one of which makes it, run after the plain
// tests), so that its first array is made here.
TEST_F(CheckFaults, ANameLookedUpThenCached) {
  std::set<std::string> cached;  // names the cache must hold
  bool first_array_failed = false;
  // A check that resolves `name` if it must, sends, and is ended; returns
  // whether it needed a lookup.
  auto lookup_needed = [&](const std::string& name) {
    CheckItem* it = item(name);
    const size_t lookups = looked_up_names().size();
    const int sent = datagrams_sent();
    const size_t requests = responder_.requests().size();
    EXPECT_EQ(start(it), 0);
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

  int runs = 0;
  CheckItem* it = nullptr;
  int started = 0;
  std::string name;
  every_failure_point(
      "check of a server looked up by name",
      [&] {
        new_run();
        name = "server" + std::to_string(++runs) + ".example";
        it = item(name);
        responder_.answer_next({reply(300 * kMs)});
        started = start(it);
        if (started == 0) {
          EXPECT_TRUE(wait_for_end_of(it));
        }
      },
      [&](SIZE_T lost) {
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
        end_and_expect_released(it);
        EXPECT_EQ(plugin_cache_block_kinds().arrays, lost == kProbeBlock && cached.empty() ? 0u : 1u);
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
  for (const std::string& cached_name : cached) EXPECT_FALSE(lookup_needed(cached_name)) << cached_name << " was lost";

  // Fill the first array to its last slot; the next addition needs a larger
  // array, which cannot be had: it is dropped and the table stays as it was.
  fail_alloc_size(2 * kCacheGrowth);
  std::string dropped;
  for (int i = 0; i < 100 && !alloc_failed(); ++i) {
    const std::string fill = "fill" + std::to_string(i) + ".example";
    EXPECT_TRUE(lookup_needed(fill));
    if (alloc_failed()) {
      dropped = fill;
    } else {
      cached.insert(fill);
    }
  }
  ASSERT_FALSE(dropped.empty()) << "the table never needed to grow";
  EXPECT_EQ(cached.size(), 99u);
  ++g_total_points;
  std::printf("[ figures  ] the address cache's growth: 1 allocation-failure point\n");
  EXPECT_TRUE(lookup_needed(dropped)) << "a dropped addition is not in the table";
  for (const std::string& cached_name : cached) EXPECT_FALSE(lookup_needed(cached_name)) << cached_name << " was lost";
  stop_failing_allocs();
  EXPECT_TRUE(lookup_needed(dropped));
  EXPECT_FALSE(lookup_needed(dropped)) << "with memory the table grows and takes the name";
  const CacheBlocks blocks = plugin_cache_block_kinds();
  EXPECT_EQ(blocks.arrays, 1u) << "the smaller array is freed when the table grows";
  EXPECT_EQ(blocks.names, cached.size() + 1);
  EXPECT_EQ(own_blocks({}), blocks_at_start_) << "blocks that are neither the cache's nor leaked";
}

TEST_F(CheckFaults, TheItemTextAndTheItemTypeDescription) {
  CheckItem* it = item("ntp.example.jp");
  HGLOBAL text = nullptr;
  ItemTypeInfo info;
  int described = 0;
  every_failure_point(
      "item text and item-type description",
      [&] {
        text = api_.get_item_text(it);
        std::memset(&info, 0xCC, sizeof info);
        described = api_.get_info(&info);
      },
      [&](SIZE_T lost) {
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
        expect_nothing_leaked({it});
      });
}

// The property sheet through the sheet driver, with the same failures.

// What one run of a sheet scenario saw.
struct SheetOutcome {
  SheetRun run;
  std::string caption;
};

struct SheetScenario {
  const char* id;
  const char* name;
  std::function<void(SheetTest&)> prepare;               // the item's texts
  std::function<void(HWND sheet)> script;                   // what the user does
  std::function<void(SheetTest&, const SheetOutcome&, SIZE_T lost)> expect;
  std::function<std::set<SIZE_T>()> must_fail;  // as for the checks
};

class SheetScenarios : public SheetTest, public ::testing::WithParamInterface<SheetScenario> {};

TEST_P(SheetScenarios, EveryAllocationFailsInTurn) {
  const SheetScenario& scenario = GetParam();
  SheetOutcome outcome;
  const std::multiset<SIZE_T> failed = every_failure_point(
      scenario.name,
      [&] {
        scenario.prepare(*this);
        outcome = SheetOutcome{};
        outcome.run = property([&](HWND sheet) {
          outcome.caption = window_text(sheet);
          scenario.script(sheet);
        });
      },
      [&](SIZE_T lost) {
        scenario.expect(*this, outcome, lost);
        expect_nothing_leaked({item_});
      });
  expect_each_failed(failed, scenario.must_fail());
}

const std::string kTitle(5, 'T'), kServer(9, 's'), kComment(13, 'c');
const SIZE_T kOldCaptionBlock = std::strlen("old") + std::strlen("のプロパティ") + 1;
const SIZE_T kNewCaptionBlock = std::strlen("新しいアイテムのプロパティ") + 1;

const SheetScenario kSheetScenarios[] = {
    {"ASheetConfirmedWithOk", "property sheet confirmed with OK",
     [](SheetTest& f) {
       set_host_text(&f.item_->title, "old");
       set_host_text(&f.item_->address, "sntp://old.example");
       set_host_text(&f.item_->options, "8123;1;700;0;");
       set_host_text(&f.item_->comment, "old comment");
     },
     [](HWND sheet) {
       HWND page = show_page(sheet, 0);
       type(page, IDC_TITLE, kTitle);
       type(page, IDC_SERVER, kServer);
       type(page, IDC_PORT, "9000");
       type(page, IDC_COMMENT, kComment);
       press(sheet, PSBTN_OK);
     },
     [](SheetTest& f, const SheetOutcome& outcome, SIZE_T lost) {
       const CheckItem* item = f.item_;
       if (lost == kProbeBlock || lost == kOptionStringSize) {  // the item changes as a whole or not at all
         EXPECT_FALSE(outcome.run.sheet_shown);
         EXPECT_EQ(outcome.run.result, -1);
         EXPECT_EQ(item_text(item->title), "old");
         EXPECT_EQ(item_text(item->address), "sntp://old.example");
         EXPECT_EQ(item_text(item->comment), "old comment");
         EXPECT_EQ(item_text(item->options), "8123;1;700;0;");
         return;
       }
       EXPECT_TRUE(outcome.run.sheet_shown);
       EXPECT_EQ(outcome.caption, lost == kOldCaptionBlock ? "" : "oldのプロパティ");
       // Without a block for one of the General page's texts, none is
       // written and OK reports a cancel.
       const bool unchanged = lost == kTitle.size() + 1 || lost == kServer.size() + 1 ||
                              lost == 7 + kServer.size() + 1 || lost == kComment.size() + 1;
       EXPECT_EQ(outcome.run.result, unchanged ? -1 : 0);
       EXPECT_EQ(item_text(item->title), unchanged ? "old" : kTitle);
       EXPECT_EQ(item_text(item->address), unchanged ? "sntp://old.example" : "sntp://" + kServer);
       EXPECT_EQ(item_text(item->comment), unchanged ? "old comment" : kComment);
       EXPECT_EQ(item_text(item->options), unchanged ? "8123;1;700;0;" : "9000;1;700;0;");
     },
     [] {
       return std::set<SIZE_T>{kProbeBlock,           kOldCaptionBlock,    kTitle.size() + 1, kServer.size() + 1,
                               7 + kServer.size() + 1, kComment.size() + 1, kOptionStringSize};
     }},
    {"ASheetOfANewItemCancelled", "property sheet of a new item, cancelled", [](SheetTest&) {},
     [](HWND sheet) {
       show_page(sheet, 2);
       press(sheet, PSBTN_CANCEL);
     },
     [](SheetTest& f, const SheetOutcome& outcome, SIZE_T lost) {
       EXPECT_EQ(outcome.run.sheet_shown, lost != kProbeBlock && lost != kOptionStringSize);
       EXPECT_EQ(outcome.run.result, -1);
       if (outcome.run.sheet_shown) {
         EXPECT_EQ(outcome.caption, lost == kNewCaptionBlock ? "" : "新しいアイテムのプロパティ");
       }
       EXPECT_EQ(f.item_->title, nullptr);
       EXPECT_EQ(f.item_->options, nullptr);
     },
     [] { return std::set<SIZE_T>{kProbeBlock, kOptionStringSize, kNewCaptionBlock}; }},
};

INSTANTIATE_TEST_SUITE_P(, SheetScenarios, ::testing::ValuesIn(kSheetScenarios),
                         [](const ::testing::TestParamInfo<SheetScenario>& info) { return info.param.id; });

}  // namespace

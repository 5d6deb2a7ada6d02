// A host that misuses the real sntp.dll: operations on items it never
// prepared, twice in a row or out of order, notifications that are stale or
// misrouted, and texts far longer than any the plug-in writes. None may
// crash, hang, leak a block or a socket, or end a check that is not running.
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "check/ntp.h"
#include "check/reply_texts.h"
#include "plugin/error_and_status.h"
#include "resource.h"
#include "settings/fields.h"
#include "settings/option_text.h"
#include "sheet_driver.h"
#include "ui/version_gate.h"

namespace {

constexpr int64_t kMs = kUnitsPerMs;
constexpr size_t kMegabyte = 1 << 20;
constexpr int kGeneral = 0, kOptions = 1, kInfo = 2;
const std::string kUnknown = "不明";

// `piece` repeated to a megabyte.
std::string megabyte_of(const std::string& piece) {
  std::string text;
  text.reserve(kMegabyte + piece.size());
  while (text.size() < kMegabyte) text += piece;
  return text;
}

class Misuse : public SheetTest {
 public:
  void SetUp() override {
    SheetTest::SetUp();
    freeze_clock();
    sent_before_ = datagrams_sent_to(responder_.port());
  }

  // Nothing may be left once the host has ended every check.
  void TearDown() override {
    for (CheckItem* it : host_.items) api_.item_check_end(host_.window, it);
    complete_held_lookups();
    pump_pending_messages();
    std::vector<const CheckItem*> all(host_.items.begin(), host_.items.end());
    all.push_back(item_);
    expect_nothing_leaked(all);
    SheetTest::TearDown();
  }

  // An item whose record is all zero bytes: socket 0 rather than none.
  CheckItem* zero_filled_item() {
    auto* it = static_cast<CheckItem*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, sizeof(CheckItem)));
    host_.items.push_back(it);
    return it;
  }
  HWND window() const { return host_.window; }
  // Scripts the answer to the next request, once the server has taken every
  // request sent so far (else an earlier, unanswered one would take it).
  void answer_next(int64_t offset) {
    const int sent = datagrams_sent_to(responder_.port()) - sent_before_;
    ASSERT_TRUE(responder_.wait_for_requests(static_cast<size_t>(sent), 5000));
    responder_.answer_next({reply(offset)});
  }

  int sent_before_ = 0;
};

TEST_F(Misuse, EveryOperationOnAZeroFilledItemOrOneWithoutTexts) {
  for (bool zero_filled : {true, false}) {
    SCOPED_TRACE(zero_filled ? "zero-filled item" : "item without texts");
    host_.check_ends.clear();
    host_.calls.clear();
    CheckItem* it = zero_filled ? zero_filled_item() : new_item();
    if (!zero_filled) host_.items.push_back(it);
    EXPECT_EQ(api_.initialize(window(), it), 0);
    EXPECT_EQ(api_.init_item(window(), it), 0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(api_.timer(window(), it), 0);
    EXPECT_TRUE(host_.check_ends.empty()) << "ticks for an item that never started ended a check";
    EXPECT_EQ(api_.item_check_end(window(), it), 0);
    EXPECT_EQ(api_.cancel(window(), it), 0);
    EXPECT_EQ(it->probe, nullptr);
    EXPECT_EQ(it->socket, kNoSocket);

    HGLOBAL text = api_.get_item_text(it);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(static_cast<const char*>(GlobalLock(text)), "");
    GlobalUnlock(text);
    hand_over(text);
    GlobalFree(text);

    // Notifications for an item without a check (no record, no socket) are
    // stale, a socket event as a lookup completion: they end nothing.
    EXPECT_EQ(api_.select(window(), 0, WSAMAKESELECTREPLY(FD_READ, 0), it), 0);
    EXPECT_EQ(api_.gethost(window(), 0, 0, it), 0);
    EXPECT_TRUE(host_.check_ends.empty());
    EXPECT_EQ(it->error_text, nullptr);

    // Without an address there is no server: nothing is looked up or sent.
    clear_looked_up_names();
    EXPECT_EQ(api_.start(window(), it), -1);
    EXPECT_TRUE(looked_up_names().empty());
    EXPECT_EQ(item_text(it->error_text), kNoServerNameText);
    EXPECT_EQ(api_.item_check_end(window(), it), 0);

    // The sheet opens with the defaults; Cancel leaves the item as it was.
    for (bool exec : {false, true}) {
      SheetRun run = run_sheet(
          window(), [&] { return exec ? api_.exec_item(window(), "open", it) : api_.property(window(), it); },
          [](HWND sheet) {
            HWND page = show_page(sheet, kGeneral);
            EXPECT_EQ(text_of(page, IDC_TITLE), "新しいアイテム");
            EXPECT_EQ(text_of(page, IDC_SERVER), "");
            EXPECT_EQ(text_of(page, IDC_PORT), std::to_string(services_port_or_123()));
            show_page(sheet, kOptions);
            show_page(sheet, kInfo);
            press(sheet, PSBTN_CANCEL);
          });
      EXPECT_TRUE(run.sheet_shown);
      EXPECT_EQ(run.result, -1);
    }
    for (const char* t : {it->title, it->address, it->offset_text, it->changed_text, it->options, it->comment,
                          it->server_info}) {
      EXPECT_EQ(t, nullptr);
    }
    EXPECT_EQ(plugin_sockets(), sockets_at_start_);
  }
}

TEST_F(Misuse, EveryOperationTwiceInARow) {
  CheckItem* it = item();
  set_item_text(&it->error_text, "x");
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(api_.initialize(window(), it), 0);
    EXPECT_EQ(api_.init_item(window(), it), 0);
  }
  EXPECT_EQ(it->error_text, nullptr);

  // A socket notification delivered twice ends the check once.
  answer_next(300 * kMs);
  ASSERT_EQ(api_.start(window(), it), 0);
  ASSERT_TRUE(wait_for_end_of(it, 1));
  ASSERT_EQ(host_.calls.size(), 1u);
  EXPECT_EQ(host_.calls[0].result, 2);
  EXPECT_EQ(api_.select(window(), it->socket, WSAMAKESELECTREPLY(FD_READ, 0), it), 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(api_.timer(window(), it), 0);
  EXPECT_EQ(ends_of(it), 1);
  EXPECT_EQ(result_of(it), CHECK_CHANGED);

  // Ending twice releases once.
  const int closes = foreign_closes();
  EXPECT_EQ(api_.item_check_end(window(), it), 0);
  EXPECT_EQ(api_.item_check_end(window(), it), 0);
  EXPECT_EQ(plugin_sockets(), sockets_at_start_);
  EXPECT_EQ(foreign_closes(), closes) << "a second end closed something";
  // After the end, ticks do nothing: the check is not running.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(api_.timer(window(), it), 0);
  EXPECT_EQ(ends_of(it), 1);

  // Two copies of the address, each the host's to free.
  HGLOBAL first = api_.get_item_text(it), second = api_.get_item_text(it);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  for (HGLOBAL text : {first, second}) {
    EXPECT_STREQ(static_cast<const char*>(GlobalLock(text)), "sntp://127.0.0.1");
    GlobalUnlock(text);
    hand_over(text);
    GlobalFree(text);
  }

  // A lookup completion delivered twice: the second finds no lookup pending
  // and reports the failure, with a reason.
  CheckItem* named = item("twice.example");
  ASSERT_EQ(api_.start(window(), named), 0);
  const WPARAM lookup = named->lookup_handle;
  ASSERT_TRUE(pump_messages_until([&] { return !host_.calls.empty() && host_.calls.back().item == named; }, 5000));
  EXPECT_EQ(host_.calls.back().result, 0);
  EXPECT_EQ(api_.gethost(window(), lookup, 0, named), -1);
  EXPECT_EQ(ends_of(named), 1);
  EXPECT_EQ(result_of(named), CHECK_FAILED);
  EXPECT_EQ(item_text(named->error_text), kNoLookupPendingText);

  // Two sheets in a row.
  for (int i = 0; i < 2; ++i) {
    SheetRun run = property(it, [](HWND sheet) { press(sheet, PSBTN_OK); });
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(parse_option_string(it->options).port, responder_.port());
  }
}

TEST_F(Misuse, OperationsOutOfOrder) {
  // A second start while the first waits for its reply: one socket, one end.
  CheckItem* restarted = item();
  ASSERT_EQ(api_.start(window(), restarted), 0);
  ASSERT_EQ(api_.start(window(), restarted), 0);
  EXPECT_EQ(plugin_sockets(), sockets_at_start_ + 1);
  ASSERT_TRUE(responder_.wait_for_requests(2, 5000));
  responder_.send(reply(300 * kMs));
  ASSERT_TRUE(wait_for_end_of(restarted, 1));
  pump_messages_until([] { return false; }, 100);
  EXPECT_EQ(ends_of(restarted), 1);
  EXPECT_EQ(result_of(restarted), CHECK_CHANGED);

  // A start over a record left by a time-out counts its own time-out.
  CheckItem* timed_out = item();  // the server is not told to answer
  ASSERT_EQ(api_.start(window(), timed_out), 0);
  for (int i = 0; i < 3; ++i) api_.timer(window(), timed_out);
  ASSERT_EQ(ends_of(timed_out), 1);
  ASSERT_EQ(api_.start(window(), timed_out), 0);
  EXPECT_EQ(api_.timer(window(), timed_out), 0);
  EXPECT_EQ(api_.timer(window(), timed_out), 0);
  EXPECT_EQ(api_.timer(window(), timed_out), 2) << "the restarted check never timed out";
  EXPECT_EQ(ends_of(timed_out), 2);
  EXPECT_EQ(result_of(timed_out), CHECK_TIMEOUT);

  // A start while a lookup is pending abandons it: only the new lookup's
  // completion continues the check.
  hold_lookups(true);
  CheckItem* looking_up = item("pending.example");
  ASSERT_EQ(api_.start(window(), looking_up), 0);
  const WPARAM abandoned = looking_up->lookup_handle;
  ASSERT_EQ(api_.start(window(), looking_up), 0);
  EXPECT_NE(looking_up->lookup_handle, abandoned);
  EXPECT_NE(looking_up->lookup_handle, 0u);
  answer_next(200 * kMs);
  const size_t calls = host_.calls.size();
  EXPECT_EQ(complete_held_lookups(), 2);
  ASSERT_TRUE(wait_for_end_of(looking_up, 1));
  ASSERT_EQ(host_.calls.size(), calls + 2);
  EXPECT_STREQ(host_.calls[calls].name, "Gethost");
  EXPECT_EQ(host_.calls[calls].result, 0);
  EXPECT_EQ(result_of(looking_up), CHECK_CHANGED);

  // A read notification that reaches a check still looking up its server
  // (queued for a closed socket whose handle the check's socket now has):
  // there is nothing to read yet, and reading must not wait for a datagram.
  CheckItem* early = item("early.example");
  ASSERT_EQ(api_.start(window(), early), 0);
  int select_result = 99;
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread reader([&] {
    select_result = api_.select(window(), early->socket, WSAMAKESELECTREPLY(FD_READ, 0), early);
    SetEvent(done);
  });
  if (WaitForSingleObject(done, 5000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "SNTP_Select waits for a datagram";
    closesocket(static_cast<SOCKET>(early->socket));  // lets the read return
  }
  reader.join();
  CloseHandle(done);
  EXPECT_EQ(select_result, 0);
  // Nor is an error such a notification carries this check's.
  EXPECT_EQ(api_.select(window(), early->socket, WSAMAKESELECTREPLY(FD_READ, WSAECONNRESET), early), 0);
  EXPECT_EQ(early->error_text, nullptr);
  EXPECT_EQ(ends_of(early), 0);
  hold_lookups(false);
  answer_next(100 * kMs);
  complete_held_lookups();
  ASSERT_TRUE(wait_for_end_of(early, 1));
  EXPECT_EQ(result_of(early), CHECK_CHANGED);
}

TEST_F(Misuse, GethostWithAStaleLookupHandle) {
  hold_lookups(true);
  CheckItem* it = item("stale.example");
  ASSERT_EQ(api_.start(window(), it), 0);
  const WPARAM pending = it->lookup_handle;
  const int sent = datagrams_sent();
  // The completion of an earlier lookup, handed over while this one is
  // still pending, is not this one's: it changes nothing.
  EXPECT_EQ(api_.gethost(window(), pending - 1, 0, it), 0);
  EXPECT_EQ(it->error_text, nullptr);
  EXPECT_EQ(it->lookup_handle, pending);
  EXPECT_EQ(datagrams_sent(), sent);
  // The real completion then sends the request.
  EXPECT_EQ(complete_held_lookups(), 1);
  ASSERT_TRUE(wait_for_calls(1));
  EXPECT_EQ(host_.calls[0].result, 0);
  EXPECT_EQ(datagrams_sent(), sent + 1);

  // Once the host has released the check, a completion still queued for it
  // ends nothing.
  EXPECT_EQ(api_.item_check_end(window(), it), 0);
  EXPECT_EQ(api_.gethost(window(), pending, 0, it), 0);
  EXPECT_EQ(ends_of(it), 0);
  EXPECT_EQ(it->error_text, nullptr);
}

TEST_F(Misuse, AMegabyteAddress) {
  // Double-byte characters to the end: the server name is cut to 511 bytes
  // without splitting one.
  const std::string server = megabyte_of("時");
  CheckItem* it = item(server);
  HGLOBAL text = api_.get_item_text(it);
  ASSERT_NE(text, nullptr);
  EXPECT_GE(GlobalSize(text), server.size() + 8);
  EXPECT_EQ(static_cast<const char*>(GlobalLock(text)), "sntp://" + server);
  GlobalUnlock(text);
  hand_over(text);
  GlobalFree(text);

  answer_next(300 * kMs);
  ASSERT_EQ(api_.start(window(), it), 0);
  EXPECT_EQ(looked_up_names().back(), server.substr(0, 510));
  ASSERT_TRUE(wait_for_end_of(it, 1));
  EXPECT_EQ(result_of(it), CHECK_CHANGED);
  EXPECT_EQ(api_.item_check_end(window(), it), 0);

  SheetRun run = property(it, [&](HWND sheet) {
    EXPECT_EQ(text_of(show_page(sheet, kGeneral), IDC_SERVER), server.substr(0, 510));
    press(sheet, PSBTN_CANCEL);
  });
  EXPECT_TRUE(run.sheet_shown);
  EXPECT_EQ(item_text(it->address), "sntp://" + server);
}

TEST_F(Misuse, AHostVersionTextFillingAllThirtyTwoBytes) {
  // The host writes 32 bytes and no terminating zero; the plug-in reads
  // only those. Spaces to the end leave no build number within them.
  const std::string texts[] = {"1.0.3" + std::string(27, ' '), "1.0.2" + std::string(27, '9'),
                               "1.0.3 build" + std::string(21, '7'), std::string(32, '1')};
  for (const std::string& version : texts) {
    ASSERT_EQ(version.size(), 32u);
    host_.version_text = version;
    const bool lines = host_keeps_comment_lines(parse_host_version(version.data(), version.size()));
    SheetRun run = property([&](HWND sheet) {
      const LONG styles = ES_MULTILINE | ES_WANTRETURN;
      EXPECT_EQ(style_of(show_page(sheet, kGeneral), IDC_COMMENT) & styles, lines ? styles : 0) << version;
      press(sheet, PSBTN_CANCEL);
    });
    EXPECT_TRUE(run.sheet_shown);
  }
  EXPECT_TRUE(host_keeps_comment_lines(parse_host_version(texts[0].data(), 32)));
  EXPECT_FALSE(host_keeps_comment_lines(parse_host_version(texts[3].data(), 32)));
}

TEST_F(Misuse, MegabyteOptionTexts) {
  const std::string port = std::to_string(responder_.port());
  const std::string nines(kFieldSize - 1, '9'), sevens(kFieldSize - 1, '7');
  const struct {
    const char* name;
    std::string options;
    bool answered;  // the request goes to the scripted server
  } cases[] = {
      {"fields after the fourth", port + ";1;30000;0;" + megabyte_of("12345;"), true},
      {"a megabyte-long threshold", port + ";0;" + megabyte_of("9") + ";1;", true},
      {"a megabyte-long port", megabyte_of("7"), false},
      {"separators only", megabyte_of(";"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ItemOptions options = parse_option_string(c.options.c_str());
    const uint16_t expected_port = options.port != 0 ? options.port : 123;
    CheckItem* it = item("127.0.0.1", c.options);
    set_item_text(&it->offset_text, "+1 msec");
    if (c.answered) answer_next(300 * kMs);
    const int changes = clock_changes();
    ASSERT_EQ(api_.start(window(), it), 0);
    EXPECT_EQ(last_destination_port(), expected_port);
    if (c.answered) {
      // The check moves the clock only as the options read from the text say.
      ASSERT_TRUE(wait_for_end_of(it, 1));
      const bool move =
          decide_move(300 * kMs, options.skip_small_offsets, options.sync_threshold_ms, "+1 msec") ==
          ClockAction::kMove;
      EXPECT_EQ(clock_changes() - changes, move ? 1 : 0);
      EXPECT_EQ(result_of(it), move && options.quiet_update == 0 ? CHECK_CHANGED : CHECK_OK_QUIET);
    }
    EXPECT_EQ(api_.item_check_end(window(), it), 0);

    // The sheet shows the same values and writes them back as a short text.
    SheetRun run = property(it, [&](HWND sheet) {
      EXPECT_EQ(text_of(show_page(sheet, kGeneral), IDC_PORT), std::to_string(expected_port));
      HWND page = show_page(sheet, kOptions);
      EXPECT_EQ(IsDlgButtonChecked(page, IDC_SKIP_SMALL_OFFSETS) == BST_CHECKED, options.skip_small_offsets != 0);
      EXPECT_EQ(IsDlgButtonChecked(page, IDC_QUIET_UPDATE) == BST_CHECKED, options.quiet_update != 0);
      press(sheet, PSBTN_OK);
    });
    EXPECT_EQ(run.result, 0);
    ASSERT_NE(it->options, nullptr);
    EXPECT_LT(std::strlen(it->options), kOptionStringSize);
    const ItemOptions back = parse_option_string(it->options);
    EXPECT_EQ(back.port, expected_port);
    EXPECT_EQ(back.skip_small_offsets != 0, options.skip_small_offsets != 0);
    EXPECT_EQ(back.quiet_update != 0, options.quiet_update != 0);
  }
}

TEST_F(Misuse, MegabyteServerInformationTexts) {
  // Field 0 of the last case: 511 fives, read as atoi reads them (wrapping).
  const uint8_t wrapped = static_cast<uint8_t>(read_atoi(std::string(kFieldSize - 1, '5').c_str()));
  const struct {
    std::string server_info;
    std::string version, stratum, poll, precision, reference;
  } cases[] = {
      {"36;2;6;-20;0;0;" + megabyte_of("1.2.3.4."), "4", "2", "64 sec", "953 nsec", "1.2.3.4"},
      {megabyte_of("9;"), "1", "9", "512 sec", kUnknown, "57.0.0.0"},
      {megabyte_of("5"), std::to_string((wrapped >> 3) & 7), kUnknown, "1 sec", kUnknown, kUnknown},
      {megabyte_of(";"), "0", kUnknown, "1 sec", kUnknown, kUnknown},
  };
  for (const auto& c : cases) {
    set_item_text(&item_->server_info, c.server_info.c_str());
    SheetRun run = property([&](HWND sheet) {
      HWND page = show_page(sheet, kInfo);
      EXPECT_EQ(text_of(page, IDC_INFO_VERSION), c.version);
      EXPECT_EQ(text_of(page, IDC_INFO_STRATUM), c.stratum);
      EXPECT_EQ(text_of(page, IDC_INFO_POLL), c.poll);
      EXPECT_EQ(text_of(page, IDC_INFO_PRECISION), c.precision);
      EXPECT_EQ(text_of(page, IDC_INFO_REFERENCE_ID), c.reference);
      press(sheet, PSBTN_CANCEL);
    });
    EXPECT_TRUE(run.sheet_shown);
  }
}

TEST_F(Misuse, NoItemAtAll) {
  EXPECT_EQ(api_.initialize(window(), nullptr), 0);
  EXPECT_EQ(api_.init_item(window(), nullptr), 0);
  EXPECT_EQ(api_.start(window(), nullptr), -1);
  EXPECT_EQ(api_.gethost(window(), 0, 0, nullptr), -1);
  EXPECT_EQ(api_.select(window(), 0, WSAMAKESELECTREPLY(FD_READ, 0), nullptr), -1);
  EXPECT_EQ(api_.timer(window(), nullptr), 0);
  EXPECT_EQ(api_.item_check_end(window(), nullptr), 0);
  EXPECT_EQ(api_.property(window(), nullptr), -1);
  EXPECT_EQ(api_.exec_item(window(), "open", nullptr), -1);
  HGLOBAL text = api_.get_item_text(nullptr);
  ASSERT_NE(text, nullptr);
  hand_over(text);
  GlobalFree(text);
  EXPECT_TRUE(host_.check_ends.empty());
  EXPECT_EQ(plugin_sockets(), sockets_at_start_);
}

}  // namespace

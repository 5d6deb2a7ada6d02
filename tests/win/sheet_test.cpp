// The General and Options pages through the real sntp.dll: SNTP_Property and
// SNTP_ExecItem show the sheet over the host window, a script plays the user,
// and the item's texts tell what was stored.
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "check/probe_state.h"
#include "filetime_units.h"
#include "reply_datagram.h"
#include "resource.h"
#include "sheet_driver.h"

namespace {

constexpr int kGeneral = 0, kOptions = 1;

std::string tab_label(HWND sheet, int index) {
  HWND tabs = reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETTABCONTROL, 0, 0));
  char text[64] = {};
  TCITEMA tab{};
  tab.mask = TCIF_TEXT;
  tab.pszText = text;
  tab.cchTextMax = sizeof text;
  SendMessageA(tabs, TCM_GETITEMA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&tab));
  return text;
}

TEST_F(SheetTest, ShowsTheItemAndStoresItOnOk) {
  set_item_text(&item_->title, "時計");
  set_item_text(&item_->address, "SNTP://ntp.example.jp/path");
  set_item_text(&item_->options, "-25536;0;0;1;");
  set_item_text(&item_->comment, "メモ");
  set_item_text(&item_->error_text, "");
  SheetRun run = property([](HWND sheet) {
    EXPECT_EQ(window_text(sheet), "時計のプロパティ");
    EXPECT_EQ(tab_label(sheet, 0), "全般");
    EXPECT_EQ(tab_label(sheet, 1), "オプション");
    EXPECT_EQ(tab_label(sheet, 2), "情報");
    HWND page = show_page(sheet, kGeneral);
    EXPECT_EQ(text_of(page, IDC_TITLE), "時計");
    EXPECT_EQ(text_of(page, IDC_SERVER), "ntp.example.jp");
    EXPECT_EQ(text_of(page, IDC_PORT), "40000");
    EXPECT_EQ(text_of(page, IDC_COMMENT), "メモ");
    EXPECT_EQ(text_of(page, IDC_ERROR_TEXT), "エラーはありません");
    press(sheet, PSBTN_OK);
  });
  EXPECT_TRUE(run.sheet_shown);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(item_text(item_->title), "時計");
  EXPECT_EQ(item_text(item_->address), "sntp://ntp.example.jp");
  EXPECT_EQ(item_text(item_->options), "-25536;0;0;1;");
  EXPECT_EQ(item_text(item_->comment), "メモ");
}

TEST_F(SheetTest, ItemWithoutTextsGetsTheDefaults) {
  // Options are written on OK even when their page was never shown.
  SheetRun run = property([](HWND sheet) {
    EXPECT_EQ(window_text(sheet), "新しいアイテムのプロパティ");
    HWND page = show_page(sheet, kGeneral);
    EXPECT_EQ(text_of(page, IDC_TITLE), "新しいアイテム");
    EXPECT_EQ(text_of(page, IDC_SERVER), "");
    EXPECT_EQ(text_of(page, IDC_PORT), std::to_string(services_port_or_123()));
    EXPECT_EQ(text_of(page, IDC_COMMENT), "");
    press(sheet, PSBTN_OK);
  });
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(item_text(item_->title), "新しいアイテム");
  EXPECT_EQ(item_text(item_->address), "sntp://");
  EXPECT_EQ(item_->comment, nullptr);
  EXPECT_EQ(item_text(item_->options), std::to_string(services_port_or_123()) + ";0;0;0;");

  // An empty title is a title: the caption has nothing before its suffix,
  // and OK stores no title at all.
  set_item_text(&item_->title, "");
  run = property([](HWND sheet) {
    EXPECT_EQ(window_text(sheet), "のプロパティ");
    EXPECT_EQ(text_of(show_page(sheet, kGeneral), IDC_TITLE), "");
    press(sheet, PSBTN_OK);
  });
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(item_->title, nullptr);
}

TEST_F(SheetTest, PortsAndServersAreStoredAsTyped) {
  const struct {
    const char* address;  // before
    const char* server;   // typed, or null to leave the edit alone
    const char* port;
    const char* stored_address;
    const char* stored_options;
  } cases[] = {
      {"ntp.example.jp", nullptr, "40000", "sntp://ntp.example.jp", "-25536;0;0;0;"},
      {"sntp://a.example/p", "b.example/q", "70000", "sntp://b.example/q", "4464;0;0;0;"},
      {"sntp://a.example", "", "", "sntp://", "0;0;0;0;"},
      {"sntp://a.example", "時刻.example:11123", "abc", "sntp://時刻.example:11123", "0;0;0;0;"},
      {"sntp://a.example", nullptr, "65535", "sntp://a.example", "-1;0;0;0;"},
      // Blanks pasted around the server (tabs, spaces, ideographic spaces) are dropped.
      {"sntp://a.example", "\t ntp.example.jp　", "123", "sntp://ntp.example.jp", "123;0;0;0;"},
  };
  for (const auto& c : cases) {
    set_item_text(&item_->address, c.address);
    set_item_text(&item_->options, "123;0;0;0;");
    SheetRun run = property([&](HWND sheet) {
      HWND page = show_page(sheet, kGeneral);
      if (c.server != nullptr) type(page, IDC_SERVER, c.server);
      type(page, IDC_PORT, c.port);
      press(sheet, PSBTN_OK);
    });
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(item_text(item_->address), c.stored_address) << c.address;
    EXPECT_EQ(item_text(item_->options), c.stored_options) << c.port;
  }
}

TEST_F(SheetTest, CancelOrClosingTheSheetStoresNothing) {
  for (char** field : {&item_->title, &item_->address, &item_->comment}) set_item_text(field, "タイトル");
  set_item_text(&item_->options, "8123;0;700;0;");
  char* before[] = {item_->title, item_->address, item_->options, item_->comment};
  for (bool by_frame : {false, true}) {
    SheetRun run = property([&](HWND sheet) {
      HWND page = show_page(sheet, kGeneral);
      for (int id : {IDC_TITLE, IDC_SERVER, IDC_PORT, IDC_COMMENT}) type(page, id, "999");
      page = show_page(sheet, kOptions);
      click(page, IDC_SKIP_SMALL_OFFSETS);
      type(page, IDC_THRESHOLD, "20");
      click(page, IDC_QUIET_UPDATE);
      if (by_frame) SendMessageA(sheet, WM_SYSCOMMAND, SC_CLOSE, 0);
      else press(sheet, PSBTN_CANCEL);
    });
    EXPECT_TRUE(run.sheet_shown);
    EXPECT_EQ(run.result, -1);
    char* after[] = {item_->title, item_->address, item_->options, item_->comment};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(after[i], before[i]) << "field " << i << " was replaced";
    EXPECT_EQ(item_text(item_->options), "8123;0;700;0;");
    EXPECT_EQ(item_text(item_->title), "タイトル");
  }
}

TEST_F(SheetTest, ExecItemOpensTheSheetOnlyForOpen) {
  for (const char* command : {"Open", "OPEN", "open ", ""}) {
    SheetRun run = exec(command, [](HWND sheet) { press(sheet, PSBTN_OK); });
    EXPECT_EQ(run.result, 1) << command;
    EXPECT_FALSE(run.sheet_shown) << command;
  }
  EXPECT_EQ(item_->options, nullptr);
  SheetRun run = exec("open", [](HWND sheet) { press(sheet, PSBTN_CANCEL); });
  EXPECT_TRUE(run.sheet_shown);
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(item_->options, nullptr);
  run = exec("open", [](HWND sheet) { press(sheet, PSBTN_OK); });
  EXPECT_TRUE(run.sheet_shown);
  EXPECT_EQ(run.result, 1);
  EXPECT_NE(item_->options, nullptr);
}

// The threshold serves skipping small offsets and measuring only; while
// neither is on, its edit and its arrows are both disabled, so the arrows
// cannot change a threshold that cannot be entered.
TEST_F(SheetTest, TheThresholdAndItsArrowsAreEnabledOnlyWhileAnOptionUsesThem) {
  set_item_text(&item_->options, "0;0;250;0;");
  SheetRun run = property([](HWND sheet) {
    HWND page = show_page(sheet, kOptions);
    auto expect_enabled = [page](bool enabled, const char* when) {
      EXPECT_EQ(is_enabled(page, IDC_THRESHOLD), enabled) << when;
      EXPECT_EQ(is_enabled(page, IDC_THRESHOLD_SPIN), enabled) << when;
    };
    expect_enabled(false, "both boxes off when the page opens");
    click_arrow(page, IDC_THRESHOLD_SPIN, true);
    EXPECT_EQ(text_of(page, IDC_THRESHOLD), "250");
    click(page, IDC_SKIP_SMALL_OFFSETS);
    expect_enabled(true, "skipping on");
    click(page, IDC_MEASURE_ONLY);
    click(page, IDC_SKIP_SMALL_OFFSETS);
    expect_enabled(true, "measuring only on");
    click(page, IDC_MEASURE_ONLY);
    expect_enabled(false, "both boxes off again");
    click(page, IDC_QUIET_UPDATE);
    press(sheet, PSBTN_OK);
  });
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(item_text(item_->options), "123;0;250;1;");
}

// Measuring only is a fifth option, stored only while it is on; its
// threshold is the alert's, so the edit serves it too. It never changes the
// clock, so the quiet box is disabled meanwhile, keeping its state.
TEST_F(SheetTest, MeasuringOnlyIsStoredAsAFifthOptionAndEnablesTheThreshold) {
  set_item_text(&item_->options, "123;0;250;1;1;");
  SheetRun run = property([](HWND sheet) {
    HWND page = show_page(sheet, kOptions);
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_MEASURE_ONLY), BST_CHECKED);
    EXPECT_TRUE(is_enabled(page, IDC_THRESHOLD)) << "skipping is off, yet the threshold serves the alert";
    EXPECT_TRUE(is_enabled(page, IDC_THRESHOLD_SPIN));
    EXPECT_FALSE(is_enabled(page, IDC_QUIET_UPDATE));
    click(page, IDC_MEASURE_ONLY);
    EXPECT_FALSE(is_enabled(page, IDC_THRESHOLD));
    EXPECT_TRUE(is_enabled(page, IDC_QUIET_UPDATE));
    click(page, IDC_MEASURE_ONLY);
    EXPECT_TRUE(is_enabled(page, IDC_THRESHOLD));
    EXPECT_FALSE(is_enabled(page, IDC_QUIET_UPDATE));
    press(sheet, PSBTN_OK);
  });
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(item_text(item_->options), "123;0;250;1;1;");
  // Turned off, the option text has its four fields again.
  run = property([](HWND sheet) {
    click(show_page(sheet, kOptions), IDC_MEASURE_ONLY);
    press(sheet, PSBTN_OK);
  });
  EXPECT_EQ(item_text(item_->options), "123;0;250;1;");
}

TEST_F(SheetTest, ThresholdKeepsTheLastPositionWhenTheTypedTextIsNoPosition) {
  const struct {
    const char* options;
    const char* shown;
    int arrow_clicks;
    const char* typed;  // null: leave the edit alone
    const char* stored;
  } cases[] = {
      {"123;1;1500;0;", "1,500", 0, "30001", "123;1;1500;0;"},
      {"123;1;1500;0;", "1,500", 1, "abc", "123;1;1501;0;"},
      {"123;1;1500;0;", "1,500", 0, "29999", "123;1;29999;0;"},
      // A stored threshold outside the control's range is shown as it is and
      // kept unless the user enters a number within the range or moves the
      // control.
      {"123;1;66036;0;", "66036", 0, nullptr, "123;1;66036;0;"},
      {"123;1;-5;0;", "-5", 0, nullptr, "123;1;-5;0;"},
      {"123;1;40000;0;", "40000", 0, "50000", "123;1;40000;0;"},
      {"123;1;40000;0;", "40000", 0, "20000", "123;1;20000;0;"},
      {"123;1;40000;0;", "40000", 0, "30000", "123;1;30000;0;"},  // the end the control was put at
      {"123;1;30000;0;", "30,000", 1, nullptr, "123;1;30000;0;"},  // the range ends at 30000
  };
  for (const auto& c : cases) {
    set_item_text(&item_->options, c.options);
    SheetRun run = property([&](HWND sheet) {
      HWND page = show_page(sheet, kOptions);
      EXPECT_EQ(IsDlgButtonChecked(page, IDC_SKIP_SMALL_OFFSETS), BST_CHECKED);
      EXPECT_TRUE(is_enabled(page, IDC_THRESHOLD));
      EXPECT_EQ(text_of(page, IDC_THRESHOLD), c.shown) << c.options;
      for (int i = 0; i < c.arrow_clicks; ++i) click_arrow(page, IDC_THRESHOLD_SPIN, true);
      if (c.typed != nullptr) type(page, IDC_THRESHOLD, c.typed);
      press(sheet, PSBTN_OK);
    });
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(item_text(item_->options), c.stored) << c.options << " typed " << (c.typed ? c.typed : "nothing");
  }
}

TEST_F(SheetTest, OlderHostsGetTheCommentOnOneLine) {
  const std::string typed = "一行目\r\n二行目\tです";
  const struct {
    bool answers;
    std::string version;
    bool lines;
  } hosts[] = {
      {false, "", false},
      {true, "1.0.2", false},
      {true, "1.0.3 build 7", false},
      {true, "1.0.3", true},
      {true, "2.0.0", true},
      {true, "1.0.3 " + std::string(26, 'x'), true},  // fills all 32 bytes, no terminating zero
  };
  for (const auto& host : hosts) {
    host_.answer_version = host.answers;
    host_.version_text = host.version;
    set_item_text(&item_->comment, nullptr);
    SheetRun run = property([&](HWND sheet) {
      HWND page = show_page(sheet, kGeneral);
      const LONG lines = ES_MULTILINE | ES_WANTRETURN;
      EXPECT_EQ(style_of(page, IDC_COMMENT) & lines, host.lines ? lines : 0) << host.version;
      type(page, IDC_COMMENT, typed);
      press(sheet, PSBTN_OK);
    });
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(item_text(item_->comment), host.lines ? typed : "一行目  二行目 です") << host.version;
  }
  // An empty comment stays null with an older host too.
  host_.version_text = "1.0.2";
  property([](HWND sheet) {
    type(show_page(sheet, kGeneral), IDC_COMMENT, "");
    press(sheet, PSBTN_OK);
  });
  EXPECT_EQ(item_->comment, nullptr);
}

// A check's working record is the item's `probe`; the sheet keeps its own
// apart, so a check may start or end while the sheet is open.
TEST_F(SheetTest, TheSheetNeverTouchesTheRecordOfARunningCheck) {
  auto* check = static_cast<ProbeState*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, sizeof(ProbeState)));
  ASSERT_NE(check, nullptr);
  lstrcpyA(check->server_name, "check.example");
  check->options.port = 4321;
  check->options.sync_threshold_ms = 999;
  const ProbeState snapshot = *check;
  set_item_text(&item_->address, "sntp://sheet.example");
  set_item_text(&item_->options, "8123;1;700;0;");
  for (bool check_starts_while_open : {false, true}) {
    item_->probe = check_starts_while_open ? nullptr : check;
    SheetRun run = property([&](HWND sheet) {
      HWND page = show_page(sheet, kGeneral);
      EXPECT_EQ(text_of(page, IDC_SERVER), "sheet.example");  // from the item's texts, not the check's record
      EXPECT_EQ(text_of(page, IDC_PORT), "8123");
      item_->probe = check;
      EXPECT_EQ(text_of(show_page(sheet, kOptions), IDC_THRESHOLD), "700");
      press(sheet, PSBTN_OK);
    });
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(item_->probe, check) << "the check lost its record";
    EXPECT_EQ(item_text(item_->options), "8123;1;700;0;");
    EXPECT_EQ(0, std::memcmp(check, &snapshot, sizeof snapshot)) << "the check's record was written";
  }
  item_->probe = nullptr;
  EXPECT_EQ(GlobalFree(check), nullptr) << "the check's record was freed by the sheet";
}

// The host checks the item while its sheet is open: the check hangs its own
// record on `probe`, runs to MSG_CHECK_END and is ended; OK then stores the
// sheet's values, and each side kept to its own record.
TEST_F(SheetTest, AWholeCheckRunsWhileTheSheetIsOpen) {
  const uint64_t now = real_now();  // the server's time: the offset is tiny
  responder_.answer_next({Datagram{reply_datagram(now, now)}});
  set_item_text(&item_->title, "時計");
  set_item_text(&item_->address, "sntp://127.0.0.1");
  set_item_text(&item_->options, option_text(responder_.port()).c_str());
  host_.items.push_back(item_);

  ProbeState* check_record = nullptr;
  SheetRun run = property([&](HWND sheet) {
    type(show_page(sheet, kGeneral), IDC_TITLE, "編集した時計");
    ASSERT_EQ(api_.start(host_.window, item_), 0);
    check_record = item_->probe;
    EXPECT_NE(check_record, nullptr);
    EXPECT_TRUE(pump_messages_until([&] { return !host_.check_ends.empty(); }, 5000)) << "no MSG_CHECK_END";
    EXPECT_EQ(item_->probe, check_record) << "the check's record changed while the sheet was open";
    EXPECT_EQ(api_.item_check_end(host_.window, item_), 0);
    EXPECT_EQ(item_->probe, nullptr);
    click(show_page(sheet, kOptions), IDC_SKIP_SMALL_OFFSETS);
    press(sheet, PSBTN_OK);
  });
  host_.items.clear();
  EXPECT_EQ(run.result, 0);
  ASSERT_EQ(host_.check_ends.size(), 1u);
  EXPECT_EQ(host_.check_ends[0].result, 1u) << item_text(item_->error_text);
  EXPECT_EQ(item_text(item_->title), "編集した時計");
  // The port is stored as the signed 16-bit number its bits make.
  EXPECT_EQ(item_text(item_->options), std::to_string(static_cast<int16_t>(responder_.port())) + ";1;0;0;");
  EXPECT_FALSE(item_text(item_->offset_text).empty()) << "the check's texts stay";
  EXPECT_NE(item_->server_info, nullptr);
  EXPECT_EQ(item_->socket, kNoSocket);
}

// Global-heap blocks of one size fail inside the DLL (fail_alloc_size).
class ShortOfMemory : public SheetTest {};

TEST_F(ShortOfMemory, WithoutAWorkingRecordNoSheetOpens) {
  fail_alloc_size(sizeof(ProbeState));
  set_item_text(&item_->options, "8123;0;0;0;");
  SheetRun run = property([](HWND sheet) { press(sheet, PSBTN_OK); });
  EXPECT_FALSE(run.sheet_shown);
  EXPECT_EQ(run.result, -1);
  run = exec("open", [](HWND sheet) { press(sheet, PSBTN_OK); });
  EXPECT_FALSE(run.sheet_shown);
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(item_text(item_->options), "8123;0;0;0;");
}

TEST_F(ShortOfMemory, TextsThatCannotBeAllocatedKeepTheirSettings) {
  set_item_text(&item_->title, "old title");
  set_item_text(&item_->address, "sntp://old.example");
  set_item_text(&item_->options, "8123;1;700;0;");
  set_item_text(&item_->comment, "old comment");
  const std::string server(200, 's');  // the address block is "sntp://" + 200 + 1 bytes
  fail_alloc_size(7 + server.size() + 1);
  SheetRun run = property([&](HWND sheet) {
    HWND page = show_page(sheet, kGeneral);
    type(page, IDC_SERVER, server);
    type(page, IDC_PORT, "9000");
    type(page, IDC_COMMENT, "new comment");
    press(sheet, PSBTN_OK);
  });
  // The item changes as a whole or not at all, and a cancel is reported.
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(item_text(item_->address), "sntp://old.example");
  EXPECT_EQ(item_text(item_->title), "old title");
  EXPECT_EQ(item_text(item_->comment), "old comment");
  EXPECT_EQ(item_text(item_->options), "8123;1;700;0;");

  // The option text's block (100 bytes), then the comment's. Without the
  // option text's block no sheet opens, so nothing of the item changes.
  for (SIZE_T size : {SIZE_T{100}, SIZE_T{sizeof "newer comment"}}) {
    fail_alloc_size(size);
    run = property([](HWND sheet) {
      HWND page = show_page(sheet, kGeneral);
      type(page, IDC_PORT, "9001");
      type(page, IDC_COMMENT, "newer comment");
      press(sheet, PSBTN_OK);
    });
    EXPECT_EQ(run.sheet_shown, size != 100);
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(item_text(item_->options), "8123;1;700;0;");
    EXPECT_EQ(item_text(item_->comment), "old comment");
  }
}

TEST_F(SheetTest, ASheetMissingAPageIsNotShown) {
  set_item_text(&item_->title, "t");
  fail_pages_after(1);
  SheetRun run = property([](HWND sheet) { press(sheet, PSBTN_OK); });
  EXPECT_FALSE(run.sheet_shown);
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(item_text(item_->title), "t");
  EXPECT_EQ(item_->options, nullptr);
}

}  // namespace

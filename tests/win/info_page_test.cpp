// The Information page through the real sntp.dll: what it shows for the
// server information a check stored in the item.
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "resource.h"
#include "sheet_driver.h"

namespace {

constexpr int kInfo = 2;
const char kUnknown[] = "不明";

struct Shown {
  std::string version, stratum, poll, precision, reference;
};

class InfoPage : public SheetTest {
 protected:
  Shown open_info_page() {
    Shown shown;
    SheetRun run = property([&](HWND sheet) {
      HWND page = show_page(sheet, kInfo);
      shown = {text_of(page, IDC_INFO_VERSION), text_of(page, IDC_INFO_STRATUM), text_of(page, IDC_INFO_POLL),
               text_of(page, IDC_INFO_PRECISION), text_of(page, IDC_INFO_REFERENCE_ID)};
      press(sheet, PSBTN_CANCEL);
    });
    EXPECT_TRUE(run.sheet_shown);
    return shown;
  }
};

TEST_F(InfoPage, ShowsWhatTheServerSaid) {
  const struct {
    const char* server_info;
    Shown shown;
  } rows[] = {
      {"36;2;6;-6;0;0;10.1.2.3", {"4", "2", "64 sec", "15 msec", "10.1.2.3"}},
      {"12;1;0;-10;0;0;71.80.83.0", {"1", "1", "1 sec", "976 μsec", "GPS"}},
      {"228;1;-3;-20;0;0;71.80.0.83", {"4", "1", "125 msec", "953 nsec", "GP"}},
      {"36;1;-10;-29;7;9;GPS", {"4", "1", "0 msec", "1 nsec", "GPS"}},
      {"36;0;-31;-9;0;0;1.2.3.4", {"4", kUnknown, "0 msec", "1 msec", kUnknown}},  // stratum 0
      {"36;255;30;-30;0;0;127.127.1.1", {"4", "255", "1073741824 sec", kUnknown, "127.127.1.1"}},
      {"36;3;31;0;0;0;1.2.3.4", {"4", "3", kUnknown, kUnknown, "1.2.3.4"}},
      {"36;3;-32;3;0;0;1.2.3.4", {"4", "3", kUnknown, kUnknown, "1.2.3.4"}},
  };
  for (const auto& row : rows) {
    set_item_text(&item_->server_info, row.server_info);
    Shown shown = open_info_page();
    EXPECT_EQ(shown.version, row.shown.version) << row.server_info;
    EXPECT_EQ(shown.stratum, row.shown.stratum) << row.server_info;
    EXPECT_EQ(shown.poll, row.shown.poll) << row.server_info;
    EXPECT_EQ(shown.precision, row.shown.precision) << row.server_info;
    EXPECT_EQ(shown.reference, row.shown.reference) << row.server_info;
  }
}

TEST_F(InfoPage, ShowsNothingAfterAFailedCheckOrBeforeAnyReply) {
  auto expect_unknown = [&](const Shown& s) {
    for (const std::string& text : {s.version, s.stratum, s.poll, s.precision, s.reference}) {
      EXPECT_EQ(text, kUnknown);
    }
  };
  expect_unknown(open_info_page());
  set_item_text(&item_->server_info, "36;2;6;-6;0;0;10.1.2.3");
  set_item_text(&item_->error_text, "タイムアウトしました");
  expect_unknown(open_info_page());
  // The General page shows that error; the Information page never writes.
  SheetRun run = property([](HWND sheet) {
    EXPECT_EQ(text_of(show_page(sheet, 0), IDC_ERROR_TEXT), "タイムアウトしました");
    show_page(sheet, kInfo);
    press(sheet, PSBTN_OK);
  });
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(item_text(item_->server_info), "36;2;6;-6;0;0;10.1.2.3");
  EXPECT_EQ(item_text(item_->error_text), "タイムアウトしました");
}

}  // namespace

// The General and Options pages through the real sntp.dll: SNTP_Property and
// SNTP_ExecItem show the sheet over the host window, a script plays the user,
// and the item's texts tell what was stored.
#include <windows.h>
#include <winsock.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

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

[[maybe_unused]] uint16_t services_port_or_123() {
  const servent* entry = getservbyname("sntp", "udp");
  return entry ? ntohs(static_cast<u_short>(entry->s_port)) : 123;
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

}  // namespace

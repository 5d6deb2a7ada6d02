#include "sheet_driver.h"

#include <commctrl.h>

#include <vector>

namespace {

struct Pending {
  HWND owner;
  const std::function<void(HWND)>* script;
  bool ran;
  DWORD start;
};
Pending* g_pending = nullptr;

void CALLBACK on_tick(HWND, UINT, UINT_PTR, DWORD) {
  if (g_pending == nullptr) return;
  HWND sheet = find_property_sheet(g_pending->owner);
  if (sheet == nullptr) return;
  if (!g_pending->ran) {
    g_pending->ran = true;
    (*g_pending->script)(sheet);
  } else if (GetTickCount() - g_pending->start > 10000) {
    ADD_FAILURE() << "the script left the sheet open";
    press(sheet, PSBTN_CANCEL);
  }
}

}  // namespace

SheetRun run_sheet(HWND owner, const std::function<int()>& open, const std::function<void(HWND)>& script) {
  Pending pending{owner, &script, false, GetTickCount()};
  g_pending = &pending;
  UINT_PTR timer = SetTimer(nullptr, 0, 10, on_tick);
  SheetRun run;
  run.result = open();
  KillTimer(nullptr, timer);
  g_pending = nullptr;
  run.sheet_shown = pending.ran;
  EXPECT_EQ(find_property_sheet(owner), nullptr) << "the sheet outlived the call";
  return run;
}

HWND show_page(HWND sheet, int index) {
  SendMessageA(sheet, PSM_SETCURSEL, static_cast<WPARAM>(index), 0);
  return reinterpret_cast<HWND>(SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
}

void press(HWND sheet, int button) { SendMessageA(sheet, PSM_PRESSBUTTON, static_cast<WPARAM>(button), 0); }

std::string window_text(HWND window) {
  std::vector<char> buffer(static_cast<size_t>(GetWindowTextLengthA(window)) + 1);
  int n = GetWindowTextA(window, buffer.data(), static_cast<int>(buffer.size()));
  return std::string(buffer.data(), static_cast<size_t>(n));
}

std::string text_of(HWND page, int id) { return window_text(GetDlgItem(page, id)); }

void type(HWND page, int id, const std::string& cp932) { SetDlgItemTextA(page, id, cp932.c_str()); }

void click(HWND page, int id) { SendDlgItemMessageA(page, id, BM_CLICK, 0, 0); }

void click_arrow(HWND page, int id, bool up) {
  HWND arrows = GetDlgItem(page, id);
  RECT r;
  GetClientRect(arrows, &r);
  LPARAM at = MAKELPARAM((r.right - r.left) / 2, up ? r.bottom / 4 : r.bottom * 3 / 4);
  SendMessageA(arrows, WM_LBUTTONDOWN, MK_LBUTTON, at);
  SendMessageA(arrows, WM_LBUTTONUP, 0, at);
}

bool is_enabled(HWND page, int id) { return IsWindowEnabled(GetDlgItem(page, id)) != FALSE; }

LONG style_of(HWND page, int id) { return GetWindowLongA(GetDlgItem(page, id), GWL_STYLE); }

void SheetTest::SetUp() {
  PluginTest::SetUp();
  item_ = new_item();
}

void SheetTest::TearDown() {
  EXPECT_EQ(item_->probe, nullptr) << "the sheet must not leave a record on the item";
  free_watched_item(item_);
  PluginTest::TearDown();
}

SheetRun SheetTest::property(CheckItem* it, const std::function<void(HWND)>& script) {
  return run_sheet(host_.window, [&] { return api_.property(host_.window, it); }, script);
}

SheetRun SheetTest::exec(const char* command, const std::function<void(HWND)>& script) {
  return run_sheet(host_.window, [&] { return api_.exec_item(host_.window, command, item_); }, script);
}

// Drives the plug-in's modal property sheet as a user would, from inside the
// sheet's own message loop: a timer finds the sheet over the host window and
// runs a script that reads controls, types, ticks, switches pages and
// finally presses OK or Cancel.
#pragma once

#include "plugin_test.h"

#include <functional>
#include <string>

struct SheetRun {
  int result = 0;           // what the call that showed the sheet returned
  bool sheet_shown = false;  // the script found a sheet and ran
};

// Calls `open` (SNTP_Property or SNTP_ExecItem through the host's pointers);
// once the sheet appears over `owner`, runs `script` on it. A sheet still open
// ten seconds later is cancelled and the test fails.
SheetRun run_sheet(HWND owner, const std::function<int()>& open, const std::function<void(HWND sheet)>& script);

// Selects page `index` (PSM_SETCURSEL) and returns its dialog.
HWND show_page(HWND sheet, int index);
// PSM_PRESSBUTTON with PSBTN_OK or PSBTN_CANCEL.
void press(HWND sheet, int button);

// A control's or window's text, in code page 932.
std::string text_of(HWND page, int id);
std::string window_text(HWND window);
// Replaces an edit's text, as typing over it does.
void type(HWND page, int id, const std::string& cp932);
// Clicks a button (a check box toggles and tells its page).
void click(HWND page, int id);
// Clicks the upper or lower arrow of an up-down control.
void click_arrow(HWND page, int id, bool up);
bool is_enabled(HWND page, int id);
LONG style_of(HWND page, int id);

// The host's fixture (its window answers "1.0.3" unless a test says
// otherwise) with a fresh item per test whose sheet the test opens.
class SheetTest : public PluginTest {
 public:
  void SetUp() override;
  void TearDown() override;

  // Opens the sheet of `it` (by default the test's item) with SNTP_Property
  // and runs `script` on it.
  SheetRun property(const std::function<void(HWND sheet)>& script) { return property(item_, script); }
  SheetRun property(CheckItem* it, const std::function<void(HWND sheet)>& script);
  // The same through SNTP_ExecItem with `command`.
  SheetRun exec(const char* command, const std::function<void(HWND sheet)>& script);

  CheckItem* item_ = nullptr;
};

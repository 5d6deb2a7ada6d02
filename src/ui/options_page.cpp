// The Options page: when to leave the clock alone, and whether a change is
// announced.
#include "ui/sheet.h"

#include <commctrl.h>

#include "resource.h"

namespace {

constexpr int kMaxThresholdMs = 30000;

void enable_threshold(HWND dialog, bool enabled) { EnableWindow(GetDlgItem(dialog, IDC_THRESHOLD), enabled); }

int checked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED ? 1 : 0; }

}  // namespace

void fill_options_page(HWND dialog, const SheetContext& sheet) {
  const ProbeState* probe = sheet.probe;
  SendDlgItemMessageA(dialog, IDC_THRESHOLD_SPIN, UDM_SETRANGE, 0, MAKELPARAM(kMaxThresholdMs, 0));
  CheckDlgButton(dialog, IDC_SKIP_SMALL_OFFSETS, probe->options.skip_small_offsets != 0 ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(dialog, IDC_QUIET_UPDATE, probe->options.quiet_update != 0 ? BST_CHECKED : BST_UNCHECKED);
  // The up-down control writes its position into the edit, its buddy.
  SendDlgItemMessageA(dialog, IDC_THRESHOLD_SPIN, UDM_SETPOS, 0,
                      MAKELPARAM(static_cast<uint32_t>(probe->options.sync_threshold_ms) & 0xFFFFu, 0));
  // The arrows stay usable either way; only the edit follows the check box.
  enable_threshold(dialog, probe->options.skip_small_offsets != 0);
}

void apply_options_page(HWND dialog, const SheetContext& sheet) {
  ProbeState* probe = sheet.probe;
  probe->options.skip_small_offsets = checked(dialog, IDC_SKIP_SMALL_OFFSETS);
  // UDM_GETPOS first takes the position from the edit's text; text that is
  // not a number within the range leaves the position as it was.
  LRESULT position = SendDlgItemMessageA(dialog, IDC_THRESHOLD_SPIN, UDM_GETPOS, 0, 0);
  probe->options.sync_threshold_ms = LOWORD(position);
  probe->options.quiet_update = checked(dialog, IDC_QUIET_UPDATE);
}

INT_PTR CALLBACK options_page_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      fill_options_page(dialog, *attach_page_sheet(dialog, lparam));
      return TRUE;
    case WM_NOTIFY:
      if (reinterpret_cast<const NMHDR*>(lparam)->code != static_cast<UINT>(PSN_APPLY)) return FALSE;
      if (SheetContext* sheet = page_sheet(dialog)) apply_options_page(dialog, *sheet);
      SetWindowLongPtrA(dialog, DWLP_MSGRESULT, PSNRET_NOERROR);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDC_SKIP_SMALL_OFFSETS) {
        enable_threshold(dialog, checked(dialog, IDC_SKIP_SMALL_OFFSETS) != 0);
      }
      return TRUE;
    default:
      return FALSE;
  }
}

// The three pages of the property sheet, each as the record of what makes it
// itself: how it fills its controls, how it writes them back on OK, and which
// of its controls' commands it handles.
#include "ui/sheet.h"

#include <commctrl.h>

#include "check/server_info_string.h"
#include "plugin/global_text.h"
#include "resource.h"
#include "settings/server_address.h"
#include "ui/info_page_texts.h"
#include "ui/version_gate.h"

namespace {

// --- General: the item's title, server, port and comment, and its last error.

// Reads a control's text into a new global-heap block. `*text` is null when
// the control is empty. Returns false, with `*text` null, only when the block
// cannot be allocated, so that the caller can keep what it had.
bool read_control_text(HWND dialog, int id, char** text) {
  *text = nullptr;
  LRESULT length = SendDlgItemMessageA(dialog, id, WM_GETTEXTLENGTH, 0, 0);
  if (length <= 0) return true;
  char* block = alloc_text(static_cast<size_t>(length) + 1);
  if (block == nullptr) return false;
  GetDlgItemTextA(dialog, id, block, static_cast<int>(length) + 1);
  *text = block;
  return true;
}

// Makes the address "sntp://" and the server as typed, without the blanks
// that pasting from a list of servers brings along; an empty server field
// gives "sntp://" alone. False, with `*address` null, when memory is short.
bool read_address(HWND dialog, char** address) {
  *address = nullptr;
  char* server = nullptr;
  if (!read_control_text(dialog, IDC_SERVER, &server)) return false;
  trim_blanks(server);
  size_t server_length = server != nullptr ? static_cast<size_t>(lstrlenA(server)) : 0;
  char* text = alloc_text(sizeof kAddressScheme + server_length);
  if (text != nullptr) {
    lstrcpyA(text, kAddressScheme);
    if (server != nullptr) lstrcatA(text, server);
    *address = text;
  }
  free_text(server);
  return text != nullptr;
}

// Gives the comment edit the multi-line and want-return styles when the host
// keeps multi-line comments, and takes them away otherwise.
void set_comment_style(HWND dialog, HostVersion version) {
  HWND edit = GetDlgItem(dialog, IDC_COMMENT);
  const LONG lines = ES_MULTILINE | ES_WANTRETURN;
  LONG style = GetWindowLongA(edit, GWL_STYLE);
  style = host_keeps_comment_lines(version) ? (style | lines) : (style & ~lines);
  SetWindowLongA(edit, GWL_STYLE, style);
}

void fill_general(HWND dialog, SheetContext& sheet) {
  const CheckItem* item = sheet.item;
  const ProbeState* probe = sheet.probe;
  SetDlgItemTextA(dialog, IDC_TITLE, item->title != nullptr ? item->title : "新しいアイテム");
  bool has_error = item->error_text != nullptr && item->error_text[0] != '\0';
  SetDlgItemTextA(dialog, IDC_ERROR_TEXT, has_error ? item->error_text : "エラーはありません");
  SetDlgItemTextA(dialog, IDC_SERVER, probe->server_name);
  SetDlgItemInt(dialog, IDC_PORT, probe->options.port, FALSE);
  if (item->comment != nullptr) SetDlgItemTextA(dialog, IDC_COMMENT, item->comment);
  set_comment_style(dialog, probe->host_version);
}

void apply_general(HWND dialog, SheetContext& sheet) {
  CheckItem* item = sheet.item;
  // Every new text is had before any is written: when memory is short for
  // one of them the item keeps all it had, and the sheet reports no change.
  char* title = nullptr;
  char* address = nullptr;
  char* comment = nullptr;
  if (!read_control_text(dialog, IDC_TITLE, &title) || !read_address(dialog, &address) ||
      !read_control_text(dialog, IDC_COMMENT, &comment)) {
    free_text(title);
    free_text(address);
    free_text(comment);
    sheet.texts_unwritten = true;
    return;
  }
  replace_text(&item->title, title);
  replace_text(&item->address, address);
  // No validation: text that is not an unsigned number gives 0 (the loader
  // turns it into 123), and a number above 65535 keeps its low 16 bits.
  UINT port = GetDlgItemInt(dialog, IDC_PORT, nullptr, FALSE);
  sheet.probe->options.port = static_cast<uint16_t>(port & 0xFFFFu);
  replace_text(&item->comment, comment);
  if (!host_keeps_comment_lines(sheet.probe->host_version)) flatten_comment(item->comment);
}

// --- Options: when to leave the clock alone, whether a change is announced,
// and whether the clock is only measured.

constexpr int kMaxThresholdMs = 30000;

int checked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED ? 1 : 0; }

// The threshold edit serves skipping small offsets and, when the clock is
// only measured, the alert. Its arrows are enabled and disabled with it, so
// they cannot change a threshold that cannot be entered.
void enable_threshold(HWND dialog) {
  const bool used = checked(dialog, IDC_SKIP_SMALL_OFFSETS) != 0 || checked(dialog, IDC_MEASURE_ONLY) != 0;
  EnableWindow(GetDlgItem(dialog, IDC_THRESHOLD), used);
  EnableWindow(GetDlgItem(dialog, IDC_THRESHOLD_SPIN), used);
}

// A clock that is only measured never changes, so there is no change to
// announce: the quiet box is disabled then, and keeps its state.
void enable_quiet(HWND dialog) {
  EnableWindow(GetDlgItem(dialog, IDC_QUIET_UPDATE), checked(dialog, IDC_MEASURE_ONLY) == 0);
}

void fill_options(HWND dialog, SheetContext& sheet) {
  const ItemOptions& options = sheet.probe->options;
  SendDlgItemMessageA(dialog, IDC_THRESHOLD_SPIN, UDM_SETRANGE, 0, MAKELPARAM(kMaxThresholdMs, 0));
  CheckDlgButton(dialog, IDC_SKIP_SMALL_OFFSETS, options.skip_small_offsets != 0 ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(dialog, IDC_QUIET_UPDATE, options.quiet_update != 0 ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(dialog, IDC_MEASURE_ONLY, options.measure_only != 0 ? BST_CHECKED : BST_UNCHECKED);
  // The up-down control writes its position into the edit, its buddy; it
  // clamps what it cannot show to its range. A stored threshold outside the
  // range is what the check uses, so the edit shows it as it is.
  const int32_t threshold = options.sync_threshold_ms;
  const bool in_range = threshold >= 0 && threshold <= kMaxThresholdMs;
  SendDlgItemMessageA(dialog, IDC_THRESHOLD_SPIN, UDM_SETPOS, 0,
                      MAKELPARAM(in_range ? threshold : (threshold < 0 ? 0 : kMaxThresholdMs), 0));
  sheet.shown_threshold = LOWORD(SendDlgItemMessageA(dialog, IDC_THRESHOLD_SPIN, UDM_GETPOS, 0, 0));
  if (!in_range) SetDlgItemInt(dialog, IDC_THRESHOLD, static_cast<UINT>(threshold), TRUE);
  enable_threshold(dialog);
  enable_quiet(dialog);
}

void apply_options(HWND dialog, SheetContext& sheet) {
  ItemOptions& options = sheet.probe->options;
  options.skip_small_offsets = checked(dialog, IDC_SKIP_SMALL_OFFSETS);
  // UDM_GETPOS first takes the position from the edit's text; text that is
  // not a number within the range leaves the position as it was and sets
  // the high word. A stored threshold outside the range stays as it is
  // unless a number within the range was entered or the arrows moved the
  // control: opening the page and pressing OK loses nothing.
  const LRESULT reply = SendDlgItemMessageA(dialog, IDC_THRESHOLD_SPIN, UDM_GETPOS, 0, 0);
  const uint16_t position = LOWORD(reply);
  const bool in_range = options.sync_threshold_ms >= 0 && options.sync_threshold_ms <= kMaxThresholdMs;
  if (in_range || HIWORD(reply) == 0 || position != sheet.shown_threshold) options.sync_threshold_ms = position;
  options.quiet_update = checked(dialog, IDC_QUIET_UPDATE);
  options.measure_only = checked(dialog, IDC_MEASURE_ONLY);
}

bool options_command(HWND dialog, int id) {
  if (id != IDC_SKIP_SMALL_OFFSETS && id != IDC_MEASURE_ONLY) return false;
  enable_threshold(dialog);
  enable_quiet(dialog);
  return true;
}

// --- Information: what the time server said about itself in the last reply.
// It only displays; a field it does not write keeps "不明".

void fill_info(HWND dialog, SheetContext& sheet) {
  const CheckItem* item = sheet.item;
  // After a failed check the stored reply is stale: show nothing from it.
  if (item->error_text != nullptr && item->error_text[0] != '\0') return;
  ServerInfo info;
  if (!read_server_info(item, &info)) return;
  char text[32];
  // Stratum 0 means unspecified; its reference field is no identifier.
  if (info.stratum != 0) {
    SetDlgItemInt(dialog, IDC_INFO_STRATUM, info.stratum, FALSE);
    reference_id_text(info.stratum, info.reference_id, text, sizeof text);
    SetDlgItemTextA(dialog, IDC_INFO_REFERENCE_ID, text);
  }
  SetDlgItemInt(dialog, IDC_INFO_VERSION, protocol_version(info.first_octet), FALSE);
  if (precision_text(info.precision, text, sizeof text)) SetDlgItemTextA(dialog, IDC_INFO_PRECISION, text);
  poll_text(info.poll, text, sizeof text);
  SetDlgItemTextA(dialog, IDC_INFO_POLL, text);
}

}  // namespace

const SheetPage kGeneralPage = {IDD_GENERAL, fill_general, apply_general, nullptr};
const SheetPage kOptionsPage = {IDD_OPTIONS, fill_options, apply_options, options_command};
const SheetPage kInfoPage = {IDD_INFO, fill_info, nullptr, nullptr};

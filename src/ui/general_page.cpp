// The General page: the item's title, server, port and comment, and its last
// error.
#include "ui/sheet.h"

#include <commctrl.h>

#include "plugin/global_text.h"
#include "resource.h"
#include "settings/server_address.h"
#include "ui/version_gate.h"

namespace {

// Replaces `*field` with the control's text (null when empty). When memory
// is short the field keeps what it had rather than losing the setting.
void replace_from_control(HWND dialog, int id, char** field) {
  char* text = nullptr;
  if (read_control_text(dialog, id, &text)) replace_text(field, text);
}

// The address is "sntp://" and the server as typed; an empty server field
// gives "sntp://" alone. When memory is short the address stays as it was.
void apply_address(HWND dialog, char** address) {
  char* server = nullptr;
  if (!read_control_text(dialog, IDC_SERVER, &server)) return;
  size_t server_length = server != nullptr ? static_cast<size_t>(lstrlenA(server)) : 0;
  char* text = alloc_text(sizeof kAddressScheme + server_length);
  if (text != nullptr) {
    lstrcpyA(text, kAddressScheme);
    if (server != nullptr) lstrcatA(text, server);
    replace_text(address, text);
  }
  free_text(server);
}

}  // namespace

void fill_general_page(HWND dialog, const SheetContext& sheet) {
  const CheckItem* item = sheet.item;
  const ProbeState* probe = sheet.probe;
  SetDlgItemTextA(dialog, IDC_TITLE, item->title != nullptr ? item->title : "新しいアイテム");
  bool has_error = item->error_text != nullptr && item->error_text[0] != '\0';
  SetDlgItemTextA(dialog, IDC_ERROR_TEXT, has_error ? item->error_text : "エラーはありません");
  SetDlgItemTextA(dialog, IDC_SERVER, probe->server_name);
  SetDlgItemInt(dialog, IDC_PORT, probe->options.port, FALSE);
  if (item->comment != nullptr) SetDlgItemTextA(dialog, IDC_COMMENT, item->comment);
  set_comment_style(dialog, IDC_COMMENT, probe->host_version);
}

void apply_general_page(HWND dialog, const SheetContext& sheet) {
  CheckItem* item = sheet.item;
  replace_from_control(dialog, IDC_TITLE, &item->title);
  apply_address(dialog, &item->address);
  // No validation: text that is not an unsigned number gives 0 (the loader
  // turns it into 123), and a number above 65535 keeps its low 16 bits.
  UINT port = GetDlgItemInt(dialog, IDC_PORT, nullptr, FALSE);
  sheet.probe->options.port = static_cast<uint16_t>(port & 0xFFFFu);
  replace_from_control(dialog, IDC_COMMENT, &item->comment);
  if (!host_keeps_comment_lines(sheet.probe->host_version)) flatten_comment(item->comment);
}

INT_PTR CALLBACK general_page_proc(HWND dialog, UINT message, WPARAM /*wparam*/, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      fill_general_page(dialog, *attach_page_sheet(dialog, lparam));
      return TRUE;
    case WM_NOTIFY:
      if (reinterpret_cast<const NMHDR*>(lparam)->code != static_cast<UINT>(PSN_APPLY)) return FALSE;
      if (SheetContext* sheet = page_sheet(dialog)) apply_general_page(dialog, *sheet);
      SetWindowLongPtrA(dialog, DWLP_MSGRESULT, PSNRET_NOERROR);
      return TRUE;
    default:
      return FALSE;
  }
}

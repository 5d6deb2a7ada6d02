// The Information page: what the time server said about itself in the last
// reply. It only displays; a field it does not write keeps "不明".
#include "resource.h"
#include "settings/settings.h"
#include "ui/info_page_texts.h"
#include "ui/sheet.h"

void fill_info_page(HWND dialog, const CheckItem* item) {
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

INT_PTR CALLBACK info_page_proc(HWND dialog, UINT message, WPARAM /*wparam*/, LPARAM lparam) {
  if (message != WM_INITDIALOG) return FALSE;
  fill_info_page(dialog, attach_page_sheet(dialog, lparam)->item);
  return TRUE;
}

// The Win32 side of the host version gate.
#include "ui/sheet.h"
#include "ui/version_gate.h"

HostVersion query_host_version(HWND host) {
  char buffer[kHostVersionTextSize] = {};
  SendMessageA(host, MSG_GET_HOST_VERSION, 0, reinterpret_cast<LPARAM>(buffer));
  // The host may fill all 32 bytes; the parse stays within them.
  return parse_host_version(buffer, sizeof buffer);
}

void set_comment_style(HWND dialog, int id, HostVersion version) {
  HWND edit = GetDlgItem(dialog, id);
  const LONG lines = ES_MULTILINE | ES_WANTRETURN;
  LONG style = GetWindowLongA(edit, GWL_STYLE);
  style = host_keeps_comment_lines(version) ? (style | lines) : (style & ~lines);
  SetWindowLongA(edit, GWL_STYLE, style);
}

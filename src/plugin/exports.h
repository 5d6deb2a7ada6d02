// The functions the host looks up in the module, by name or by ordinal
// (see sntp.def). All use the Windows API calling convention.
#pragma once

#include <windows.h>

#include "plugin/host_contract.h"

extern "C" {
// Registration and description.
int WINAPI GetProtocolList(int index, ProtocolEntry* entry);
int WINAPI GetToolList(int unused1, int unused2);
int WINAPI SNTP_GetInfo(ItemTypeInfo* info);
int WINAPI SNTP_EndNotify();
int WINAPI SNTP_ProtocolProperty(int unused);
HGLOBAL WINAPI SNTP_GetItemText(CheckItem* item);

// Editing: the item's property sheet.
int WINAPI SNTP_ExecItem(HWND window, const char* command, CheckItem* item);
int WINAPI SNTP_Property(HWND window, CheckItem* item);

// Checks. Each returns 0 (nothing failed: done, still in progress, or
// nothing to do), -1 (failed) or 2 (the check is over and MSG_CHECK_END has
// been sent); SNTP_Cancel is exported as another name of SNTP_ItemCheckEnd.
int WINAPI SNTP_Initialize(HWND window, CheckItem* item);
int WINAPI SNTP_InitItem(HWND window, CheckItem* item);
int WINAPI SNTP_Start(HWND window, CheckItem* item);
int WINAPI SNTP_Gethost(HWND window, WPARAM wparam, LPARAM lparam, CheckItem* item);
int WINAPI SNTP_Select(HWND window, WPARAM wparam, LPARAM lparam, CheckItem* item);
int WINAPI SNTP_Timer(HWND window, CheckItem* item);
int WINAPI SNTP_ItemCheckEnd(HWND window, CheckItem* item);
}

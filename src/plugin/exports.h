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
}

// The item's property sheet: General, Options and Information pages, and the
// host version gate's Win32 side.
#pragma once

#include <windows.h>

#include "plugin/host_contract.h"
#include "settings/probe_state.h"

// What the pages of one open sheet work on: the item being edited and the
// sheet's own working record. It lives on SNTP_Property's stack for as long
// as the modal sheet is open; each page keeps a pointer to it in DWLP_USER.
struct SheetContext {
  CheckItem* item;
  ProbeState* probe;
};

// Page dialog procedures. WM_INITDIALOG takes the SheetContext from the page
// record's application value.
INT_PTR CALLBACK general_page_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK options_page_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK info_page_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// Fill a page's controls once, when its dialog is created; apply writes them
// back when the sheet closes with OK.
void fill_general_page(HWND dialog, const SheetContext& sheet);
void apply_general_page(HWND dialog, const SheetContext& sheet);
void fill_options_page(HWND dialog, const SheetContext& sheet);
void apply_options_page(HWND dialog, const SheetContext& sheet);
void fill_info_page(HWND dialog, const CheckItem* item);

// Reads a control's text into a new global-heap block. `*text` is null when
// the control is empty. Returns false, with `*text` null, only when the block
// cannot be allocated, so that the caller can keep what it had.
bool read_control_text(HWND dialog, int id, char** text);

// The page's SheetContext (null before WM_INITDIALOG stored it).
SheetContext* page_sheet(HWND dialog);
// Stores the SheetContext that the page record of WM_INITDIALOG carries and
// returns it.
SheetContext* attach_page_sheet(HWND dialog, LPARAM init_lparam);

// Asks the host window for its version text (MSG_GET_HOST_VERSION) and packs
// it; 0 when the host does not answer usably.
HostVersion query_host_version(HWND host);
// Gives the edit `id` the multi-line and want-return styles when the host
// keeps multi-line comments, and takes them away otherwise.
void set_comment_style(HWND dialog, int id, HostVersion version);

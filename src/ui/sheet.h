// The item's property sheet: one page procedure (sheet.cpp) serves the
// General, Options and Information pages, each described by a SheetPage
// record of what makes it itself (pages.cpp).
#pragma once

#include <windows.h>

#include "check/probe_state.h"
#include "plugin/host_contract.h"

// What the pages of one open sheet work on: the item being edited and the
// sheet's own working record. It lives on SNTP_Property's stack for as long
// as the modal sheet is open.
struct SheetContext {
  CheckItem* item;
  ProbeState* probe;
  // The threshold the Options page showed when it opened. A stored
  // threshold its up-down control cannot show (outside 0 to 30000) is kept
  // unless the user moves the control away from this position.
  uint16_t shown_threshold;
};

// What differs from one page to another.
struct SheetPage {
  int template_id;  // the page's dialog template (IDD_*)
  // Fills the page's controls once, when its dialog is created.
  void (*fill)(HWND dialog, SheetContext& sheet);
  // Writes the controls back when the sheet closes with OK; null for a page
  // that only displays.
  void (*apply)(HWND dialog, const SheetContext& sheet);
  // Handles WM_COMMAND from the control `id`, returning whether it did; null
  // for a page whose controls need no handling.
  bool (*command)(HWND dialog, int id);
};

extern const SheetPage kGeneralPage;
extern const SheetPage kOptionsPage;
extern const SheetPage kInfoPage;

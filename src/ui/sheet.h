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
  // The up-down control's position when the Options page opened: the
  // stored threshold, or the end of the range nearest to one outside it (0
  // to 30000). Such a threshold is kept unless the user enters a number
  // within the range or moves the control away from this position.
  uint16_t shown_threshold;
  // The General page could not have its new texts (memory short) and wrote
  // none: OK then changes nothing and the sheet reports a cancel.
  bool texts_unwritten;
};

// What differs from one page to another.
struct SheetPage {
  int template_id;  // the page's dialog template (IDD_*)
  // Fills the page's controls once, when its dialog is created.
  void (*fill)(HWND dialog, SheetContext& sheet);
  // Writes the controls back when the sheet closes with OK; null for a page
  // that only displays.
  void (*apply)(HWND dialog, SheetContext& sheet);
  // Handles WM_COMMAND from the control `id`, returning whether it did; null
  // for a page whose controls need no handling.
  bool (*command)(HWND dialog, int id);
};

extern const SheetPage kGeneralPage;
extern const SheetPage kOptionsPage;
extern const SheetPage kInfoPage;

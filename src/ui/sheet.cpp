// SNTP_Property and SNTP_ExecItem: the modal property sheet over the host
// window, and what the pages share.
#include "ui/sheet.h"

#include <commctrl.h>

#include <cstddef>

#include "plugin/exports.h"
#include "plugin/global_text.h"
#include "plugin/module.h"
#include "resource.h"
#include "settings/settings.h"

// The records go in the layout of common controls 4.71, so that the sheet
// opens with any common controls from that version on: pages end after
// pszHeaderSubTitle (PROPSHEETPAGEA_V2_SIZE, which is not a constant
// expression here), and the header is the whole record.
constexpr UINT kPageRecordSize = offsetof(PROPSHEETPAGEA, pszHeaderSubTitle) + sizeof(LPCSTR);
#if defined(__i386__)
// The host is a 32-bit program: 48-byte pages and a 52-byte header there.
static_assert(kPageRecordSize == 48);
static_assert(sizeof(PROPSHEETHEADERA) == 52);
#endif

namespace {

constexpr int kPageCount = 3;

HPROPSHEETPAGE create_page(SheetContext* sheet, int template_id, DLGPROC proc) {
  PROPSHEETPAGEA page = {};
  page.dwSize = kPageRecordSize;
  page.dwFlags = PSP_DEFAULT;  // the title is the template's caption
  page.hInstance = module_instance();
  page.pszTemplate = MAKEINTRESOURCEA(template_id);
  page.pfnDlgProc = proc;
  page.lParam = reinterpret_cast<LPARAM>(sheet);
  return CreatePropertySheetPageA(&page);
}

// "<title>のプロパティ", or the new item's caption when there is no title;
// null when memory is short (the sheet then has no caption).
char* make_caption(const char* title) {
  if (title == nullptr) return copy_text("新しいアイテムのプロパティ");
  static const char kSuffix[] = "のプロパティ";
  char* caption = alloc_text(static_cast<size_t>(lstrlenA(title)) + sizeof kSuffix);
  if (caption != nullptr) {
    lstrcpyA(caption, title);
    lstrcatA(caption, kSuffix);
  }
  return caption;
}

}  // namespace

extern "C" int WINAPI SNTP_Property(HWND window, CheckItem* item) {
  if (item == nullptr) return -1;
  // The sheet works on a ProbeState of its own, which it never hangs on the
  // item's `probe` field: that field belongs to the item's running check.
  // The sheet's message loop keeps dispatching the host window's messages,
  // so a check of this item may start, run and end while the sheet is open;
  // it creates and frees its own record through `probe`, and the sheet can
  // neither lose it nor have its own freed. The pages reach the sheet's
  // record through the SheetContext below instead, which outlives them: it
  // stays on this stack frame until PropertySheetA has returned. The sheet
  // still loads its values from the item's texts when it opens and writes
  // them back on OK; it never touches the texts a check writes.
  ProbeState* probe = new_probe_state();
  if (probe == nullptr) return -1;
  probe->host_version = query_host_version(window);
  load_settings(item, probe);
  SheetContext sheet{item, probe};

  HPROPSHEETPAGE pages[kPageCount] = {
      create_page(&sheet, IDD_GENERAL, general_page_proc),
      create_page(&sheet, IDD_OPTIONS, options_page_proc),
      create_page(&sheet, IDD_INFO, info_page_proc),
  };
  bool all_pages = pages[0] != nullptr && pages[1] != nullptr && pages[2] != nullptr;
  int result = -1;
  if (all_pages) {
    char* caption = make_caption(item->title);
    PROPSHEETHEADERA header = {};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_NOAPPLYNOW;  // page handles, no Apply button, the caption as given
    header.hwndParent = window;
    header.hInstance = module_instance();
    // Without a caption block the sheet gets the empty text: a null caption
    // would be read as string resource 0 of the module.
    header.pszCaption = caption != nullptr ? caption : "";
    header.nPages = kPageCount;
    header.nStartPage = 0;
    header.phpage = pages;
    // Positive only when the user confirmed with OK; the pages have then
    // applied their values.
    if (PropertySheetA(&header) > 0) {
      write_option_string(item, probe);
      result = 0;
    }
    free_text(caption);
  } else {
    // A sheet without one of its pages would shift the others; show none.
    for (HPROPSHEETPAGE page : pages) {
      if (page != nullptr) DestroyPropertySheetPage(page);
    }
  }
  free_probe_state(probe);
  return result;
}

extern "C" int WINAPI SNTP_ExecItem(HWND window, const char* command, CheckItem* item) {
  // The item's only command is "open", compared case-sensitively; any other
  // command is not ours and is left alone.
  if (command == nullptr || lstrcmpA(command, "open") != 0) return 1;
  return SNTP_Property(window, item) == 0 ? 1 : -1;
}

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

SheetContext* page_sheet(HWND dialog) {
  return reinterpret_cast<SheetContext*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

SheetContext* attach_page_sheet(HWND dialog, LPARAM init_lparam) {
  const auto* page = reinterpret_cast<const PROPSHEETPAGEA*>(init_lparam);
  auto* sheet = reinterpret_cast<SheetContext*>(page->lParam);
  SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(sheet));
  return sheet;
}

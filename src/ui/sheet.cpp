// SNTP_Property and SNTP_ExecItem: the modal property sheet over the host
// window, and the one procedure of its pages.
#include "ui/sheet.h"

#include <commctrl.h>

#include <cstddef>

#include "plugin/exports.h"
#include "plugin/global_text.h"
#include "plugin/module.h"
#include "settings/item_settings.h"
#include "ui/version_gate.h"

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

// What one page's dialog works on: the sheet's context and the page's own
// record. Kept in the dialog's DWLP_USER slot from WM_INITDIALOG on.
struct PageContext {
  SheetContext* sheet;
  const SheetPage* page;
};

// The procedure of every page, after the PROPSHEETPAGE model: it takes its
// context from the page record at WM_INITDIALOG and fills the page once,
// hands PSN_APPLY to the page's apply (and always accepts it), and a
// WM_COMMAND to the page's command handler; what the page does not handle
// returns FALSE.
INT_PTR CALLBACK page_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    auto* context = reinterpret_cast<PageContext*>(reinterpret_cast<const PROPSHEETPAGEA*>(lparam)->lParam);
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(context));
    context->page->fill(dialog, *context->sheet);
    return TRUE;
  }
  const auto* context = reinterpret_cast<const PageContext*>(GetWindowLongPtrA(dialog, DWLP_USER));
  if (context == nullptr) return FALSE;  // before WM_INITDIALOG
  const SheetPage& page = *context->page;
  switch (message) {
    case WM_NOTIFY:
      if (reinterpret_cast<const NMHDR*>(lparam)->code != static_cast<UINT>(PSN_APPLY)) return FALSE;
      if (page.apply != nullptr) page.apply(dialog, *context->sheet);
      SetWindowLongPtrA(dialog, DWLP_MSGRESULT, PSNRET_NOERROR);
      return TRUE;
    case WM_COMMAND:
      return page.command != nullptr && page.command(dialog, LOWORD(wparam)) ? TRUE : FALSE;
    default:
      return FALSE;
  }
}

HPROPSHEETPAGE create_page(PageContext* context) {
  PROPSHEETPAGEA page = {};
  page.dwSize = kPageRecordSize;
  page.dwFlags = PSP_DEFAULT;  // the title is the template's caption
  page.hInstance = module_instance();
  page.pszTemplate = MAKEINTRESOURCEA(context->page->template_id);
  page.pfnDlgProc = page_proc;
  page.lParam = reinterpret_cast<LPARAM>(context);
  return CreatePropertySheetPageA(&page);
}

// Asks the host window for its version text (MSG_GET_HOST_VERSION) and packs
// it; 0 when the host does not answer usably.
HostVersion query_host_version(HWND host) {
  char buffer[kHostVersionTextSize] = {};
  SendMessageA(host, MSG_GET_HOST_VERSION, 0, reinterpret_cast<LPARAM>(buffer));
  // The host may fill all 32 bytes; the parse stays within them.
  return parse_host_version(buffer, sizeof buffer);
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
  // record through the contexts below instead, which outlive them: they
  // stay on this stack frame until PropertySheetA has returned. The sheet
  // still loads its values from the item's texts when it opens and writes
  // them back on OK; it never touches the texts a check writes.
  ProbeState* probe = new_probe_state();
  if (probe == nullptr) return -1;
  // OK rewrites the option text after the pages have written the item's
  // other texts. Its block is had before the sheet opens: without it the
  // sheet is not shown, rather than change the item in part and call that a
  // cancel (a null text would reset every option at the next load).
  char* option_text = alloc_text(kOptionStringSize);
  if (option_text == nullptr) {
    free_probe_state(probe);
    return -1;
  }
  probe->host_version = query_host_version(window);
  load_settings(item, probe->server_name, sizeof probe->server_name, &probe->options);
  SheetContext sheet{item, probe, 0, false};
  PageContext contexts[kPageCount] = {{&sheet, &kGeneralPage}, {&sheet, &kOptionsPage}, {&sheet, &kInfoPage}};

  HPROPSHEETPAGE pages[kPageCount] = {create_page(&contexts[0]), create_page(&contexts[1]),
                                      create_page(&contexts[2])};
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
    // applied their values, unless the General page had no memory for its
    // texts and left the item as it was.
    if (PropertySheetA(&header) > 0 && !sheet.texts_unwritten) {
      write_option_string(item, probe->options, option_text);
      option_text = nullptr;  // the item's now
      result = 0;
    }
    free_text(caption);
  } else {
    // A sheet without one of its pages would shift the others; show none.
    for (HPROPSHEETPAGE page : pages) {
      if (page != nullptr) DestroyPropertySheetPage(page);
    }
  }
  free_text(option_text);
  free_probe_state(probe);
  return result;
}

extern "C" int WINAPI SNTP_ExecItem(HWND window, const char* command, CheckItem* item) {
  // The item's only command is "open", compared case-sensitively; any other
  // command is not ours and is left alone.
  if (command == nullptr || lstrcmpA(command, "open") != 0) return 1;
  return SNTP_Property(window, item) == 0 ? 1 : -1;
}

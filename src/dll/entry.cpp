// The entry routine and the exports by which the host discovers the SNTP
// protocol and its item type.
#include <windows.h>

#include <commctrl.h>

#include "check/address_cache.h"
#include "plugin/exports.h"
#include "plugin/global_text.h"
#include "plugin/module.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    // Once per process: the instance for resources, and the common controls
    // (up-down, property sheets) registered. The thread notifications stay
    // on: the runtime's thread-local storage callbacks run its per-thread
    // destructors on them, and for a module with such storage the system
    // refuses to turn them off anyway. This routine ignores them.
    set_module_instance(instance);
    InitCommonControls();
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // The host unloads the module (FreeLibrary, not the end of the process):
    // release the address cache, whose critical section would otherwise stay
    // registered with the system while its memory is unmapped.
    address_cache_release();
  }
  return TRUE;
}

// Copies a literal into a fixed text field of a host record.
template <size_t N>
static void put_text(char (&field)[N], const char* text) {
  lstrcpynA(field, text, static_cast<int>(N));
}

extern "C" int WINAPI GetProtocolList(int index, ProtocolEntry* entry) {
  if (index != 0 || entry == nullptr) return -1;
  put_text(entry->name, "SNTP");
  put_text(entry->prefix, "SNTP_");
  put_text(entry->text516, "");
  entry->value772 = 0;
  put_text(entry->text776, "");
  entry->value1032 = -1;
  return 0;
}

extern "C" int WINAPI GetToolList(int, int) { return -1; }

extern "C" int WINAPI SNTP_GetInfo(ItemTypeInfo* info) {
  if (info == nullptr) return -1;
  put_text(info->scheme, "sntp://");
  put_text(info->menu_text, "SNTPアイテムの追加(&S)...");
  put_text(info->text516, "");
  // The command array passes to the host, which frees it.
  auto* commands = static_cast<ItemCommand*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, sizeof(ItemCommand)));
  if (commands == nullptr) {
    // Without memory there is nothing to describe: say so rather than hand
    // the host a count that points at nothing.
    info->commands = nullptr;
    info->command_count = 0;
    return -1;
  }
  put_text(commands[0].label, "開く(&O)");
  put_text(commands[0].command, "open");
  commands[0].value512 = 1;
  commands[0].value516 = 0;
  info->commands = commands;
  info->command_count = 1;
  return 0;
}

extern "C" int WINAPI SNTP_EndNotify() { return 0; }

extern "C" int WINAPI SNTP_ProtocolProperty(int) { return 0; }

extern "C" HGLOBAL WINAPI SNTP_GetItemText(CheckItem* item) {
  const char* address = (item != nullptr && item->address != nullptr) ? item->address : "";
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, static_cast<SIZE_T>(lstrlenA(address)) + 1);
  if (block == nullptr) return nullptr;
  auto* text = static_cast<char*>(GlobalLock(block));
  if (text == nullptr) {
    GlobalFree(block);
    return nullptr;
  }
  lstrcpyA(text, address);
  GlobalUnlock(block);
  return block;
}

// Replaces a function that a loaded module imports by name, by rewriting the
// module's import address table, and puts it back when the patch goes out of
// scope. The module itself is not changed otherwise, so tests can make a
// system call fail inside the real DLL.
#pragma once

#include <windows.h>

class ImportPatch {
 public:
  ImportPatch(HMODULE module, const char* dll, const char* function, const void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name != 0; ++d) {
      if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
      auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
      auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
      for (; names->u1.AddressOfData != 0; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
        if (lstrcmpA(reinterpret_cast<const char*>(by_name->Name), function) != 0) continue;
        slot_ = &slots->u1.Function;
        original_ = *slot_;
        write(reinterpret_cast<ULONG_PTR>(replacement));
        return;
      }
    }
  }
  ~ImportPatch() {
    if (slot_ != nullptr) write(original_);
  }
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  bool applied() const { return slot_ != nullptr; }

 private:
  void write(ULONG_PTR value) {
    DWORD old;
    VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &old);
    *slot_ = value;
    VirtualProtect(slot_, sizeof *slot_, old, &old);
  }
  ULONG_PTR* slot_ = nullptr;
  ULONG_PTR original_ = 0;
};

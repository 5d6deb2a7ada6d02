// Replaces a function that a loaded module imports by name, by rewriting the
// module's import address table: a test can then watch or fail the system
// calls the plug-in makes, or give it a clock of its own, without any hook in
// the plug-in. The module is not changed otherwise.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>

// Puts `replacement` in every slot of `module`'s import table that imports
// `function` from `dll` (by name); returns what the first slot held, or null
// when the module does not import it.
inline void* patch_import(HMODULE module, const char* dll, const char* function, const void* replacement) {
  auto* base = reinterpret_cast<uint8_t*>(module);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  void* previous = nullptr;
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name != 0; ++d) {
    if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) != 0) continue;
      DWORD old_protect;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old_protect);
      if (previous == nullptr) previous = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<uintptr_t>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old_protect, &old_protect);
    }
  }
  return previous;
}

// Patches an import for as long as it lives and puts the original back.
class ImportPatch {
 public:
  ImportPatch(HMODULE module, const char* dll, const char* function, const void* replacement)
      : module_(module), dll_(dll), function_(function),
        previous_(patch_import(module, dll, function, replacement)) {}
  ~ImportPatch() {
    if (previous_ != nullptr) patch_import(module_, dll_, function_, previous_);
  }
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  bool applied() const { return previous_ != nullptr; }
  // What the slot held before: the function to call through to.
  void* previous() const { return previous_; }

 private:
  HMODULE module_;
  const char* dll_;
  const char* function_;
  void* previous_;
};

// The same, typed: `original` calls through to the replaced function.
template <typename Fn>
struct PatchedImport : ImportPatch {
  PatchedImport(HMODULE module, const char* dll, const char* function, Fn replacement)
      : ImportPatch(module, dll, function, reinterpret_cast<const void*>(replacement)),
        original(reinterpret_cast<Fn>(previous())) {}
  Fn original;
};

// Loads the built sntp.dll as the host does and calls its registration
// exports by name and by ordinal, checking the calling convention and the
// bytes they hand back.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/host_contract.h"
#include "plugin_test.h"
#include "sntp_version.h"
#include "stdcall_probe.h"

namespace {

class Exports : public ModuleTest {
 protected:
  static const void* by_name(const char* name) {
    return reinterpret_cast<const void*>(GetProcAddress(module_, name));
  }
  static const void* by_ordinal(int ordinal) {
    return reinterpret_cast<const void*>(GetProcAddress(module_, MAKEINTRESOURCEA(ordinal)));
  }
  // Calls an export checking that it removed exactly its own arguments.
  static uint32_t call(const char* name, std::initializer_list<ArgWord> args) {
    const void* fn = by_name(name);
    EXPECT_NE(fn, nullptr) << name;
    if (fn == nullptr) return 0xDEADBEEF;
#if defined(__i386__)
    StdcallOutcome out = call_stdcall(fn, args);
    EXPECT_EQ(out.stack_error, 0) << name << " does not use the Windows API calling convention";
    return out.result;
#else
    return call_x64(fn, args);
#endif
  }
};

TEST_F(Exports, NamesAndOrdinalsMatch) {
  const struct {
    const char* name;
    int ordinal;
  } table[] = {
      {"GetProtocolList", 1}, {"GetToolList", 2},  {"SNTP_InitItem", 20}, {"SNTP_Initialize", 21},
      {"SNTP_Cancel", 22},  {"SNTP_Timer", 23}, {"SNTP_Start", 24},    {"SNTP_Gethost", 25},
      {"SNTP_Select", 26},  {"SNTP_ItemCheckEnd", 27}, {"SNTP_GetItemText", 28},
      {"SNTP_ExecItem", 29}, {"SNTP_Property", 30}, {"SNTP_ProtocolProperty", 31},
      {"SNTP_GetInfo", 32}, {"SNTP_EndNotify", 33},
  };
  for (const auto& e : table) {
    ASSERT_NE(by_name(e.name), nullptr) << e.name << " is not exported undecorated";
    EXPECT_EQ(by_name(e.name), by_ordinal(e.ordinal)) << e.name << " is not at ordinal " << e.ordinal;
  }
  for (int ordinal = 3; ordinal <= 19; ++ordinal) {
    EXPECT_EQ(by_ordinal(ordinal), nullptr) << "ordinal " << ordinal << " must stay empty";
  }
  EXPECT_EQ(by_name("_GetProtocolList@8"), nullptr);
  EXPECT_EQ(by_name("SNTP_Cancel"), by_name("SNTP_ItemCheckEnd")) << "two names of one operation";
}

TEST_F(Exports, GetProtocolListDescribesOneProtocol) {
  ProtocolEntry entry;
  std::memset(&entry, 0xCC, sizeof entry);
  EXPECT_EQ(call("GetProtocolList", {0, arg(&entry)}), 0u);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&entry);
  EXPECT_EQ(bytes[0], 0xCC) << "the first four bytes are not the plug-in's to write";
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 4), "SNTP");
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 260), "SNTP_");
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 516), "");
  EXPECT_EQ(*reinterpret_cast<const int32_t*>(bytes + 772), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 776), "");
  EXPECT_EQ(*reinterpret_cast<const int32_t*>(bytes + 1032), -1);

  // A host enumerating from 0 finds exactly one protocol; the entry stays untouched.
  ProtocolEntry untouched;
  std::memset(&untouched, 0x5A, sizeof untouched);
  ProtocolEntry copy = untouched;
  EXPECT_EQ(static_cast<int32_t>(call("GetProtocolList", {1, arg(&untouched)})), -1);
  EXPECT_EQ(static_cast<int32_t>(call("GetProtocolList", {0x7FFFFFFF, arg(&untouched)})), -1);
  EXPECT_EQ(static_cast<int32_t>(call("GetProtocolList", {static_cast<uint32_t>(-1), arg(&untouched)})), -1);
  EXPECT_EQ(0, std::memcmp(&untouched, &copy, sizeof copy));
}

TEST_F(Exports, NoToolsAndNothingToDoOnNotify) {
  EXPECT_EQ(static_cast<int32_t>(call("GetToolList", {7, 9})), -1);
  EXPECT_EQ(call("SNTP_EndNotify", {}), 0u);
  EXPECT_EQ(call("SNTP_ProtocolProperty", {12345}), 0u);
}

TEST_F(Exports, ExecItemLeavesOtherCommandsAlone) {
  CheckItem* item = new_item();
  EXPECT_EQ(call("SNTP_ExecItem", {0, arg("Open"), arg(item)}), 1u);
  EXPECT_EQ(item->options, nullptr);
  free_item(item);
}

// Where GetInfo leaves the command array and its count: the host's 32-bit
// offsets, or the record's own layout in an x86-64 build.
#if defined(__i386__)
constexpr size_t kCommandsAt = 772, kCommandCountAt = 776;
#else
constexpr size_t kCommandsAt = offsetof(ItemTypeInfo, commands), kCommandCountAt = offsetof(ItemTypeInfo, command_count);
#endif

TEST_F(Exports, GetInfoDescribesTheItemType) {
  std::vector<uint8_t> info(sizeof(ItemTypeInfo), 0xCC);
  ASSERT_EQ(call("SNTP_GetInfo", {arg(info.data())}), 0u);
  const uint8_t* b = info.data();
  EXPECT_EQ(b[0], 0xCC);
  EXPECT_STREQ(reinterpret_cast<const char*>(b + 4), "sntp://");
  EXPECT_STREQ(reinterpret_cast<const char*>(b + 260), "SNTPアイテムの追加(&S)...");
  EXPECT_STREQ(reinterpret_cast<const char*>(b + 516), "");
  EXPECT_EQ(*reinterpret_cast<const int32_t*>(b + kCommandCountAt), 1);
  auto* commands = *reinterpret_cast<uint8_t* const*>(b + kCommandsAt);
  ASSERT_NE(commands, nullptr);
  // The array is a fixed global-heap block of one 520-byte entry, zero-filled.
  EXPECT_GE(GlobalSize(commands), 520u);
  EXPECT_STREQ(reinterpret_cast<const char*>(commands), "開く(&O)");
  EXPECT_STREQ(reinterpret_cast<const char*>(commands + 256), "open");
  EXPECT_EQ(*reinterpret_cast<const int32_t*>(commands + 512), 1);
  EXPECT_EQ(*reinterpret_cast<const int32_t*>(commands + 516), 0);
  size_t label_len = std::strlen(reinterpret_cast<const char*>(commands));
  for (size_t i = label_len; i < 256; ++i) ASSERT_EQ(commands[i], 0) << "label padding at " << i;

  // A second call hands out a second array; the module keeps neither.
  std::vector<uint8_t> again(sizeof(ItemTypeInfo), 0);
  ASSERT_EQ(call("SNTP_GetInfo", {arg(again.data())}), 0u);
  auto* second = *reinterpret_cast<uint8_t* const*>(again.data() + kCommandsAt);
  EXPECT_NE(second, commands);
  EXPECT_EQ(GlobalFree(commands), nullptr);
  EXPECT_EQ(GlobalFree(second), nullptr);
}

std::string item_text_via_export(uint32_t handle) {
  auto block = reinterpret_cast<HGLOBAL>(static_cast<uintptr_t>(handle));
  EXPECT_NE(block, nullptr);
  if (block == nullptr) return "<null>";
  EXPECT_NE(GlobalFlags(block) & GMEM_INVALID_HANDLE, static_cast<UINT>(GMEM_INVALID_HANDLE));
  const char* text = static_cast<const char*>(GlobalLock(block));
  // A movable block: the handle is not the address of its contents.
  EXPECT_NE(static_cast<const void*>(text), static_cast<const void*>(block));
  std::string copy = text ? std::string(text) : "<unlockable>";
  EXPECT_EQ(GlobalSize(block), copy.size() + 1);
  GlobalUnlock(block);
  EXPECT_EQ(GlobalFree(block), nullptr);
  return copy;
}

TEST_F(Exports, GetItemTextHandsOutAMovableCopyOfTheAddress) {
  CheckItem* item = new_item();
  set_item_text(&item->address, "sntp://ntp.example.jp");
  EXPECT_EQ(item_text_via_export(call("SNTP_GetItemText", {arg(item)})), "sntp://ntp.example.jp");
  EXPECT_STREQ(item->address, "sntp://ntp.example.jp");

  set_item_text(&item->address, nullptr);
  EXPECT_EQ(item_text_via_export(call("SNTP_GetItemText", {arg(item)})), "");

  std::string huge(1 << 20, 'a');
  set_item_text(&item->address, ("sntp://" + huge).c_str());
  EXPECT_EQ(item_text_via_export(call("SNTP_GetItemText", {arg(item)})), "sntp://" + huge);
  free_item(item);
}

TEST_F(Exports, VersionResourceIsJapaneseAndNumbered) {
  std::string path = plugin_path();
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &len));
  // The project's version (CMakeLists.txt), as the build wrote it for the resource script.
  const DWORD numbers[] = {SNTP_VERSION_NUMBERS};
  EXPECT_EQ(fixed->dwFileVersionMS, numbers[0] << 16 | numbers[1]);
  EXPECT_EQ(fixed->dwFileVersionLS, numbers[2] << 16 | numbers[3]);
  EXPECT_EQ(fixed->dwProductVersionMS, numbers[0] << 16 | numbers[1]);
  EXPECT_EQ(fixed->dwProductVersionLS, numbers[2] << 16 | numbers[3]);
  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &len));
  EXPECT_EQ(translation[0], 0x0411);
  const char* version = nullptr;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\StringFileInfo\\041103a4\\FileVersion",
                             reinterpret_cast<void**>(const_cast<char**>(&version)), &len));
  EXPECT_STREQ(version, SNTP_VERSION_TEXT);

  EXPECT_NE(FindResourceExA(module_, RT_VERSION, MAKEINTRESOURCEA(1), MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)),
            nullptr);
  EXPECT_NE(FindResourceExA(module_, RT_GROUP_ICON, MAKEINTRESOURCEA(100), MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)),
            nullptr);
}

// Every function the DLL may import, by system DLL. Both compilers' builds
// must stay within it (GCC's also takes LoadLibraryA and FreeLibrary); a new
// dependency fails here until it is added with the reason it is needed.
struct AllowedImports {
  const char* dll;
  std::vector<const char*> functions;
};
const AllowedImports kAllowedImports[] = {
    {"KERNEL32.dll",
     {
         // global-heap texts and the ProbeState; SNTP_GetItemText's movable copy
         "GlobalAlloc", "GlobalFree", "GlobalLock", "GlobalUnlock",
         // texts: copy, compare (address cache, "open" command), caption and address building
         "lstrlenA", "lstrcpyA", "lstrcpynA", "lstrcmpA", "lstrcmpiA", "lstrcatA",
         // the address cache's lock
         "InitializeCriticalSection", "EnterCriticalSection", "LeaveCriticalSection",
         // the clock: read, move (with the local time of the new instant), change-time text, back-off's end
         "GetSystemTimeAsFileTime", "GetLocalTime", "FileTimeToSystemTime", "SystemTimeToTzSpecificLocalTime",
         "SetSystemTime", "SetLocalTime",
         // the monotonic counter every wait is timed on (request spacing, back-offs)
         "GetTickCount",
         // error texts
         "GetLastError", "FormatMessageA", "LocalFree",
         // the precise clock, looked up where the system has it (also the runtime's start-up)
         "GetModuleHandleA", "GetProcAddress",
         // runtime: GCC's frame registration looks for a libgcc DLL (GCC build only)
         "LoadLibraryA", "FreeLibrary",
         // runtime: the DLL start-up lock
         "Sleep",
         // runtime: per-thread destructors of the MinGW TLS support
         "TlsGetValue", "DeleteCriticalSection",
         // runtime: pseudo-relocations at load
         "VirtualProtect", "VirtualQuery",
         // runtime: the MinGW printf's multibyte conversions and their code page lookup
         "MultiByteToWideChar", "WideCharToMultiByte", "IsDBCSLeadByteEx", "GetModuleHandleW",
     }},
    {"USER32.dll",
     {
         // string table, status bar, host version question, WM_TIMECHANGE
         "LoadStringA", "SendMessageA", "PostMessageA",
         // the property pages
         "GetDlgItem", "SetDlgItemTextA", "GetDlgItemTextA", "SetDlgItemInt", "GetDlgItemInt",
         "SendDlgItemMessageA", "CheckDlgButton", "IsDlgButtonChecked", "EnableWindow", "GetWindowLongA",
         "SetWindowLongA",
#if !defined(__i386__)
         // the pages' context slot on x86-64 (in 32-bit builds these names are macros for the two above)
         "GetWindowLongPtrA", "SetWindowLongPtrA",
#endif
     }},
    {"COMCTL32.dll",
     {
         "InitCommonControls",  // at load, for the up-down control
         "CreatePropertySheetPageA", "DestroyPropertySheetPage", "PropertySheetA",
     }},
    {"ADVAPI32.dll",
     {
         // the request's nonce, from the system's cryptographic random generator (Windows 2000 and later)
         "CryptAcquireContextA", "CryptGenRandom", "CryptReleaseContext",
     }},
    {"WSOCK32.dll",
     {
         // Windows Sockets 1.1: the exchange, the lookup, the settings' default port
         "socket", "closesocket", "sendto", "recvfrom", "WSAAsyncSelect", "WSAAsyncGetHostByName",
         "WSACancelAsyncRequest", "WSAGetLastError", "inet_addr", "htons", "ntohs", "getservbyname",
     }},
    {"msvcrt.dll",
     {
         // the module's own code (and what the compiler emits for copies)
         "memcpy", "memmove", "memset", "strchr", "strlen",
         // runtime: the DLL start-up and its exit table
         "_initterm", "_amsg_exit", "_lock", "_unlock", "malloc", "calloc", "realloc", "free",
         // runtime: the MinGW printf behind snprintf (number conversion, locale, wide strings)
         "localeconv", "setlocale", "atoi", "__mb_cur_max", "_errno", "strerror", "wcslen", "fputc",
         // runtime: pseudo-relocation and TLS errors are reported on stderr, then abort
         "_iob", "fwrite", "vfprintf", "abort", "strncmp",
#if !defined(__i386__)
         // runtime of the x86-64 build: the code page, __mb_cur_max and _iob through functions
         "___lc_codepage_func", "___mb_cur_max_func", "__iob_func",
#endif
     }},
};

TEST_F(Exports, ImportsOnlyTheSystemFunctionsItIsMeantToUse) {
  auto* base = reinterpret_cast<const uint8_t*>(module_);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  int imported = 0;
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name != 0; ++d) {
    const char* dll = reinterpret_cast<const char*>(base + d->Name);
    const AllowedImports* allowed = nullptr;
    for (const AllowedImports& a : kAllowedImports) {
      if (lstrcmpiA(a.dll, dll) == 0) allowed = &a;
    }
    EXPECT_NE(allowed, nullptr) << "unexpected import of " << dll;
    if (allowed == nullptr) continue;
    ASSERT_NE(d->OriginalFirstThunk, 0u) << dll << " has no import name table";
    for (auto* t = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk); t->u1.AddressOfData != 0;
         ++t) {
      if (IMAGE_SNAP_BY_ORDINAL(t->u1.Ordinal)) {
        ADD_FAILURE() << "import from " << dll << " by ordinal " << IMAGE_ORDINAL(t->u1.Ordinal);
        continue;
      }
      const char* name =
          reinterpret_cast<const char*>(reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + t->u1.AddressOfData)->Name);
      bool ok = false;
      for (const char* f : allowed->functions) ok = ok || std::strcmp(f, name) == 0;
      EXPECT_TRUE(ok) << "unexpected import of " << name << " from " << dll;
      ++imported;
    }
  }
  EXPECT_GT(imported, 50) << "the import table was not read";
  EXPECT_NE(nt->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, 0);
  EXPECT_NE(nt->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT, 0);
  // A movable image needs its base relocations.
  EXPECT_EQ(nt->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED, 0);
  EXPECT_NE(nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 0u);
}

}  // namespace

// The stdcall probe is i386 code; x86-64 has one calling convention.
#if defined(__i386__)
namespace {

int __cdecl caller_cleans(int a, int b) { return a + b; }
int __stdcall callee_cleans(int a, int b) { return a * b; }

// The probe itself must tell the two conventions apart, or the checks above prove nothing.
TEST(StdcallProbe, TellsTheConventionsApart) {
  StdcallOutcome cdecl_call = call_stdcall(reinterpret_cast<const void*>(&caller_cleans), {2, 3});
  EXPECT_EQ(cdecl_call.result, 5u);
  EXPECT_EQ(cdecl_call.stack_error, 8);
  StdcallOutcome std_call = call_stdcall(reinterpret_cast<const void*>(&callee_cleans), {2, 3});
  EXPECT_EQ(std_call.result, 6u);
  EXPECT_EQ(std_call.stack_error, 0);
}

}  // namespace
#endif

#include "plugin_runs.h"

#include <cstring>
#include <utility>

#include "import_patch.h"

namespace {

constexpr UINT_PTR kTickTimer = 1;
constexpr UINT kTickPeriodMs = 1000;  // the host's timer period

// The module's clock changes: counted, reported as done, never made; and
// how far each would have put the clock from the real time.
size_t g_clock_moves;
std::vector<int64_t> g_step_errors;
BOOL WINAPI recorded_set_system_time(const SYSTEMTIME* t) {
  ++g_clock_moves;
  FILETIME asked, now;
  GetSystemTimePreciseAsFileTime(&now);
  if (SystemTimeToFileTime(t, &asked)) {
    const auto units = [](const FILETIME& f) { return (int64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime; };
    g_step_errors.push_back(units(asked) - units(now));
  }
  return TRUE;
}
BOOL WINAPI recorded_set_local_time(const SYSTEMTIME*) { return TRUE; }

bool record_clock_changes(HMODULE module, std::string* error) {
  // Without both patches a check could reach the real clock: refuse to run.
  if (patch_import(module, "KERNEL32.dll", "SetSystemTime", reinterpret_cast<const void*>(&recorded_set_system_time)) ==
          nullptr ||
      patch_import(module, "KERNEL32.dll", "SetLocalTime", reinterpret_cast<const void*>(&recorded_set_local_time)) ==
          nullptr) {
    *error = "cannot patch the module's SetSystemTime and SetLocalTime";
    return false;
  }
  return true;
}

bool watch_precise_clock(HMODULE module, std::string* error);

bool load_patched(PluginRig* rig, std::string* error) {
  if (!load_plugin(plugin_path(), &rig->api, error)) return false;
  if (!rig->api.start || !rig->api.timer || !rig->api.item_check_end || !rig->api.initialize ||
      !rig->api.init_item) {
    *error = "the module lacks check operations";
    return false;
  }
  return record_clock_changes(rig->api.module, error) && watch_precise_clock(rig->api.module, error);
}

void forget_messages(HostWindow* host) {
  host->check_ends.clear();
  host->calls.clear();
  host->status_lines.clear();
}

// A lookup still running must finish before its check ends: Wine does not
// stop a cancelled lookup, which would then write into freed memory.
void release_check(PluginRig* rig, CheckItem* item) {
  if (item->lookup_handle != 0) pump_messages_until([&] { return item->lookup_handle == 0; }, 5000);
  rig->api.item_check_end(rig->host.window, item);
  rig->over.erase(item);
}

bool usable(WPARAM result) { return result == CHECK_OK_QUIET || result == CHECK_CHANGED; }

}  // namespace

bool open_rig(PluginRig* rig, uint16_t port, std::string* error) {
  rig->port = port;
  if (!load_patched(rig, error)) return false;
  if (!create_host_window(&rig->host, &rig->api)) {
    *error = "cannot create the host window";
    return false;
  }
  rig->host.on_check_end = [rig](const CheckEnd& end) {
    rig->last_end = ticks_now();
    ++rig->ended;
    rig->over.insert(end.item);
  };
  // The host ticks each item whose check runs, and stops once it has ended.
  rig->host.on_message = [rig](UINT message, WPARAM, LPARAM) {
    if (message == MSG_SOCKET_EVENT && rig->first_event == 0) rig->first_event = ticks_now();
    if (message != WM_TIMER) return;
    for (CheckItem* item : rig->host.items) {
      if (item->probe != nullptr && rig->over.count(item) == 0) rig->api.timer(rig->host.window, item);
    }
  };
  SetTimer(rig->host.window, kTickTimer, kTickPeriodMs, nullptr);
  return true;
}

void set_tick_period(PluginRig* rig, UINT period_ms) {
  SetTimer(rig->host.window, kTickTimer, period_ms, nullptr);
}

std::vector<int64_t> take_step_errors() { return std::exchange(g_step_errors, {}); }

void close_rig(PluginRig* rig) {
  remove_items(rig);
  if (rig->host.window != nullptr) KillTimer(rig->host.window, kTickTimer);
  destroy_host_window(&rig->host);
  unload_plugin(&rig->api);
  rig->clock_moves = g_clock_moves;
}

bool reload_plugin(PluginRig* rig, std::string* error) {
  unload_plugin(&rig->api);
  return load_patched(rig, error);
}

CheckItem* add_item(PluginRig* rig, const std::string& server, const std::string& clock_options, uint16_t port) {
  CheckItem* item = new_item();
  if (item == nullptr) return nullptr;
  set_item_text(&item->address, ("sntp://" + server).c_str());
  set_item_text(&item->options, (std::to_string(port != 0 ? port : rig->port) + ";" + clock_options).c_str());
  rig->host.items.push_back(item);
  return item;
}

void remove_items(PluginRig* rig) {
  for (CheckItem* item : rig->host.items) {
    if (item->probe != nullptr) release_check(rig, item);
    free_item(item);
  }
  rig->host.items.clear();
}

CheckTiming run_check(PluginRig* rig, CheckItem* item, DWORD timeout_ms) {
  const HWND window = rig->host.window;
  forget_messages(&rig->host);
  rig->api.initialize(window, item);
  rig->api.init_item(window, item);
  const size_t target = rig->ended + 1;
  rig->first_event = 0;

  const int64_t started = ticks_now();
  const int result = rig->api.start(window, item);
  const int64_t returned = ticks_now();
  if (result == kOpNoFailure) pump_messages_until([&] { return rig->ended >= target; }, timeout_ms);

  CheckTiming t;
  t.ended = rig->ended >= target;
  if (t.ended) {
    t.result = rig->host.check_ends.back().result;
    t.total_us = ticks_to_us(rig->last_end - started);
    t.start_us = ticks_to_us(returned - started);
    if (rig->first_event != 0) {
      t.wait_us = ticks_to_us(rig->first_event - returned);
      t.reply_us = ticks_to_us(rig->last_end - rig->first_event);
    }
  }
  release_check(rig, item);
  rig->clock_moves = g_clock_moves;
  return t;
}

BatchTiming run_all_at_once(PluginRig* rig, DWORD timeout_ms) {
  const HWND window = rig->host.window;
  forget_messages(&rig->host);
  for (CheckItem* item : rig->host.items) {
    rig->api.initialize(window, item);
    rig->api.init_item(window, item);
  }
  const size_t target = rig->ended + rig->host.items.size();

  const double cpu_before = thread_cpu_us();
  const int64_t started = ticks_now();
  for (CheckItem* item : rig->host.items) rig->api.start(window, item);
  pump_messages_until([&] { return rig->ended >= target; }, timeout_ms);
  BatchTiming b;
  b.cpu_us = thread_cpu_us() - cpu_before;
  b.total_ms = ticks_to_us(rig->last_end - started) / 1000.0;

  for (const CheckEnd& end : rig->host.check_ends) b.answered += usable(end.result);
  for (CheckItem* item : rig->host.items) release_check(rig, item);
  rig->clock_moves = g_clock_moves;
  return b;
}

// ---- the module's clock readings

namespace {

std::vector<uint64_t> g_readings;
bool g_recording;

void WINAPI recorded_precise_clock(LPFILETIME t) {
  GetSystemTimePreciseAsFileTime(t);
  if (g_recording) g_readings.push_back((uint64_t{t->dwHighDateTime} << 32) | t->dwLowDateTime);
}

FARPROC WINAPI clock_recording_get_proc_address(HMODULE module, LPCSTR name) {
  if ((reinterpret_cast<uintptr_t>(name) >> 16) != 0 && std::strcmp(name, "GetSystemTimePreciseAsFileTime") == 0) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&recorded_precise_clock));
  }
  return GetProcAddress(module, name);
}

// The module looks its precise clock up once per load, at its first reading:
// it is handed the recording one from the start, which records only while a
// ClockReadings lives.
bool watch_precise_clock(HMODULE module, std::string* error) {
  if (patch_import(module, "KERNEL32.dll", "GetProcAddress",
                   reinterpret_cast<const void*>(&clock_recording_get_proc_address)) == nullptr) {
    *error = "cannot patch the module's GetProcAddress";
    return false;
  }
  return true;
}

}  // namespace

ClockReadings::ClockReadings(PluginRig*) {
  g_readings.clear();
  g_readings.reserve(64);
  g_recording = true;
}

ClockReadings::~ClockReadings() { g_recording = false; }

void ClockReadings::clear() { g_readings.clear(); }
const std::vector<uint64_t>& ClockReadings::readings() const { return g_readings; }

// ---- time inside the module's imports

namespace {

enum ImportId {
  kSocket,
  kAsyncSelect,
  kSendto,
  kRecvfrom,
  kInetAddr,
  kGlobalAlloc,
  kGlobalFree,
  kLstrcmpi,
  kGetModuleHandle,
  kGetProcAddress,
  kSendDlgItemMessage,
  kSendMessage,
  kPostMessage,
  kImportCount
};

struct ImportTimer {
  const char* dll;
  const char* name;
  const void* wrapper;
  void* original;
  int64_t ticks;
  int64_t calls;
};
extern ImportTimer g_timers[kImportCount];

template <typename Fn>
Fn original(ImportId id) {
  return reinterpret_cast<Fn>(g_timers[id].original);
}

struct Timed {
  explicit Timed(ImportId id) : id_(id), start_(ticks_now()) {}
  ~Timed() {
    g_timers[id_].ticks += ticks_now() - start_;
    ++g_timers[id_].calls;
  }
  ImportId id_;
  int64_t start_;
};

SOCKET WSAAPI timed_socket(int af, int type, int protocol) {
  Timed t(kSocket);
  return original<decltype(&::socket)>(kSocket)(af, type, protocol);
}
int WSAAPI timed_async_select(SOCKET s, HWND window, u_int message, long events) {
  Timed t(kAsyncSelect);
  return original<decltype(&::WSAAsyncSelect)>(kAsyncSelect)(s, window, message, events);
}
int WSAAPI timed_sendto(SOCKET s, const char* data, int length, int flags, const sockaddr* to, int to_length) {
  Timed t(kSendto);
  return original<decltype(&::sendto)>(kSendto)(s, data, length, flags, to, to_length);
}
int WSAAPI timed_recvfrom(SOCKET s, char* data, int length, int flags, sockaddr* from, int* from_length) {
  Timed t(kRecvfrom);
  return original<decltype(&::recvfrom)>(kRecvfrom)(s, data, length, flags, from, from_length);
}
unsigned long WSAAPI timed_inet_addr(const char* text) {
  Timed t(kInetAddr);
  return original<decltype(&::inet_addr)>(kInetAddr)(text);
}
HGLOBAL WINAPI timed_global_alloc(UINT flags, SIZE_T size) {
  Timed t(kGlobalAlloc);
  return original<decltype(&::GlobalAlloc)>(kGlobalAlloc)(flags, size);
}
HGLOBAL WINAPI timed_global_free(HGLOBAL block) {
  Timed t(kGlobalFree);
  return original<decltype(&::GlobalFree)>(kGlobalFree)(block);
}
int WINAPI timed_lstrcmpi(LPCSTR a, LPCSTR b) {
  Timed t(kLstrcmpi);
  return original<decltype(&::lstrcmpiA)>(kLstrcmpi)(a, b);
}
HMODULE WINAPI timed_get_module_handle(LPCSTR name) {
  Timed t(kGetModuleHandle);
  return original<decltype(&::GetModuleHandleA)>(kGetModuleHandle)(name);
}
FARPROC WINAPI timed_get_proc_address(HMODULE module, LPCSTR name) {
  Timed t(kGetProcAddress);
  return original<decltype(&::GetProcAddress)>(kGetProcAddress)(module, name);
}
LRESULT WINAPI timed_send_dlg_item_message(HWND window, int id, UINT message, WPARAM wparam, LPARAM lparam) {
  Timed t(kSendDlgItemMessage);
  return original<decltype(&::SendDlgItemMessageA)>(kSendDlgItemMessage)(window, id, message, wparam, lparam);
}
LRESULT WINAPI timed_send_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  Timed t(kSendMessage);
  return original<decltype(&::SendMessageA)>(kSendMessage)(window, message, wparam, lparam);
}
BOOL WINAPI timed_post_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  Timed t(kPostMessage);
  return original<decltype(&::PostMessageA)>(kPostMessage)(window, message, wparam, lparam);
}

template <typename Fn>
const void* as_pointer(Fn fn) {
  return reinterpret_cast<const void*>(fn);
}

ImportTimer g_timers[kImportCount] = {
    {"WSOCK32.DLL", "socket", as_pointer(&timed_socket), nullptr, 0, 0},
    {"WSOCK32.DLL", "WSAAsyncSelect", as_pointer(&timed_async_select), nullptr, 0, 0},
    {"WSOCK32.DLL", "sendto", as_pointer(&timed_sendto), nullptr, 0, 0},
    {"WSOCK32.DLL", "recvfrom", as_pointer(&timed_recvfrom), nullptr, 0, 0},
    {"WSOCK32.DLL", "inet_addr", as_pointer(&timed_inet_addr), nullptr, 0, 0},
    {"KERNEL32.dll", "GlobalAlloc", as_pointer(&timed_global_alloc), nullptr, 0, 0},
    {"KERNEL32.dll", "GlobalFree", as_pointer(&timed_global_free), nullptr, 0, 0},
    {"KERNEL32.dll", "lstrcmpiA", as_pointer(&timed_lstrcmpi), nullptr, 0, 0},
    {"KERNEL32.dll", "GetModuleHandleA", as_pointer(&timed_get_module_handle), nullptr, 0, 0},
    {"KERNEL32.dll", "GetProcAddress", as_pointer(&timed_get_proc_address), nullptr, 0, 0},
    {"USER32.dll", "SendDlgItemMessageA", as_pointer(&timed_send_dlg_item_message), nullptr, 0, 0},
    {"USER32.dll", "SendMessageA", as_pointer(&timed_send_message), nullptr, 0, 0},
    {"USER32.dll", "PostMessageA", as_pointer(&timed_post_message), nullptr, 0, 0},
};

}  // namespace

ImportProfile::ImportProfile(PluginRig* rig) : module_(rig->api.module) {
  for (ImportTimer& timer : g_timers) {
    timer.ticks = 0;
    timer.calls = 0;
    timer.original = patch_import(module_, timer.dll, timer.name, timer.wrapper);
  }
}

ImportProfile::~ImportProfile() {
  for (ImportTimer& timer : g_timers) {
    if (timer.original != nullptr) patch_import(module_, timer.dll, timer.name, timer.original);
    timer.original = nullptr;
  }
}

std::vector<ImportCost> ImportProfile::costs() const {
  std::vector<ImportCost> out;
  for (const ImportTimer& timer : g_timers) {
    if (timer.original != nullptr) out.push_back({timer.name, ticks_to_us(timer.ticks), timer.calls});
  }
  return out;
}

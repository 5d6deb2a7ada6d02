#include "plugin_watch.h"

#include <commctrl.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "host_side.h"
#include "import_patch.h"

namespace {

constexpr uintptr_t kFakeLookupBase = 0x70000000;

// The knobs a test turns; reset_plugin_fakes() brings back these defaults.
struct Knobs {
  int fail_at = 0;  // the n-th GlobalAlloc call fails
  SIZE_T fail_size = 0;
  int socket_errors[5] = {};  // by SocketCall, once each

  int64_t coarse_skew = 0;
  int64_t running_offset = 0;  // added to the real clocks while no clock is set
  bool precise_hidden = false;
  bool clock_changes_through = false;
  bool fail_local_time = false;

  bool fake_lookups = true;
  int lookup_error = 0;
  bool empty_lookups = false;
  bool hold = false;

  int pages_before_failure = -1;
  RandomSource random = RandomSource::kSystem;
};

struct Watch {
  HMODULE module = nullptr;
  Knobs knobs;
  std::mutex mutex;  // the plug-in calls from the window thread only; the counts are read from tests
  std::unordered_map<const void*, SIZE_T> blocks;
  std::vector<SIZE_T> sizes;
  int calls = 0;
  bool failed = false;
  SIZE_T failed_size = 0;

  std::unordered_set<SOCKET> sockets;
  std::vector<SOCKET> closed;
  int foreign_closes = 0;
  int sent = 0;
  int refused = 0;
  uint16_t last_port = 0;
  std::unordered_map<uint16_t, int> sent_to;

  int clock_changes = 0;
  std::vector<SYSTEMTIME> system_times, local_times;
  int broadcasts = 0;

  // The plug-in's counter: never reset, never run back; also read by a
  // scripted server's thread.
  std::atomic<DWORD> ticks{GetTickCount()};
  // The plug-in's clock while a test sets one (0: the real clocks); a
  // scripted server's thread may move it on, as time passing on the way.
  std::atomic<uint64_t> clock{0};

  uintptr_t next_lookup = kFakeLookupBase;
  std::vector<std::string> names;
  std::vector<HANDLE> cancelled;
  struct Held {
    HWND window;
    u_int message;
    HANDLE handle;
    char* buffer;
    int length;
  };
  std::vector<Held> held;
};
Watch w;

struct Real {
  decltype(&::GlobalAlloc) global_alloc;
  decltype(&::GlobalFree) global_free;
  decltype(&::socket) socket;
  decltype(&::closesocket) closesocket;
  decltype(&::WSAAsyncSelect) async_select;
  decltype(&::sendto) sendto;
  decltype(&::recvfrom) recvfrom;
  decltype(&::WSAAsyncGetHostByName) lookup;
  decltype(&::WSACancelAsyncRequest) cancel;
  decltype(&::PostMessageA) post;
  decltype(&::GetSystemTimeAsFileTime) coarse_clock;
  decltype(&::SystemTimeToTzSpecificLocalTime) to_local;
  decltype(&::SetSystemTime) set_system_time;
  decltype(&::SetLocalTime) set_local_time;
  decltype(&::CreatePropertySheetPageA) create_page;
  decltype(&::CryptGenRandom) random;
} real;

// True, with the error set, when the test asked this call to fail (once).
bool failing(SocketCall call) {
  int& error = w.knobs.socket_errors[static_cast<int>(call)];
  if (error == 0) return false;
  WSASetLastError(error);
  error = 0;
  return true;
}

HGLOBAL WINAPI watched_global_alloc(UINT flags, SIZE_T size) {
  {
    std::lock_guard<std::mutex> lock(w.mutex);
    ++w.calls;
    w.sizes.push_back(size);
    if (w.calls == w.knobs.fail_at || (w.knobs.fail_size != 0 && size == w.knobs.fail_size)) {
      w.failed = true;
      w.failed_size = size;
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
  HGLOBAL block = real.global_alloc(flags, size);
  if (block != nullptr) {
    std::lock_guard<std::mutex> lock(w.mutex);
    w.blocks[block] = size;
  }
  return block;
}

HGLOBAL WINAPI watched_global_free(HGLOBAL block) {
  {
    std::lock_guard<std::mutex> lock(w.mutex);
    w.blocks.erase(block);
  }
  return real.global_free(block);
}

SOCKET WINAPI watched_socket(int af, int type, int protocol) {
  if (failing(SocketCall::kSocket)) return INVALID_SOCKET;
  SOCKET s = real.socket(af, type, protocol);
  if (s != INVALID_SOCKET) {
    std::lock_guard<std::mutex> lock(w.mutex);
    w.sockets.insert(s);
  }
  return s;
}

int WINAPI watched_closesocket(SOCKET s) {
  {
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.sockets.erase(s) == 0) ++w.foreign_closes;
    w.closed.push_back(s);
  }
  return real.closesocket(s);
}

int WINAPI watched_async_select(SOCKET s, HWND window, u_int message, long events) {
  if (events != 0 && failing(SocketCall::kReadRequest)) return SOCKET_ERROR;
  return real.async_select(s, window, message, events);
}

int WINAPI guarded_sendto(SOCKET s, const char* data, int length, int flags, const sockaddr* to, int to_length) {
  if (failing(SocketCall::kSend)) return SOCKET_ERROR;
  if (to != nullptr && to_length >= static_cast<int>(sizeof(sockaddr_in)) && to->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(to);
    if ((ntohl(in->sin_addr.s_addr) >> 24) != 127) {
      ++w.refused;
      WSASetLastError(WSAEACCES);
      return SOCKET_ERROR;
    }
  }
  ++w.sent;
  if (to != nullptr && to->sa_family == AF_INET) {
    w.last_port = ntohs(reinterpret_cast<const sockaddr_in*>(to)->sin_port);
    ++w.sent_to[w.last_port];
  }
  return real.sendto(s, data, length, flags, to, to_length);
}

int WINAPI watched_recvfrom(SOCKET s, char* data, int length, int flags, sockaddr* from, int* from_length) {
  if (failing(SocketCall::kRead)) return SOCKET_ERROR;
  return real.recvfrom(s, data, length, flags, from, from_length);
}

BOOL WINAPI watched_random(HCRYPTPROV provider, DWORD length, BYTE* buffer) {
  if (w.knobs.random != RandomSource::kNone) return real.random(provider, length, buffer);
  SetLastError(static_cast<DWORD>(NTE_FAIL));
  return FALSE;
}

BOOLEAN WINAPI failing_rtl_gen_random(PVOID, ULONG) { return FALSE; }

// Writes a host entry into the caller's buffer, pointing into itself and
// listing 127.0.0.1 or no address (unless the lookup fails), and posts the
// completion.
void complete_lookup(const Watch::Held& lookup) {
  struct Entry {
    hostent h;
    char* aliases[1];
    char* list[2];
    uint32_t address;
    char name[8];
  };
  if (w.knobs.lookup_error == 0 && lookup.length >= static_cast<int>(sizeof(Entry))) {
    auto* e = reinterpret_cast<Entry*>(lookup.buffer);
    *e = Entry{};
    std::memcpy(e->name, "fake", 5);
    e->address = inet_addr("127.0.0.1");
    if (!w.knobs.empty_lookups) e->list[0] = reinterpret_cast<char*>(&e->address);
    e->h = hostent{e->name, e->aliases, AF_INET, 4, e->list};
  }
  PostMessageA(lookup.window, lookup.message, reinterpret_cast<WPARAM>(lookup.handle),
               WSAMAKEASYNCREPLY(0, w.knobs.lookup_error));
}

HANDLE WINAPI watched_lookup(HWND window, u_int message, const char* name, char* buffer, int length) {
  w.names.emplace_back(name != nullptr ? name : "");
  if (failing(SocketCall::kLookup)) return nullptr;
  if (!w.knobs.fake_lookups) return real.lookup(window, message, name, buffer, length);
  const Watch::Held lookup{window, message, reinterpret_cast<HANDLE>(++w.next_lookup), buffer, length};
  if (w.knobs.hold) {
    w.held.push_back(lookup);
  } else {
    complete_lookup(lookup);
  }
  return lookup.handle;
}

int WINAPI watched_cancel(HANDLE lookup) {
  w.cancelled.push_back(lookup);
  if (reinterpret_cast<uintptr_t>(lookup) > kFakeLookupBase) return 0;
  return real.cancel(lookup);
}

FILETIME as_filetime(uint64_t t) { return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)}; }

// The real time by the precise clock (the coarse one where the system has
// none, or when asked), off by the running offset.
uint64_t real_clock(bool coarse) {
  using PreciseClock = VOID(WINAPI*)(LPFILETIME);
  static const auto precise = reinterpret_cast<PreciseClock>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
  FILETIME t;
  (coarse || precise == nullptr ? real.coarse_clock : precise)(&t);
  return ((uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) + static_cast<uint64_t>(w.knobs.running_offset);
}

// The clocks the plug-in reads: the test's clock while one is set, else the
// real ones (the precise one it finds through GetProcAddress, once per load).
void WINAPI watched_precise_clock(LPFILETIME t) {
  const uint64_t clock = w.clock;
  *t = as_filetime(clock != 0 ? clock : real_clock(false));
}

void WINAPI watched_coarse_clock(LPFILETIME t) {
  const uint64_t clock = w.clock;
  *t = as_filetime(clock != 0 ? clock + static_cast<uint64_t>(w.knobs.coarse_skew) : real_clock(true));
}

DWORD WINAPI watched_ticks() { return w.ticks; }

BOOL WINAPI watched_to_local(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* utc, SYSTEMTIME* local) {
  if (!w.knobs.fail_local_time) return real.to_local(zone, utc, local);
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

FARPROC WINAPI watched_get_proc_address(HMODULE module, LPCSTR name) {
  if (HIWORD(name) != 0 && std::strcmp(name, "GetSystemTimePreciseAsFileTime") == 0) {
    if (w.knobs.precise_hidden) return nullptr;
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&watched_precise_clock));
  }
  if (HIWORD(name) != 0 && std::strcmp(name, "SystemFunction036") == 0) {
    if (w.knobs.random == RandomSource::kCryptoApiOnly) return nullptr;
    if (w.knobs.random == RandomSource::kNone) {
      return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&failing_rtl_gen_random));
    }
  }
  return GetProcAddress(module, name);
}

BOOL WINAPI recorded_set_system_time(const SYSTEMTIME* t) {
  ++w.clock_changes;
  w.system_times.push_back(*t);
  return w.knobs.clock_changes_through ? real.set_system_time(t) : TRUE;
}

BOOL WINAPI recorded_set_local_time(const SYSTEMTIME* t) {
  w.local_times.push_back(*t);
  return w.knobs.clock_changes_through ? real.set_local_time(t) : TRUE;
}

BOOL WINAPI watched_post(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (window == HWND_BROADCAST && message == WM_TIMECHANGE) {
    ++w.broadcasts;
    if (!w.knobs.clock_changes_through) return TRUE;
  }
  return real.post(window, message, wparam, lparam);
}

HPROPSHEETPAGE WINAPI watched_create_page(LPCPROPSHEETPAGEA page) {
  if (w.knobs.pages_before_failure == 0) return nullptr;
  if (w.knobs.pages_before_failure > 0) --w.knobs.pages_before_failure;
  return real.create_page(page);
}

template <typename Fn>
bool patch(const char* dll, const char* name, Fn replacement, Fn* original = nullptr) {
  void* previous = patch_import(w.module, dll, name, reinterpret_cast<const void*>(replacement));
  if (original != nullptr) *original = reinterpret_cast<Fn>(previous);
  return previous != nullptr;
}

}  // namespace

void unwatch_plugin() { w.module = nullptr; }

bool watch_plugin(HMODULE module) {
  if (module == nullptr) return false;
  if (w.module == module) return true;
  w.module = module;
  bool ok = patch("KERNEL32.dll", "GlobalAlloc", &watched_global_alloc, &real.global_alloc);
  ok &= patch("KERNEL32.dll", "GlobalFree", &watched_global_free, &real.global_free);
  ok &= patch("KERNEL32.dll", "GetProcAddress", &watched_get_proc_address);
  ok &= patch("KERNEL32.dll", "GetSystemTimeAsFileTime", &watched_coarse_clock, &real.coarse_clock);
  ok &= patch("KERNEL32.dll", "GetTickCount", &watched_ticks);
  ok &= patch("KERNEL32.dll", "SystemTimeToTzSpecificLocalTime", &watched_to_local, &real.to_local);
  ok &= patch("KERNEL32.dll", "SetSystemTime", &recorded_set_system_time, &real.set_system_time);
  ok &= patch("KERNEL32.dll", "SetLocalTime", &recorded_set_local_time, &real.set_local_time);
  ok &= patch("USER32.dll", "PostMessageA", &watched_post, &real.post);
  ok &= patch("COMCTL32.dll", "CreatePropertySheetPageA", &watched_create_page, &real.create_page);
  ok &= patch("WSOCK32.DLL", "socket", &watched_socket, &real.socket);
  ok &= patch("WSOCK32.DLL", "closesocket", &watched_closesocket, &real.closesocket);
  ok &= patch("WSOCK32.DLL", "WSAAsyncSelect", &watched_async_select, &real.async_select);
  ok &= patch("WSOCK32.DLL", "sendto", &guarded_sendto, &real.sendto);
  ok &= patch("WSOCK32.DLL", "recvfrom", &watched_recvfrom, &real.recvfrom);
  ok &= patch("WSOCK32.DLL", "WSAAsyncGetHostByName", &watched_lookup, &real.lookup);
  ok &= patch("WSOCK32.DLL", "WSACancelAsyncRequest", &watched_cancel, &real.cancel);
  ok &= patch("ADVAPI32.dll", "CryptGenRandom", &watched_random, &real.random);
  return ok;
}

void reset_plugin_fakes() {
  std::lock_guard<std::mutex> lock(w.mutex);
  w.knobs = Knobs{};
  w.clock = 0;
  w.closed.clear();
  w.cancelled.clear();
  w.system_times.clear();
  w.local_times.clear();
}

size_t plugin_blocks() {
  std::lock_guard<std::mutex> lock(w.mutex);
  return w.blocks.size();
}

size_t plugin_own_blocks(const std::vector<const CheckItem*>& items) {
  std::unordered_set<const void*> handed;
  for (const CheckItem* item : items) {
    for (const char* text : {item->title, item->address, item->offset_text, item->changed_text, item->options,
                             item->comment, item->error_text, item->server_info}) {
      if (text != nullptr) handed.insert(text);
    }
  }
  std::lock_guard<std::mutex> lock(w.mutex);
  size_t own = 0;
  for (const auto& [block, size] : w.blocks) own += handed.count(block) == 0;
  return own;
}

std::vector<Block> plugin_block_list() {
  std::lock_guard<std::mutex> lock(w.mutex);
  std::vector<Block> list;
  for (const auto& [block, size] : w.blocks) list.push_back({block, size});
  return list;
}

CacheBlocks plugin_cache_block_kinds() {
  const std::unordered_set<std::string> names(w.names.begin(), w.names.end());
  std::lock_guard<std::mutex> lock(w.mutex);
  CacheBlocks cache;
  for (const auto& [block, size] : w.blocks) {
    const char* text = static_cast<const char*>(block);
    if (size % kCacheGrowth == 0) {
      ++cache.arrays;
    } else if (size > 0 && text[size - 1] == '\0' && std::strlen(text) + 1 == size && names.count(text) != 0) {
      ++cache.names;
    }
  }
  return cache;
}

size_t plugin_cache_blocks() {
  const CacheBlocks cache = plugin_cache_block_kinds();
  return cache.arrays + cache.names;
}

void hand_over(const void* block) {
  std::lock_guard<std::mutex> lock(w.mutex);
  w.blocks.erase(block);
}

void free_watched_item(CheckItem* item) {
  if (item == nullptr) return;
  for (const char* text : {item->title, item->address, item->offset_text, item->changed_text, item->options,
                           item->comment, item->error_text, item->server_info}) {
    if (text != nullptr) hand_over(text);
  }
  free_item(item);
}

int alloc_calls() { return w.calls; }

void reset_alloc_calls() {
  std::lock_guard<std::mutex> lock(w.mutex);
  w.calls = 0;
  w.sizes.clear();
}

const std::vector<SIZE_T>& alloc_sizes() { return w.sizes; }

void fail_alloc_call(int n) {
  std::lock_guard<std::mutex> lock(w.mutex);
  w.calls = 0;
  w.sizes.clear();
  w.knobs.fail_at = n;
  w.failed = false;
  w.failed_size = 0;
}

void fail_alloc_size(SIZE_T size) {
  std::lock_guard<std::mutex> lock(w.mutex);
  w.knobs.fail_size = size;
  w.failed = false;
  w.failed_size = 0;
}

void stop_failing_allocs() {
  std::lock_guard<std::mutex> lock(w.mutex);
  w.knobs.fail_at = 0;
  w.knobs.fail_size = 0;
}

bool alloc_failed() { return w.failed; }
SIZE_T failed_alloc_size() { return w.failed_size; }

size_t plugin_sockets() {
  std::lock_guard<std::mutex> lock(w.mutex);
  return w.sockets.size();
}

int foreign_closes() { return w.foreign_closes; }
std::vector<SOCKET>& closed_sockets() { return w.closed; }
int datagrams_sent() { return w.sent; }
int datagrams_refused() { return w.refused; }
uint16_t last_destination_port() { return w.last_port; }
int datagrams_sent_to(uint16_t port) { return w.sent_to[port]; }

void fail_next(SocketCall call, int error) { w.knobs.socket_errors[static_cast<int>(call)] = error; }

void fake_lookups(bool on, int error) {
  w.knobs.fake_lookups = on;
  w.knobs.lookup_error = error;
}

void fake_empty_lookups(bool empty) { w.knobs.empty_lookups = empty; }

void hold_lookups(bool on) { w.knobs.hold = on; }

int complete_held_lookups() {
  const std::vector<Watch::Held> held = std::move(w.held);
  w.held.clear();
  for (const Watch::Held& lookup : held) complete_lookup(lookup);
  return static_cast<int>(held.size());
}

const std::vector<std::string>& looked_up_names() { return w.names; }
void clear_looked_up_names() { w.names.clear(); }
std::vector<HANDLE>& cancelled_lookups() { return w.cancelled; }

void run_plugin_clock_off_by(int64_t offset) {
  w.clock = 0;
  w.knobs.running_offset = offset;
}

void set_plugin_clock(uint64_t now, int64_t coarse_skew) {
  w.clock = now;
  w.knobs.coarse_skew = coarse_skew;
}

void hide_precise_clock(bool hidden) { w.knobs.precise_hidden = hidden; }
void advance_plugin_ticks(DWORD ms) { w.ticks += ms; }
DWORD plugin_ticks() { return watched_ticks(); }
void fail_local_time_conversion(bool fail) { w.knobs.fail_local_time = fail; }
void let_clock_changes_through(bool through) { w.knobs.clock_changes_through = through; }
int clock_changes() { return w.clock_changes; }
std::vector<SYSTEMTIME>& system_times_set() { return w.system_times; }
std::vector<SYSTEMTIME>& local_times_set() { return w.local_times; }
int time_change_broadcasts() { return w.broadcasts; }

void fail_pages_after(int pages) { w.knobs.pages_before_failure = pages; }

void set_random_source(RandomSource source) { w.knobs.random = source; }

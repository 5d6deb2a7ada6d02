#include "plugin_watch.h"

#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "host_side.h"
#include "import_patch.h"

namespace {

constexpr int64_t kUnitsPerSecond = 10'000'000;
constexpr uint64_t kNtpEpochInFiletimeSeconds = 9435484800ull;  // 1601-01-01 to 1900-01-01
constexpr uintptr_t kFakeLookupBase = 0x70000000;

struct Watch {
  HMODULE module = nullptr;
  std::mutex mutex;  // the plug-in calls from the window thread only; the counts are read from tests
  std::unordered_map<const void*, SIZE_T> blocks;
  std::vector<SIZE_T> sizes;
  int calls = 0;
  int fail_at = 0;
  SIZE_T fail_size = 0;
  bool failed = false;
  SIZE_T failed_size = 0;

  std::unordered_set<SOCKET> sockets;
  int foreign_closes = 0;
  int sent = 0;
  int refused = 0;
  uint16_t last_port = 0;
  std::unordered_map<uint16_t, int> sent_to;

  uint64_t clock = 0;
  int clock_changes = 0;
  int broadcasts = 0;

  bool fake_lookups = true;
  int lookup_error = 0;
  int lookup_start_error = 0;
  uintptr_t next_lookup = kFakeLookupBase;
  std::vector<std::string> names;
  bool hold = false;
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
  decltype(&::sendto) sendto;
  decltype(&::WSAAsyncGetHostByName) lookup;
  decltype(&::WSACancelAsyncRequest) cancel;
  decltype(&::PostMessageA) post;
} real;

HGLOBAL WINAPI watched_global_alloc(UINT flags, SIZE_T size) {
  {
    std::lock_guard<std::mutex> lock(w.mutex);
    ++w.calls;
    w.sizes.push_back(size);
    if (w.calls == w.fail_at || (w.fail_size != 0 && size == w.fail_size)) {
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
  }
  return real.closesocket(s);
}

int WINAPI guarded_sendto(SOCKET s, const char* data, int length, int flags, const sockaddr* to, int to_length) {
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

// Writes a host entry for 127.0.0.1 into the caller's buffer, pointing into
// itself (unless the lookup fails), and posts the completion.
void complete_lookup(const Watch::Held& lookup) {
  struct Entry {
    hostent h;
    char* aliases[1];
    char* list[2];
    uint32_t address;
    char name[8];
  };
  if (w.lookup_error == 0 && lookup.length >= static_cast<int>(sizeof(Entry))) {
    auto* e = reinterpret_cast<Entry*>(lookup.buffer);
    *e = Entry{};
    std::memcpy(e->name, "fake", 5);
    e->address = inet_addr("127.0.0.1");
    e->list[0] = reinterpret_cast<char*>(&e->address);
    e->h = hostent{e->name, e->aliases, AF_INET, 4, e->list};
  }
  PostMessageA(lookup.window, lookup.message, reinterpret_cast<WPARAM>(lookup.handle),
               WSAMAKEASYNCREPLY(0, w.lookup_error));
}

HANDLE WINAPI watched_lookup(HWND window, u_int message, const char* name, char* buffer, int length) {
  w.names.emplace_back(name != nullptr ? name : "");
  if (!w.fake_lookups) return real.lookup(window, message, name, buffer, length);
  if (w.lookup_start_error != 0) {
    WSASetLastError(w.lookup_start_error);
    return nullptr;
  }
  const Watch::Held lookup{window, message, reinterpret_cast<HANDLE>(++w.next_lookup), buffer, length};
  if (w.hold) {
    w.held.push_back(lookup);
  } else {
    complete_lookup(lookup);
  }
  return lookup.handle;
}

int WINAPI watched_cancel(HANDLE lookup) {
  if (reinterpret_cast<uintptr_t>(lookup) > kFakeLookupBase) return 0;
  return real.cancel(lookup);
}

void WINAPI fake_precise_clock(LPFILETIME t) {
  *t = FILETIME{static_cast<DWORD>(w.clock), static_cast<DWORD>(w.clock >> 32)};
}

FARPROC WINAPI watched_get_proc_address(HMODULE module, LPCSTR name) {
  if (w.clock != 0 && HIWORD(name) != 0 && std::strcmp(name, "GetSystemTimePreciseAsFileTime") == 0) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&fake_precise_clock));
  }
  return GetProcAddress(module, name);
}

BOOL WINAPI recorded_set_system_time(const SYSTEMTIME*) {
  ++w.clock_changes;
  return TRUE;
}

BOOL WINAPI recorded_set_local_time(const SYSTEMTIME*) { return TRUE; }

BOOL WINAPI watched_post(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (window == HWND_BROADCAST && message == WM_TIMECHANGE) {
    ++w.broadcasts;
    return TRUE;
  }
  return real.post(window, message, wparam, lparam);
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
  ok &= patch("KERNEL32.dll", "SetSystemTime", &recorded_set_system_time);
  ok &= patch("KERNEL32.dll", "SetLocalTime", &recorded_set_local_time);
  ok &= patch("USER32.dll", "PostMessageA", &watched_post, &real.post);
  ok &= patch("WSOCK32.DLL", "socket", &watched_socket, &real.socket);
  ok &= patch("WSOCK32.DLL", "closesocket", &watched_closesocket, &real.closesocket);
  ok &= patch("WSOCK32.DLL", "sendto", &guarded_sendto, &real.sendto);
  ok &= patch("WSOCK32.DLL", "WSAAsyncGetHostByName", &watched_lookup, &real.lookup);
  ok &= patch("WSOCK32.DLL", "WSACancelAsyncRequest", &watched_cancel, &real.cancel);
  return ok;
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

size_t plugin_cache_blocks() {
  const std::unordered_set<std::string> names(w.names.begin(), w.names.end());
  std::lock_guard<std::mutex> lock(w.mutex);
  size_t cache = 0;
  for (const auto& [block, size] : w.blocks) {
    const char* text = static_cast<const char*>(block);
    if (size % 800 == 0) {
      ++cache;
    } else if (size > 0 && text[size - 1] == '\0' && std::strlen(text) + 1 == size && names.count(text) != 0) {
      ++cache;
    }
  }
  return cache;
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
  w.fail_at = n;
  w.failed = false;
  w.failed_size = 0;
}

void fail_alloc_size(SIZE_T size) {
  std::lock_guard<std::mutex> lock(w.mutex);
  w.fail_size = size;
  w.failed = false;
  w.failed_size = 0;
}

void stop_failing_allocs() {
  std::lock_guard<std::mutex> lock(w.mutex);
  w.fail_at = 0;
  w.fail_size = 0;
}

bool alloc_failed() { return w.failed; }
SIZE_T failed_alloc_size() { return w.failed_size; }

size_t plugin_sockets() {
  std::lock_guard<std::mutex> lock(w.mutex);
  return w.sockets.size();
}

int foreign_closes() { return w.foreign_closes; }
int datagrams_sent() { return w.sent; }
int datagrams_refused() { return w.refused; }
uint16_t last_destination_port() { return w.last_port; }
int datagrams_sent_to(uint16_t port) { return w.sent_to[port]; }

void set_plugin_clock(uint64_t now) { w.clock = now; }

int clock_changes() { return w.clock_changes; }
int time_change_broadcasts() { return w.broadcasts; }

void fake_lookups(bool on, int error, int start_error) {
  w.fake_lookups = on;
  w.lookup_error = error;
  w.lookup_start_error = start_error;
}

void hold_lookups(bool on) { w.hold = on; }

int complete_held_lookups() {
  const std::vector<Watch::Held> held = std::move(w.held);
  w.held.clear();
  for (const Watch::Held& lookup : held) complete_lookup(lookup);
  return static_cast<int>(held.size());
}

const std::vector<std::string>& looked_up_names() { return w.names; }
void clear_looked_up_names() { w.names.clear(); }

std::vector<uint8_t> sntp_reply(uint64_t server_time, uint8_t first, uint8_t stratum) {
  std::vector<uint8_t> b(48, 0);
  const uint8_t head[] = {first, stratum, 6, 0xE6, 0, 1, 0x80, 0, 0xFF, 0xFF, 0xFF, 0xFE, 127, 127, 1, 1};
  std::memcpy(b.data(), head, sizeof head);
  // FILETIME to NTP era 0; the fraction is rounded up so that it converts back exactly.
  const uint64_t rem = server_time % kUnitsPerSecond;
  const auto seconds = static_cast<uint32_t>(server_time / kUnitsPerSecond - kNtpEpochInFiletimeSeconds);
  const auto fraction = static_cast<uint32_t>(((rem << 32) + kUnitsPerSecond - 1) / kUnitsPerSecond);
  for (size_t at : {32u, 40u}) {
    for (int i = 0; i < 4; ++i) {
      b[at + i] = static_cast<uint8_t>(seconds >> (24 - 8 * i));
      b[at + 4 + i] = static_cast<uint8_t>(fraction >> (24 - 8 * i));
    }
  }
  return b;
}

std::string option_text(uint16_t port, int skip, int threshold, int quiet) {
  return std::to_string(port) + ";" + std::to_string(skip) + ";" + std::to_string(threshold) + ";" +
         std::to_string(quiet) + ";";
}

std::string plugin_error_text(HMODULE module, int code) {
  char* buffer = nullptr;
  if (FormatMessageA(0x11FF, nullptr, code, 0x400, reinterpret_cast<char*>(&buffer), 0, nullptr) && buffer) {
    std::string text = buffer;
    LocalFree(buffer);
    return text;
  }
  char entry[1024];
  if (LoadStringA(module, code, entry, sizeof entry) > 0) return entry;
  return "未知のエラー。";
}

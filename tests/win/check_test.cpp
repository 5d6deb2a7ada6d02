// Whole checks through the real sntp.dll, driven as the host drives them (a
// host window, its message loop and direct timer calls), against a scripted
// SNTP server on loopback. The plug-in's clock, its clock changes and a few
// system calls are watched or failed through its import table.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "check/ntp.h"
#include "check/reply_texts.h"
#include "filetime_units.h"
#include "host_side.h"
#include "import_patch.h"
#include "responder.h"
#include "plugin/report.h"
#include "settings/probe_state.h"
#include "settings/server_info_string.h"

namespace {

constexpr int64_t kMs = kUnitsPerMs;

// What the plug-in sees and does through its imports; reset for each test.
struct Fakes {
  uint64_t now = 0;            // the precise clock
  int64_t coarse_skew = 0;     // the coarse clock reads now + skew
  bool precise_available = true;
  bool fake_set_time = false;  // clock changes succeed without reaching the system
  std::vector<SYSTEMTIME> set_system, set_local;
  int fail_socket = 0, fail_select = 0, fail_sendto = 0, fail_lookup = 0;  // error codes
  SIZE_T fail_alloc_size = 0;
  bool fake_lookup = false;  // lookups write `lookup_addresses` and post nothing
  std::vector<uint32_t> lookup_addresses;
  int lookups = 0;
  std::vector<SOCKET> closed;
  std::vector<HANDLE> cancelled;
};
Fakes g;

struct Originals {
  decltype(&::socket) socket;
  decltype(&::closesocket) closesocket;
  decltype(&::WSAAsyncSelect) async_select;
  decltype(&::sendto) sendto;
  decltype(&::WSAAsyncGetHostByName) lookup;
  decltype(&::WSACancelAsyncRequest) cancel;
  decltype(&::GlobalAlloc) global_alloc;
} real;

void WINAPI fake_precise(LPFILETIME t) { *t = FILETIME{DWORD(g.now), DWORD(g.now >> 32)}; }
void WINAPI fake_coarse(LPFILETIME t) {
  uint64_t v = g.now + g.coarse_skew;
  *t = FILETIME{DWORD(v), DWORD(v >> 32)};
}
FARPROC WINAPI fake_get_proc_address(HMODULE module, LPCSTR name) {
  if (HIWORD(name) != 0 && std::strcmp(name, "GetSystemTimePreciseAsFileTime") == 0) {
    return g.precise_available ? reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&fake_precise)) : nullptr;
  }
  return GetProcAddress(module, name);
}
BOOL WINAPI fake_set_system_time(const SYSTEMTIME* t) {
  g.set_system.push_back(*t);
  return g.fake_set_time ? TRUE : SetSystemTime(t);
}
BOOL WINAPI fake_set_local_time(const SYSTEMTIME* t) {
  g.set_local.push_back(*t);
  return g.fake_set_time ? TRUE : SetLocalTime(t);
}
HGLOBAL WINAPI fake_global_alloc(UINT flags, SIZE_T size) {
  if (size == g.fail_alloc_size) return nullptr;
  return real.global_alloc(flags, size);
}
// Fails when `*knob` holds an error code, once.
bool failing(int* knob) {
  if (*knob == 0) return false;
  WSASetLastError(*knob);
  *knob = 0;
  return true;
}
SOCKET WINAPI fake_socket(int af, int type, int protocol) {
  return failing(&g.fail_socket) ? INVALID_SOCKET : real.socket(af, type, protocol);
}
int WINAPI fake_closesocket(SOCKET s) {
  g.closed.push_back(s);
  return real.closesocket(s);
}
int WINAPI fake_async_select(SOCKET s, HWND window, u_int message, long events) {
  if (events != 0 && failing(&g.fail_select)) return SOCKET_ERROR;
  return real.async_select(s, window, message, events);
}
int WINAPI fake_sendto(SOCKET s, const char* data, int length, int flags, const sockaddr* to, int to_length) {
  return failing(&g.fail_sendto) ? SOCKET_ERROR : real.sendto(s, data, length, flags, to, to_length);
}
HANDLE WINAPI fake_lookup(HWND window, u_int message, const char* name, char* buffer, int length) {
  ++g.lookups;
  if (failing(&g.fail_lookup)) return nullptr;
  if (!g.fake_lookup) return real.lookup(window, message, name, buffer, length);
  // A host entry in the buffer, pointing into itself.
  struct Entry {
    hostent h;
    char* aliases[1];
    char* list[4];
    uint32_t addresses[3];
  }* e = reinterpret_cast<Entry*>(buffer);
  *e = Entry{};
  e->h = hostent{const_cast<char*>("fake"), e->aliases, AF_INET, 4, e->list};
  for (size_t i = 0; i < g.lookup_addresses.size() && i < 3; ++i) {
    e->addresses[i] = g.lookup_addresses[i];
    e->list[i] = reinterpret_cast<char*>(&e->addresses[i]);
  }
  return reinterpret_cast<HANDLE>(0x4321);
}
int WINAPI fake_cancel(HANDLE lookup) {
  g.cancelled.push_back(lookup);
  return lookup == reinterpret_cast<HANDLE>(0x4321) ? 0 : real.cancel(lookup);
}

template <typename Fn>
void patch(HMODULE m, const char* dll, const char* name, Fn fake, Fn* original = nullptr) {
  void* previous = patch_import(m, dll, name, reinterpret_cast<const void*>(fake));
  ASSERT_NE(previous, nullptr) << name;
  if (original) *original = reinterpret_cast<Fn>(previous);
}

// A 48-byte reply: version 4 server at stratum 2, with T2 = T3 = `time`.
std::vector<uint8_t> reply_bytes(uint64_t time, uint8_t first = 0x24, uint8_t stratum = 2) {
  std::vector<uint8_t> b(48, 0);
  const uint8_t head[] = {first, stratum, 6, 0xE6, 0, 1, 0x80, 0, 0xFF, 0xFF, 0xFF, 0xFE, 127, 127, 1, 1};
  std::memcpy(b.data(), head, sizeof head);
  // FILETIME to NTP era 0; the fraction is rounded up so that it converts back exactly.
  const uint64_t rem = time % kUnitsPerSecond;
  const uint32_t seconds = static_cast<uint32_t>(time / kUnitsPerSecond - 9435484800ull);
  const uint32_t fraction = static_cast<uint32_t>(((rem << 32) + kUnitsPerSecond - 1) / kUnitsPerSecond);
  for (size_t at : {32u, 40u}) {
    for (int i = 0; i < 4; ++i) {
      b[at + i] = static_cast<uint8_t>(seconds >> (24 - 8 * i));
      b[at + 4 + i] = static_cast<uint8_t>(fraction >> (24 - 8 * i));
    }
  }
  return b;
}

std::string local_minute() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char text[32];
  format_changed_text(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, text, sizeof text);
  return text;
}

class Checks : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(start_host(&api_, &error)) << error;
    HMODULE m = api_.module;
    patch(m, "KERNEL32.dll", "GetProcAddress", &fake_get_proc_address);
    patch(m, "KERNEL32.dll", "GetSystemTimeAsFileTime", &fake_coarse);
    patch(m, "KERNEL32.dll", "SetSystemTime", &fake_set_system_time);
    patch(m, "KERNEL32.dll", "SetLocalTime", &fake_set_local_time);
    patch(m, "KERNEL32.dll", "GlobalAlloc", &fake_global_alloc, &real.global_alloc);
    patch(m, "WSOCK32.DLL", "socket", &fake_socket, &real.socket);
    patch(m, "WSOCK32.DLL", "closesocket", &fake_closesocket, &real.closesocket);
    patch(m, "WSOCK32.DLL", "WSAAsyncSelect", &fake_async_select, &real.async_select);
    patch(m, "WSOCK32.DLL", "sendto", &fake_sendto, &real.sendto);
    patch(m, "WSOCK32.DLL", "WSAAsyncGetHostByName", &fake_lookup, &real.lookup);
    patch(m, "WSOCK32.DLL", "WSACancelAsyncRequest", &fake_cancel, &real.cancel);
  }

  void SetUp() override {
    g = Fakes{};
    g.now = real_now();
    ASSERT_TRUE(create_host_window(&host_, &api_));
    host_.on_message = [this](UINT message, WPARAM, LPARAM) { time_changes_ += message == WM_TIMECHANGE; };
    ASSERT_TRUE(responder_.start());
  }

  void TearDown() override {
    for (CheckItem* item : host_.items) {
      api_.item_check_end(host_.window, item);
      free_item(item);
    }
    destroy_host_window(&host_);
    responder_.stop();
  }

  std::string options(int skip = 0, int threshold = 0, int quiet = 0, uint16_t port = 0) {
    return std::to_string(port ? port : responder_.port()) + ";" + std::to_string(skip) + ";" +
           std::to_string(threshold) + ";" + std::to_string(quiet) + ";";
  }
  CheckItem* item(const std::string& server = "127.0.0.1", const std::string& option_text = "") {
    CheckItem* it = new_item();
    set_item_text(&it->address, ("sntp://" + server).c_str());
    set_item_text(&it->options, (option_text.empty() ? options() : option_text).c_str());
    host_.items.push_back(it);
    return it;
  }
  int start(CheckItem* it) { return api_.start(host_.window, it); }
  int tick(CheckItem* it) { return api_.timer(host_.window, it); }
  bool wait_for_ends(size_t n) {
    return pump_messages_until([&] { return host_.check_ends.size() >= n; }, 5000);
  }
  bool wait_for_calls(size_t n) {
    return pump_messages_until([&] { return host_.calls.size() >= n; }, 5000);
  }
  // Answers the item's request with a usable reply `offset` away from the plug-in's clock.
  Datagram reply(int64_t offset) { return Datagram{reply_bytes(g.now + offset)}; }
  // What set_item_error stores for `code` on this system.
  static std::string expected_error(int code) {
    char* buffer = nullptr;
    if (FormatMessageA(0x11FF, nullptr, code, 0x400, reinterpret_cast<char*>(&buffer), 0, nullptr) && buffer) {
      std::string text = buffer;
      LocalFree(buffer);
      return text;
    }
    char entry[1024];
    if (LoadStringA(api_.module, code, entry, sizeof entry) > 0) return entry;
    return "未知のエラー。";
  }
  void expect_end(size_t index, WPARAM result, CheckItem* it) {
    ASSERT_GT(host_.check_ends.size(), index);
    EXPECT_EQ(host_.check_ends[index].result, result);
    EXPECT_EQ(host_.check_ends[index].item, it);
  }

  static PluginApi api_;
  HostWindow host_;
  Responder responder_;
  int time_changes_ = 0;
};
PluginApi Checks::api_;

TEST_F(Checks, DottedAddressSendsTheRequestAndMovesTheClock) {
  CheckItem* it = item();
  set_item_text(&it->error_text, "前回のエラー");
  responder_.answer_next({reply(300 * kMs)});
  const std::string minute_before = local_minute();
  ASSERT_EQ(start(it), 0);
  EXPECT_EQ(g.lookups, 0);
  ASSERT_TRUE(wait_for_ends(1));
  pump_pending_messages();
  const std::string minute_after = local_minute();

  std::vector<ReceivedRequest> requests = responder_.requests();
  ASSERT_EQ(requests.size(), 1u);
  std::vector<uint8_t> request(48, 0);
  request[0] = 0x0B;
  EXPECT_EQ(requests[0].bytes, request);
  sockaddr_in mine{};
  int length = sizeof mine;
  getsockname(static_cast<SOCKET>(it->socket), reinterpret_cast<sockaddr*>(&mine), &length);
  EXPECT_EQ(requests[0].from.sin_port, mine.sin_port) << "sent from the item's socket";

  EXPECT_EQ(host_.status_lines, (std::vector<std::string>{kStatusSending, kStatusReceiving, kStatusDone}));
  ASSERT_EQ(host_.calls.size(), 1u);
  EXPECT_EQ(host_.calls[0].result, 2);
  expect_end(0, CHECK_CHANGED, it);
  EXPECT_STREQ(it->server_info, "36;2;6;-26;98304;-2;127.127.1.1");
  EXPECT_STREQ(it->offset_text, "+300 msec");
  EXPECT_EQ(GlobalSize(it->offset_text), 20u);
  EXPECT_TRUE(item_text(it->changed_text) == minute_before || item_text(it->changed_text) == minute_after)
      << item_text(it->changed_text);
  EXPECT_EQ(GlobalSize(it->changed_text), 18u);
  EXPECT_STREQ(it->error_text, "前回のエラー") << "a successful check leaves the error text";
  EXPECT_EQ(it->tick_count, 0);
  // The clock was asked for exactly the server's time (to the millisecond).
  ASSERT_EQ(g.set_system.size(), 1u);
  EXPECT_EQ(to_units(g.set_system[0]), (g.now + 300 * kMs) / kMs * kMs);
  EXPECT_EQ(g.set_local.size(), 1u);
  EXPECT_EQ(time_changes_, 1) << "WM_TIMECHANGE is broadcast";

  const SOCKET s = static_cast<SOCKET>(it->socket);
  EXPECT_EQ(api_.item_check_end(host_.window, it), 0);
  EXPECT_EQ(it->probe, nullptr);
  EXPECT_EQ(it->socket, kNoSocket);
  EXPECT_EQ(g.closed, std::vector<SOCKET>{s});
}

TEST_F(Checks, TheItemsOptionsDecideWhetherTheClockMoves) {
  const struct {
    const char* name;
    int skip, threshold, quiet;
    int64_t offset;
    const char* previous;
    bool fake_set_time;
    WPARAM result;
    const char* offset_text;
    bool moved;
  } cases[] = {
      {"behind by 300 ms", 0, 0, 0, 300 * kMs, nullptr, false, 1, "+300 msec", true},
      {"quiet", 0, 0, 1, 300 * kMs, "+50 msec", false, 0, "+300 msec", true},
      {"clocks equal", 0, 0, 0, 0, "+50 msec", false, 0, "+50 msec", false},
      {"below 1 ms", 0, 0, 0, 5000, nullptr, false, 1, "+0 msec", true},
      {"small after small", 1, 1000, 0, 300 * kMs, "+50 msec", false, 0, "+50 msec", false},
      {"small after large", 1, 1000, 0, 300 * kMs, "-2500 msec", false, 1, "+300 msec", true},
      {"first check", 1, 1000, 0, 300 * kMs, nullptr, false, 1, "+300 msec", true},
      {"1.5 s ahead", 0, 0, 0, -1500 * kMs, nullptr, true, 1, "-1500 msec", true},
      {"refused", 0, 0, 0, -1500 * kMs, "+50 msec", false, 2, "+50 msec", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g.now = real_now();  // Wine accepts a move only within 0.5 s of the real clock
    g.set_system.clear();
    g.set_local.clear();
    g.fake_set_time = c.fake_set_time;
    CheckItem* it = item("127.0.0.1", options(c.skip, c.threshold, c.quiet));
    set_item_text(&it->offset_text, c.previous);
    responder_.answer_next({reply(c.offset)});
    const size_t ends = host_.check_ends.size();
    ASSERT_EQ(start(it), 0);
    ASSERT_TRUE(wait_for_ends(ends + 1));
    expect_end(ends, c.result, it);
    EXPECT_EQ(item_text(it->offset_text), c.offset_text);
    EXPECT_EQ(it->changed_text != nullptr, c.moved);
    if (c.result == CHECK_FAILED) {
      EXPECT_EQ(item_text(it->error_text), expected_error(ERROR_PRIVILEGE_NOT_HELD));
      EXPECT_EQ(g.set_system.size(), 1u) << "asked, and refused";
    } else {
      EXPECT_EQ(it->error_text, nullptr);
      EXPECT_EQ(g.set_system.size(), c.moved ? 1u : 0u);
    }
    if (c.offset == -1500 * kMs) {
      ASSERT_EQ(g.set_system.size(), 1u);
      EXPECT_EQ(to_units(g.set_system[0]), (g.now - 1500 * kMs) / kMs * kMs);
    }
    if (c.moved) {
      // SetLocalTime is asked for the same instant in local time.
      SYSTEMTIME local_of_utc;
      SystemTimeToTzSpecificLocalTime(nullptr, &g.set_system[0], &local_of_utc);
      ASSERT_EQ(g.set_local.size(), 1u);
      EXPECT_EQ(to_units(g.set_local[0]), to_units(local_of_utc));
    }
  }
}

TEST_F(Checks, ANameIsLookedUpOnceThenTakenFromTheCache) {
  responder_.answer_next({reply(100 * kMs)});
  responder_.answer_next({reply(100 * kMs)});
  CheckItem* first = item("localhost");
  ASSERT_EQ(start(first), 0);
  EXPECT_NE(first->lookup_handle, 0u);
  ASSERT_TRUE(wait_for_ends(1));
  EXPECT_EQ(g.lookups, 1);
  ASSERT_FALSE(host_.calls.empty());
  EXPECT_STREQ(host_.calls[0].name, "Gethost");
  EXPECT_EQ(host_.calls[0].result, 0);
  EXPECT_EQ(first->lookup_handle, 0u);
  EXPECT_EQ(host_.status_lines, (std::vector<std::string>{kStatusLookingUp, kStatusReceiving, kStatusDone}));
  expect_end(0, CHECK_CHANGED, first);

  host_.status_lines.clear();
  CheckItem* second = item("LocalHost");  // another item, the name in other case
  ASSERT_EQ(start(second), 0);
  EXPECT_EQ(second->lookup_handle, 0u);
  ASSERT_TRUE(wait_for_ends(2));
  EXPECT_EQ(g.lookups, 1) << "no second lookup";
  EXPECT_EQ(host_.status_lines, (std::vector<std::string>{kStatusSending, kStatusReceiving, kStatusDone}));
  expect_end(1, CHECK_CHANGED, second);
}

TEST_F(Checks, TheThirdTickWithoutAnswerTimesOutAndNothingFollows) {
  CheckItem* it = item();
  ASSERT_EQ(start(it), 0);
  EXPECT_EQ(tick(it), 0);
  EXPECT_EQ(tick(it), 0);
  EXPECT_TRUE(host_.check_ends.empty());
  EXPECT_EQ(tick(it), 2);
  expect_end(0, CHECK_TIMEOUT, it);
  EXPECT_EQ(item_text(it->error_text), expected_error(WSAETIMEDOUT));
  EXPECT_EQ(it->tick_count, -1);
  EXPECT_EQ(tick(it), 0);
  EXPECT_EQ(tick(it), 0);
  // A reply after the time-out is read by no one and moves nothing.
  ASSERT_TRUE(responder_.wait_for_requests(1, 5000));
  responder_.send(reply(300 * kMs));
  ASSERT_TRUE(wait_for_calls(1));
  EXPECT_EQ(host_.calls[0].result, 0);
  EXPECT_EQ(host_.check_ends.size(), 1u);
  EXPECT_EQ(it->offset_text, nullptr);
  EXPECT_TRUE(g.set_system.empty());
}

TEST_F(Checks, CancelDuringALookupReleasesEverythingOnce) {
  for (ItemOpFn end : {api_.cancel, api_.item_check_end}) {
    CheckItem* it = item("nosuchhost.invalid");
    ASSERT_EQ(start(it), 0);
    const HANDLE lookup = reinterpret_cast<HANDLE>(it->lookup_handle);
    const SOCKET s = static_cast<SOCKET>(it->socket);
    ASSERT_NE(lookup, nullptr);
    // Wine does not stop a cancelled lookup: let it write its result (and
    // post its message) before the ProbeState holding the buffer is freed.
    MSG msg;
    bool queued = false;
    for (DWORD t0 = GetTickCount(); !queued && GetTickCount() - t0 < 5000; Sleep(5)) {
      queued = PeekMessageA(&msg, host_.window, MSG_GETHOST_DONE, MSG_GETHOST_DONE, PM_NOREMOVE) != 0;
    }
    ASSERT_TRUE(queued);
    g.closed.clear();
    g.cancelled.clear();
    EXPECT_EQ(end(host_.window, it), 0);
    EXPECT_EQ(it->probe, nullptr);
    EXPECT_EQ(it->socket, kNoSocket);
    EXPECT_EQ(it->lookup_handle, 0u);
    EXPECT_EQ(g.cancelled, std::vector<HANDLE>{lookup});
    EXPECT_EQ(g.closed, std::vector<SOCKET>{s});
    EXPECT_EQ(end(host_.window, it), 0);
    EXPECT_EQ(g.cancelled.size(), 1u);
    EXPECT_EQ(g.closed.size(), 1u);
    pump_pending_messages();  // the lookup's message now belongs to no item
    EXPECT_TRUE(host_.calls.empty());
    EXPECT_TRUE(host_.check_ends.empty());
  }
}

TEST_F(Checks, FailuresToStart) {
  g.fail_alloc_size = sizeof(ProbeState);
  CheckItem* no_memory = item();
  EXPECT_EQ(start(no_memory), -1);
  EXPECT_EQ(no_memory->probe, nullptr);
  EXPECT_EQ(no_memory->socket, kNoSocket);
  EXPECT_EQ(no_memory->error_text, nullptr);
  g.fail_alloc_size = 0;

  const struct {
    int* knob;
    int code;
    const char* server;
    bool reported;  // with MSG_CHECK_END
  } cases[] = {
      {&g.fail_socket, WSAEMFILE, "127.0.0.1", false},
      {&g.fail_lookup, WSAENOBUFS, "unresolved.example", true},
      {&g.fail_select, WSAEINVAL, "127.0.0.1", false},
      {&g.fail_sendto, WSAEHOSTUNREACH, "127.0.0.1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    *c.knob = c.code;
    CheckItem* it = item(c.server);
    const size_t ends = host_.check_ends.size();
    EXPECT_EQ(start(it), -1);
    EXPECT_EQ(item_text(it->error_text), expected_error(c.code));
    EXPECT_NE(it->probe, nullptr) << "kept until the host ends the check";
    ASSERT_EQ(host_.check_ends.size(), ends + (c.reported ? 1 : 0));
    if (c.reported) {
      expect_end(ends, CHECK_FAILED, it);
      EXPECT_EQ(it->tick_count, -1);
    }
  }
  EXPECT_EQ(host_.status_lines.back(), kStatusSending);
}

TEST_F(Checks, FailedLookups) {
  CheckItem* unknown = item("nosuchhost.invalid");
  ASSERT_EQ(start(unknown), 0);
  ASSERT_TRUE(wait_for_calls(1));
  EXPECT_EQ(host_.calls[0].result, -1);
  EXPECT_EQ(item_text(unknown->error_text), expected_error(WSAHOST_NOT_FOUND));
  EXPECT_EQ(unknown->lookup_handle, 0u);

  g.fake_lookup = true;  // an entry that lists no address
  CheckItem* empty = item("empty.example");
  ASSERT_EQ(start(empty), 0);
  PostMessageA(host_.window, MSG_GETHOST_DONE, empty->lookup_handle, 0);
  ASSERT_TRUE(wait_for_calls(2));
  EXPECT_EQ(host_.calls[1].result, -1);
  EXPECT_EQ(item_text(empty->error_text), expected_error(WSANO_DATA));
  EXPECT_TRUE(host_.check_ends.empty());

  CheckItem* not_looking_up = item();
  EXPECT_EQ(api_.gethost(host_.window, 0, 0, not_looking_up), -1);
  expect_end(0, CHECK_FAILED, not_looking_up);
  CheckItem* no_probe = item();
  no_probe->lookup_handle = 0x999;
  EXPECT_EQ(api_.gethost(host_.window, 0x999, 0, no_probe), -1);
  EXPECT_EQ(no_probe->lookup_handle, 0u);
  EXPECT_EQ(host_.check_ends.size(), 1u);
  EXPECT_EQ(responder_.requests().size(), 0u);
}

TEST_F(Checks, FailedSocketEvents) {
  CheckItem* no_probe = item();
  EXPECT_EQ(api_.select(host_.window, 0, WSAMAKESELECTREPLY(FD_READ, 0), no_probe), -1);
  expect_end(0, CHECK_FAILED, no_probe);

  CheckItem* it = item();
  ASSERT_EQ(start(it), 0);
  EXPECT_EQ(api_.select(host_.window, it->socket, WSAMAKESELECTREPLY(FD_READ, WSAECONNRESET), it), -1);
  EXPECT_EQ(item_text(it->error_text), expected_error(WSAECONNRESET));
  // An event that was never asked for is a stray notification: the check waits on.
  EXPECT_EQ(api_.select(host_.window, it->socket, WSAMAKESELECTREPLY(FD_WRITE, 0), it), 0);
  // Datagrams of the wrong size from the server are failed reads.
  ASSERT_TRUE(responder_.wait_for_requests(1, 5000));
  const struct {
    size_t size;
    std::string text;
  } reads[] = {{47, "47"}, {0, "(0 "}, {49, expected_error(WSAEMSGSIZE)}};
  for (const auto& r : reads) {
    SCOPED_TRACE(r.size);
    std::vector<uint8_t> bytes = reply_bytes(g.now);
    bytes.resize(r.size);
    const size_t calls = host_.calls.size();
    responder_.send({bytes});
    ASSERT_TRUE(wait_for_calls(calls + 1));
    EXPECT_EQ(host_.calls[calls].result, -1);
    EXPECT_NE(item_text(it->error_text).find(r.text), std::string::npos) << item_text(it->error_text);
  }
  EXPECT_EQ(host_.check_ends.size(), 1u);
  EXPECT_EQ(it->server_info, nullptr);
  EXPECT_TRUE(g.set_system.empty());
  EXPECT_NE(it->probe, nullptr);
}

TEST_F(Checks, OnlyTheServersOwnDatagramIsTheReply) {
  // A stranger's datagram (same address, another port) first, then the server's.
  CheckItem* it = item();
  responder_.answer_next({Datagram{reply_bytes(g.now + 5000 * kMs), true}, reply(300 * kMs)});
  ASSERT_EQ(start(it), 0);
  ASSERT_TRUE(wait_for_ends(1));
  ASSERT_EQ(host_.calls.size(), 2u);
  EXPECT_EQ(host_.calls[0].result, 0);
  EXPECT_EQ(host_.calls[1].result, 2);
  EXPECT_STREQ(it->offset_text, "+300 msec");
  EXPECT_EQ(g.set_system.size(), 1u);

  // A notification with nothing to read, then the reply.
  CheckItem* hint = item();
  ASSERT_EQ(start(hint), 0);
  ASSERT_TRUE(responder_.wait_for_requests(2, 5000));
  PostMessageA(host_.window, MSG_SOCKET_EVENT, hint->socket, WSAMAKESELECTREPLY(FD_READ, 0));
  ASSERT_TRUE(wait_for_calls(3));
  EXPECT_EQ(host_.calls[2].result, 0);
  EXPECT_EQ(host_.check_ends.size(), 1u);
  responder_.send(reply(200 * kMs));
  ASSERT_TRUE(wait_for_ends(2));
  EXPECT_STREQ(hint->offset_text, "+200 msec");

  // Strangers' datagrams are no sign of life: the time-out still comes.
  CheckItem* ignored = item();
  ASSERT_EQ(start(ignored), 0);
  ASSERT_TRUE(responder_.wait_for_requests(3, 5000));
  for (int i = 0; i < 3; ++i) {
    const size_t calls = host_.calls.size();
    responder_.send(Datagram{reply_bytes(g.now), true});
    ASSERT_TRUE(wait_for_calls(calls + 1));
    EXPECT_EQ(host_.calls[calls].result, 0);
    EXPECT_EQ(tick(ignored), i < 2 ? 0 : 2);
  }
  expect_end(2, CHECK_TIMEOUT, ignored);
}

TEST_F(Checks, AReplyFromAnotherAddressIsDropped) {
  // Wine sends from every loopback socket as 127.0.0.1, whatever address it
  // is bound to: a server at 127.0.0.2 then answers from the wrong address.
  Responder server;
  ASSERT_TRUE(server.start("127.0.0.2"));
  SOCKET probe = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = inet_addr("127.0.0.2");
  to.sin_port = htons(server.port());
  server.answer_next({Datagram{{1}}});
  sendto(probe, "?", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  sockaddr_in from{};
  int length = sizeof from;
  char byte;
  recvfrom(probe, &byte, 1, 0, reinterpret_cast<sockaddr*>(&from), &length);
  closesocket(probe);
  if (from.sin_addr.s_addr != inet_addr("127.0.0.1")) GTEST_SKIP() << "replies come from the address bound";

  CheckItem* it = item("127.0.0.2", options(0, 0, 0, server.port()));
  server.answer_next({reply(300 * kMs)});
  ASSERT_EQ(start(it), 0);
  ASSERT_TRUE(wait_for_calls(1));
  EXPECT_EQ(host_.calls[0].result, 0);
  EXPECT_EQ(tick(it), 0);
  EXPECT_EQ(tick(it), 0);
  EXPECT_EQ(tick(it), 2);
  expect_end(0, CHECK_TIMEOUT, it);
  EXPECT_TRUE(g.set_system.empty());
}

TEST_F(Checks, UnusableRepliesAreShownButMoveNothing) {
  const struct {
    uint8_t first, stratum;
    bool zero_transmit;
  } cases[] = {{0xE4, 2, false}, {0xE4, 0, false}, {0x24, 16, false}, {0x23, 2, false}, {0x24, 2, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.first) * 1000 + c.stratum);
    std::vector<uint8_t> bytes = reply_bytes(g.now + 300 * kMs, c.first, c.stratum);
    if (c.zero_transmit) std::fill(bytes.begin() + 40, bytes.end(), 0);
    CheckItem* it = item();
    set_item_text(&it->offset_text, "+50 msec");
    responder_.answer_next({Datagram{bytes}});
    const size_t ends = host_.check_ends.size();
    ASSERT_EQ(start(it), 0);
    ASSERT_TRUE(wait_for_ends(ends + 1));
    expect_end(ends, CHECK_FAILED, it);
    ReplyEvaluation e = evaluate_reply(bytes.data(), bytes.size(), 0, 0);
    char info[200], reason[256];
    format_server_info(e.info, info, sizeof info);
    format_reply_problem(e, 48, reason, sizeof reason);
    EXPECT_EQ(item_text(it->server_info), info);
    EXPECT_EQ(item_text(it->error_text), reason);
    EXPECT_STREQ(it->offset_text, "+50 msec");
    EXPECT_EQ(it->changed_text, nullptr);
  }
  EXPECT_TRUE(g.set_system.empty());
}

TEST_F(Checks, ADuplicatedReplyEndsTheCheckOnce) {
  CheckItem* it = item();
  responder_.answer_next({reply(300 * kMs), reply(300 * kMs)});
  ASSERT_EQ(start(it), 0);
  ASSERT_TRUE(wait_for_calls(2));
  EXPECT_EQ(host_.calls[0].result, 2);
  EXPECT_EQ(host_.calls[1].result, 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(tick(it), 0);
  EXPECT_EQ(host_.check_ends.size(), 1u);
  EXPECT_EQ(g.set_system.size(), 1u);
}

TEST_F(Checks, ALookupEndingAfterTheTimeOutSendsNothing) {
  g.fake_lookup = true;
  g.lookup_addresses = {inet_addr("127.0.0.1")};
  CheckItem* it = item("late.example");
  ASSERT_EQ(start(it), 0);
  for (int i = 0; i < 3; ++i) tick(it);
  expect_end(0, CHECK_TIMEOUT, it);
  PostMessageA(host_.window, MSG_GETHOST_DONE, it->lookup_handle, 0);
  ASSERT_TRUE(wait_for_calls(1));
  EXPECT_EQ(host_.calls[0].result, 0);
  EXPECT_EQ(it->lookup_handle, 0u);
  EXPECT_FALSE(responder_.wait_for_requests(1, 300));
  EXPECT_EQ(host_.check_ends.size(), 1u);
}

TEST_F(Checks, AStartOverALeftoverSocketClosesIt) {
  CheckItem* it = item();
  ASSERT_EQ(start(it), 0);
  const SOCKET first = static_cast<SOCKET>(it->socket);
  EXPECT_EQ(start(it), 0);
  EXPECT_EQ(g.closed, std::vector<SOCKET>{first});
  EXPECT_NE(it->socket, kNoSocket);
  EXPECT_TRUE(responder_.wait_for_requests(2, 5000));
}

TEST_F(Checks, ThePreciseClockIsPreferred) {
  g.fake_set_time = true;
  g.coarse_skew = 3600 * kUnitsPerSecond;
  CheckItem* precise = item();
  responder_.answer_next({reply(300 * kMs)});
  ASSERT_EQ(start(precise), 0);
  ASSERT_TRUE(wait_for_ends(1));
  EXPECT_STREQ(precise->offset_text, "+300 msec");

  g.precise_available = false;  // an older system: the coarse clock, an hour ahead here
  CheckItem* coarse = item();
  responder_.answer_next({reply(300 * kMs)});
  ASSERT_EQ(start(coarse), 0);
  ASSERT_TRUE(wait_for_ends(2));
  EXPECT_STREQ(coarse->offset_text, "-3599700 msec");
}

TEST_F(Checks, InitializeAndInitItemPrepareTheItem) {
  CheckItem* it = item();
  set_item_text(&it->error_text, "x");
  it->tick_count = 5;
  it->reserved_counter = 7;
  EXPECT_EQ(api_.initialize(host_.window, it), 0);
  EXPECT_EQ(it->error_text, nullptr);
  EXPECT_EQ(it->tick_count, 0);
  EXPECT_EQ(it->reserved_counter, 0u);

  const struct {
    const char* before;
    bool keep;
    const char* after;
  } cases[] = {{"+300 msec*", false, "+300 msec"}, {"*", false, ""},   {"a**", false, "a*"},
               {"+300 msec*", true, "+300 msec*"}, {"", false, ""},    {nullptr, false, nullptr}};
  for (const auto& c : cases) {
    set_item_text(&it->offset_text, c.before);
    set_item_text(&it->changed_text, c.before);
    set_item_text(&it->error_text, "x");
    it->flags = c.keep ? kKeepMarks : 0;
    EXPECT_EQ(api_.init_item(host_.window, it), 0);
    EXPECT_EQ(it->error_text, nullptr);
    EXPECT_EQ(it->offset_text == nullptr, c.after == nullptr);
    EXPECT_EQ(item_text(it->offset_text), item_text(c.after));
    EXPECT_EQ(item_text(it->changed_text), item_text(c.after));
  }
}

}  // namespace

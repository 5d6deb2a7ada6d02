// The one set of fakes of the Windows tests: what the loaded plug-in takes
// from the system, watched and replaced through its import table (see
// import_patch.h). It counts the global-heap blocks it allocates and frees,
// the sockets it opens and closes, and where it sends; it can fail an
// allocation, a socket call or a property page on demand, give the plug-in a
// clock of its own, keep its clock changes from reaching the system, and
// answer its name lookups. Nothing in the plug-in changes for any of this.
//
// All of it is process-wide: a test program installs the watch once, on the
// one module that holds the plug-in's code, and reset_plugin_fakes() puts
// the knobs back before each test.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/host_contract.h"

// Patches GlobalAlloc, GlobalFree, GetProcAddress (for the precise clock and
// RtlGenRandom), GetSystemTimeAsFileTime, GetTickCount,
// SystemTimeToTzSpecificLocalTime, SetSystemTime, SetLocalTime, PostMessageA,
// CreatePropertySheetPageA, socket, closesocket, WSAAsyncSelect, sendto, recvfrom,
// the lookup functions and CryptGenRandom in `module`. False when one of them is not imported.
// Installing twice on the same module does nothing more.
bool watch_plugin(HMODULE module);
// Forgets the module once the test has unloaded it, so that watch_plugin
// patches a module loaded again (possibly at the same address). What was
// counted stays.
void unwatch_plugin();

// Puts every knob below back to its default (the real clocks, clock changes
// recorded but kept from the system, no failures, fake lookups that resolve
// at once, property pages created) and forgets the recorded lists; the
// counts stay.
void reset_plugin_fakes();

// --- Global-heap blocks -----------------------------------------------------

// Blocks the plug-in allocated and has not freed. The host's own blocks
// (texts it set and the plug-in replaced) are not counted.
size_t plugin_blocks();
// Those of them that no text field of `items` points to: the plug-in's own,
// as opposed to texts it handed to an item.
size_t plugin_own_blocks(const std::vector<const CheckItem*>& items);
// The plug-in's live blocks with their requested sizes, in no order.
struct Block {
  const void* address;
  SIZE_T size;
};
std::vector<Block> plugin_block_list();
// Those of them that belong to the address cache, which keeps them while the
// module is loaded: its table (a multiple of 100 entries of a name's address
// and an IPv4 address) and the copies of names the plug-in looked up.
struct CacheBlocks {
  size_t arrays = 0, names = 0;
};
CacheBlocks plugin_cache_block_kinds();
size_t plugin_cache_blocks();  // arrays and names
// The address cache grows by this many bytes: 100 entries of 8 bytes, 16 on x86-64.
constexpr SIZE_T kCacheGrowth = 100 * 2 * sizeof(void*);
// The host has taken `block` over (it frees it itself, through its own
// import table): it no longer counts as the plug-in's.
void hand_over(const void* block);
// Hands over every text of the item and frees the item, as the host does.
void free_watched_item(CheckItem* item);

// GlobalAlloc calls made by the plug-in since the last reset_alloc_calls().
int alloc_calls();
void reset_alloc_calls();
// Every requested size since the last reset_alloc_calls(), in order.
const std::vector<SIZE_T>& alloc_sizes();

// Makes the plug-in's n-th GlobalAlloc call from now on fail (1 is the next
// one). Resets the call count and what failed.
void fail_alloc_call(int n);
// Makes every GlobalAlloc call for exactly `size` bytes fail. Resets what
// failed.
void fail_alloc_size(SIZE_T size);
// Makes no call fail from now on; what failed is kept.
void stop_failing_allocs();
// Whether a call failed on purpose since the last fail_alloc_call() or
// fail_alloc_size(), and the size it asked for (the last one).
bool alloc_failed();
SIZE_T failed_alloc_size();

// --- Sockets, datagrams and lookups -----------------------------------------

// Sockets the plug-in opened with `socket` and has not closed.
size_t plugin_sockets();
// closesocket calls for handles the plug-in never opened (say, the 0 of a
// zero-filled item).
int foreign_closes();
// The sockets the plug-in closed, in order (a test may clear the list).
std::vector<SOCKET>& closed_sockets();
// Datagrams the plug-in sent, and those it tried to send beyond 127.0.0.0/8
// (refused with WSAEACCES: tests never touch another address).
int datagrams_sent();
int datagrams_refused();
// The UDP port (host byte order) the last datagram went to, and how many
// went to `port`.
uint16_t last_destination_port();
int datagrams_sent_to(uint16_t port);

// The plug-in's next call of one of these fails once with the Windows
// Sockets error `error` (a lookup: it does not start; a read: it reads
// nothing, as when Windows reports an ICMP error instead of a datagram).
enum class SocketCall { kSocket, kReadRequest, kSend, kLookup, kRead };
void fail_next(SocketCall call, int error);

// With fake lookups on, WSAAsyncGetHostByName resolves any name to
// 127.0.0.1 at once (or fails it with `error` in the completion message) and
// posts MSG_GETHOST_DONE itself. Off, the system's lookup runs.
void fake_lookups(bool on, int error = 0);
// Fake lookups write a host entry that lists no address at all.
void fake_empty_lookups(bool empty);
// With held lookups (fake lookups only) a lookup starts but neither writes
// its entry nor posts its message until complete_held_lookups(), which does
// both for every lookup held and returns how many there were.
void hold_lookups(bool on);
int complete_held_lookups();
// Names the plug-in asked to look up, in order.
const std::vector<std::string>& looked_up_names();
void clear_looked_up_names();
// Lookup handles the plug-in cancelled, in order (a test may clear the list).
std::vector<HANDLE>& cancelled_lookups();

// --- Clock ------------------------------------------------------------------

// 0 gives the plug-in the real clocks; any other value is what it reads as
// now from the precise clock, and that plus `coarse_skew` from the coarse one.
// A scripted server's thread may call it too.
void set_plugin_clock(uint64_t now, int64_t coarse_skew = 0);
// The plug-in reads the real clocks, running, but `offset` 100-ns units off.
void run_plugin_clock_off_by(int64_t offset);
// The plug-in finds no precise clock (GetProcAddress says so), as on older
// systems, and reads the coarse one. It looks the clock up once per load:
// this holds for a module loaded again while it is set.
void hide_precise_clock(bool hidden);
// The plug-in's monotonic counter (GetTickCount) is the tests' own: it
// starts at the system's count when the plug-in is first watched and moves
// only when a test moves it on, instead of sleeping through a wait. It
// never runs back.
void advance_plugin_ticks(DWORD ms);
DWORD plugin_ticks();  // what the plug-in reads now
// The plug-in's SystemTimeToTzSpecificLocalTime fails (ERROR_INVALID_PARAMETER).
void fail_local_time_conversion(bool fail);
// The plug-in's clock changes (SetSystemTime, SetLocalTime) are recorded.
// They succeed without reaching the system, and its WM_TIMECHANGE broadcast
// is counted, not posted, unless they are let through to the system.
void let_clock_changes_through(bool through);
int clock_changes();  // SetSystemTime calls, counted all along
// What SetSystemTime and SetLocalTime were asked for, in order (a test may
// clear the lists).
std::vector<SYSTEMTIME>& system_times_set();
std::vector<SYSTEMTIME>& local_times_set();
int time_change_broadcasts();

// Where the plug-in's random numbers come from: the system's generators as
// they are; CryptGenRandom alone (GetProcAddress finds no RtlGenRandom, as on
// Windows 2000); or nowhere (both fail).
enum class RandomSource { kSystem, kCryptoApiOnly, kNone };
void set_random_source(RandomSource source);

// --- Property pages -----------------------------------------------------------

// Creates `pages` property pages, then fails every later one (-1: none fails).
void fail_pages_after(int pages);

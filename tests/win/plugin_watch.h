// What the loaded plug-in takes from the system, watched through its import
// table (see import_patch.h): the global-heap blocks it allocates and frees,
// the sockets it opens and closes, and where it sends. The same patches can
// fail a GlobalAlloc call on demand, give the plug-in a clock of its own,
// keep its clock changes from reaching the system, and answer its name
// lookups. Nothing in the plug-in changes for any of this.
//
// All of it is process-wide: a test program installs the watch once, on the
// one module it loaded, and resets the knobs it uses.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "filetime_units.h"  // real_now(): the real precise system time
#include "plugin/host_contract.h"

// Patches GlobalAlloc, GlobalFree, socket, closesocket, sendto, the lookup
// functions, GetProcAddress (for the precise clock), SetSystemTime,
// SetLocalTime and PostMessageA in `module`. False when one of them is not
// imported. Installing twice on the same module does nothing more.
bool watch_plugin(HMODULE module);
// Forgets the module once the test has unloaded it, so that watch_plugin
// patches a module loaded again (possibly at the same address). What was
// counted stays.
void unwatch_plugin();

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
// Those of them that belong to the address cache, which keeps them for the
// life of the process: its table (a multiple of 100 entries of 8 bytes) and
// the copies of names the plug-in looked up.
size_t plugin_cache_blocks();
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

// --- Sockets and datagrams ------------------------------------------------

// Sockets the plug-in opened with `socket` and has not closed.
size_t plugin_sockets();
// closesocket calls for handles the plug-in never opened (say, the 0 of a
// zero-filled item).
int foreign_closes();
// Datagrams the plug-in sent, and those it tried to send beyond 127.0.0.0/8
// (refused with WSAEACCES: tests never touch another address).
int datagrams_sent();
int datagrams_refused();
// The UDP port (host byte order) the last datagram went to, and how many
// went to `port`.
uint16_t last_destination_port();
int datagrams_sent_to(uint16_t port);

// --- Clock ------------------------------------------------------------------

// 0 gives the plug-in the real precise clock; any other value is what it
// reads as now (FILETIME units).
void set_plugin_clock(uint64_t now);
// The plug-in's clock changes (SetSystemTime calls, counted, and
// SetLocalTime) succeed without reaching the system, and its WM_TIMECHANGE
// broadcast is counted, not posted.
int clock_changes();
int time_change_broadcasts();

// --- Name lookups -----------------------------------------------------------

// With fake lookups on, WSAAsyncGetHostByName resolves any name to
// 127.0.0.1 at once (or fails it with `error` in the completion message, or
// refuses to start with `start_error`) and posts MSG_GETHOST_DONE itself.
// Off, the system's lookup runs. On by default.
void fake_lookups(bool on, int error = 0, int start_error = 0);
// With held lookups (fake lookups only) a lookup starts but neither writes
// its entry nor posts its message until complete_held_lookups(), which does
// both for every lookup held and returns how many there were.
void hold_lookups(bool on);
int complete_held_lookups();
// Names the plug-in asked to look up, in order.
const std::vector<std::string>& looked_up_names();
void clear_looked_up_names();

// --- Replies ----------------------------------------------------------------

// A 48-byte SNTP reply: `first` octet, `stratum`, poll 6, precision -26,
// root delay 1.5 s, dispersion -2 (raw), reference 127.127.1.1, and
// T2 = T3 = `server_time` (a FILETIME count before 2036).
std::vector<uint8_t> sntp_reply(uint64_t server_time, uint8_t first = 0x24, uint8_t stratum = 2);
// "port;skip;threshold;quiet;"
std::string option_text(uint16_t port, int skip = 0, int threshold = 0, int quiet = 0);

// What the plug-in's error text for `code` is on this system: the system's
// message when it has one, else the module's string table entry.
std::string plugin_error_text(HMODULE module, int code);

// What the module remembers of servers while it is loaded, behind one lock:
//
// The HostAddressCache: server names resolved by an asynchronous lookup, so
// that later checks of any item naming the same server skip the lookup.
// Nothing expires; an address is removed when a check gets no usable answer
// there or cannot send there (address_cache_forget), and the whole table
// when the host unloads the module.
//
// What is known of each server (address and port): its back-off, after it
// sent RATE, DENY or RSTR, until which it gets no request; and the shortest
// round trip a reply from it took, which tells a late reply from a prompt
// one, for kRoundTripMemoryMs. Both are timed on the monotonic counter. At
// most kServerSlots servers are remembered; a new one takes the place of
// one whose back-off has ended, the one whose round trip was noted first,
// or else the one whose back-off ends first. Unloading the module forgets
// them all.
#pragma once

#include <cstdint>

#include "check/backoff.h"
#include "check/samples.h"

// Remembers `address` (IPv4, network byte order) for `name`. The same name
// added twice takes two entries. When memory is short the addition is
// dropped and the table stays as it was.
void address_cache_add(const char* name, uint32_t address);

// The address of the first entry whose name equals `name` regardless of
// case, or INADDR_NONE (all bits set) when there is none.
uint32_t address_cache_lookup(const char* name);

// Forgets every entry that pairs `name` (regardless of case) with
// `address`: the server there gave no usable answer, so the next check looks
// the name up again. Entries of the name with another address stay.
void address_cache_forget(const char* name, uint32_t address);

// Frees the table, forgets every server and deletes the critical section
// when the host unloads the module, so that none outlives the code and data
// they belong to.
void address_cache_release();

constexpr uint32_t kServerSlots = 64;
// Routes change: a server's shortest round trip is forgotten this long after
// it was seen (24 hours).
constexpr uint64_t kRoundTripMemoryMs = 86'400'000;

// Notes that the server at `address` and `port` (network byte order) sent
// `code` with poll interval `poll` at `now` (monotonic ms), and returns its
// back-off.
Backoff server_backoff_note(uint32_t address, uint16_t port, KissCode code, int8_t poll, uint64_t now);

// Whether requests to the server wait at `now`; `*backoff` then says until
// when, and for which code.
bool server_backoff_holds(uint32_t address, uint16_t port, uint64_t now, Backoff* backoff);

// The server gave a usable reply to a request that left at `request_sent`
// (monotonic ms): when that was after its back-off was noted, it is no
// longer backed off, and its next RATE starts again from the first
// back-off. A reply to a request already on its way when the kiss came
// (another item's, say) says nothing about the server's wish.
void server_backoff_clear(uint32_t address, uint16_t port, uint64_t request_sent);

// The shortest round trip (100-ns units) of a usable reply from the server
// within kRoundTripMemoryMs before `now`, or kNoUsualRoundTrip.
int64_t server_usual_round_trip(uint32_t address, uint16_t port, uint64_t now);

// Notes a usable reply's round trip (below 0 counts as 0) at `now`: it is
// the server's usual when it is the shortest, or when `outdated` says the
// usual one is so no longer.
void server_round_trip_note(uint32_t address, uint16_t port, int64_t round_trip, uint64_t now, bool outdated);

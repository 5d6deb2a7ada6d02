#include "check/address_cache.h"

#include <windows.h>

#include "plugin/global_text.h"

namespace {

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;  // INADDR_NONE
constexpr uint32_t kGrowth = 100;

struct CacheEntry {
  char* name;        // fixed global-heap copy
  uint32_t address;  // network byte order
};

struct HostAddressCache {
  CRITICAL_SECTION lock;
  CacheEntry* entries;  // null until the first array could be allocated
  uint32_t count;
  uint32_t capacity;
};

HostAddressCache g_cache;
volatile LONG g_lock_state;  // 0 not made, 1 being made, 2 ready

// What is known of a server: a fixed table, so that remembering one never
// fails for want of memory. Guarded by the cache's critical section.
struct ServerEntry {
  uint32_t address;  // network byte order
  uint16_t port;     // network byte order
  bool in_use;
  Backoff backoff;            // zero-filled when the server never asked to be left alone
  int64_t round_trip;         // the shortest, or kNoUsualRoundTrip
  uint64_t round_trip_noted;  // monotonic ms
};
ServerEntry g_servers[kServerSlots];

CacheEntry* alloc_entries(uint32_t capacity) {
  return static_cast<CacheEntry*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, capacity * sizeof(CacheEntry)));
}

// Enters the critical section of the table and the back-offs, creating the
// section once.
void lock_cache() {
  if (InterlockedCompareExchange(&g_lock_state, 1, 0) == 0) {
    InitializeCriticalSection(&g_cache.lock);
    InterlockedExchange(&g_lock_state, 2);
  }
  while (g_lock_state != 2) Sleep(0);
  EnterCriticalSection(&g_cache.lock);
}

// Enters the critical section and creates the table's first array whenever
// it is still missing (an earlier use may have found no memory for it).
// False when there is no array; the section is held either way.
bool enter_cache() {
  lock_cache();
  if (g_cache.entries == nullptr) {
    g_cache.entries = alloc_entries(kGrowth);
    g_cache.count = 0;
    g_cache.capacity = g_cache.entries != nullptr ? kGrowth : 0;
  }
  return g_cache.entries != nullptr;
}

void leave_cache() { LeaveCriticalSection(&g_cache.lock); }

// Grows the array by 100 entries before its last slot would be filled.
bool make_room() {
  if (g_cache.count + 1 < g_cache.capacity) return true;
  CacheEntry* larger = alloc_entries(g_cache.capacity + kGrowth);
  if (larger == nullptr) return false;
  CopyMemory(larger, g_cache.entries, g_cache.count * sizeof(CacheEntry));
  GlobalFree(g_cache.entries);
  g_cache.entries = larger;
  g_cache.capacity += kGrowth;
  return true;
}

ServerEntry* find_server(uint32_t address, uint16_t port) {
  for (ServerEntry& entry : g_servers) {
    if (entry.in_use && entry.address == address && entry.port == port) return &entry;
  }
  return nullptr;
}

bool round_trip_known(const ServerEntry& entry, uint64_t now) {
  return entry.round_trip != kNoUsualRoundTrip && entry.round_trip_noted <= now &&
         now - entry.round_trip_noted < kRoundTripMemoryMs;
}

// The server's entry, made when it has none: in a free slot, else in place
// of one whose back-off has ended, the one whose round trip was noted
// first, or else the one whose back-off ends first.
ServerEntry* server_entry(uint32_t address, uint16_t port, uint64_t now) {
  if (ServerEntry* known = find_server(address, port)) return known;
  ServerEntry* replaced = nullptr;
  for (ServerEntry& entry : g_servers) {
    if (!entry.in_use) {
      replaced = &entry;
      break;
    }
    if (replaced == nullptr) {
      replaced = &entry;
      continue;
    }
    const bool waits = backoff_holds(entry.backoff, now);
    const bool replaced_waits = backoff_holds(replaced->backoff, now);
    if (waits != replaced_waits ? !waits
        : waits                 ? entry.backoff.until < replaced->backoff.until
                                : entry.round_trip_noted < replaced->round_trip_noted) {
      replaced = &entry;
    }
  }
  *replaced = ServerEntry{address, port, true, Backoff{}, kNoUsualRoundTrip, 0};
  return replaced;
}

}  // namespace

void address_cache_add(const char* name, uint32_t address) {
  if (enter_cache() && make_room()) {
    char* copy = copy_text(name);
    if (copy != nullptr) {
      g_cache.entries[g_cache.count].name = copy;
      g_cache.entries[g_cache.count].address = address;
      ++g_cache.count;
    }
  }
  leave_cache();
}

uint32_t address_cache_lookup(const char* name) {
  uint32_t address = kNoAddress;
  if (enter_cache()) {
    for (uint32_t i = 0; i < g_cache.count; ++i) {
      if (lstrcmpiA(g_cache.entries[i].name, name) == 0) {
        address = g_cache.entries[i].address;
        break;
      }
    }
  }
  leave_cache();
  return address;
}

void address_cache_forget(const char* name, uint32_t address) {
  if (enter_cache()) {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < g_cache.count; ++i) {
      CacheEntry& entry = g_cache.entries[i];
      if (entry.address == address && lstrcmpiA(entry.name, name) == 0) {
        free_text(entry.name);
      } else {
        g_cache.entries[kept++] = entry;
      }
    }
    // No copy of a freed name's pointer stays behind the entries in use.
    ZeroMemory(g_cache.entries + kept, (g_cache.count - kept) * sizeof(CacheEntry));
    g_cache.count = kept;
  }
  leave_cache();
}

Backoff server_backoff_note(uint32_t address, uint16_t port, KissCode code, int8_t poll, uint64_t now) {
  lock_cache();
  ServerEntry* entry = server_entry(address, port, now);
  entry->backoff = next_backoff(entry->backoff, code, poll, now);
  const Backoff noted = entry->backoff;
  leave_cache();
  return noted;
}

bool server_backoff_holds(uint32_t address, uint16_t port, uint64_t now, Backoff* backoff) {
  lock_cache();
  const ServerEntry* entry = find_server(address, port);
  const bool holds = entry != nullptr && backoff_holds(entry->backoff, now);
  if (holds) *backoff = entry->backoff;
  leave_cache();
  return holds;
}

void server_backoff_clear(uint32_t address, uint16_t port, uint64_t request_sent) {
  lock_cache();
  ServerEntry* entry = find_server(address, port);
  if (entry != nullptr && request_sent > entry->backoff.noted_at) entry->backoff = Backoff{};
  leave_cache();
}

int64_t server_usual_round_trip(uint32_t address, uint16_t port, uint64_t now) {
  lock_cache();
  const ServerEntry* entry = find_server(address, port);
  const int64_t usual = entry != nullptr && round_trip_known(*entry, now) ? entry->round_trip : kNoUsualRoundTrip;
  leave_cache();
  return usual;
}

void server_round_trip_note(uint32_t address, uint16_t port, int64_t round_trip, uint64_t now, bool outdated) {
  lock_cache();
  ServerEntry* entry = server_entry(address, port, now);
  if (round_trip < 0) round_trip = 0;
  if (outdated || !round_trip_known(*entry, now) || round_trip <= entry->round_trip) {
    entry->round_trip = round_trip;
    entry->round_trip_noted = now;
  }
  leave_cache();
}

void address_cache_release() {
  if (g_lock_state != 2) return;
  EnterCriticalSection(&g_cache.lock);
  ZeroMemory(g_servers, sizeof g_servers);
  if (g_cache.entries != nullptr) {
    for (uint32_t i = 0; i < g_cache.count; ++i) free_text(g_cache.entries[i].name);
    GlobalFree(g_cache.entries);
  }
  g_cache.entries = nullptr;
  g_cache.count = 0;
  g_cache.capacity = 0;
  LeaveCriticalSection(&g_cache.lock);
  DeleteCriticalSection(&g_cache.lock);
  g_lock_state = 0;
}

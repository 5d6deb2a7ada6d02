#include "check/clock.h"

#include <windows.h>

namespace {

using PreciseClock = VOID(WINAPI*)(LPFILETIME);
PreciseClock g_precise_clock;
bool g_precise_clock_looked_up;

// The system's precise clock, looked up by name the first time the time is
// read and kept while the module is loaded: the module still loads on
// systems that have none (null here), which read the coarse clock.
PreciseClock precise_clock() {
  if (!g_precise_clock_looked_up) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
    g_precise_clock = reinterpret_cast<PreciseClock>(reinterpret_cast<void*>(found));
    g_precise_clock_looked_up = true;
  }
  return g_precise_clock;
}

// The tick count as last read, and the 64-bit count it belongs to.
DWORD g_last_tick;
uint64_t g_ticks;

}  // namespace

uint64_t system_time_now() {
  FILETIME now;
  if (PreciseClock precise = precise_clock()) {
    precise(&now);
  } else {
    GetSystemTimeAsFileTime(&now);
  }
  return (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

uint64_t system_clock_step() {
  // The precise clock counts below a microsecond; the coarse one moves with
  // the system's timer interrupt, 15.625 ms by default.
  return precise_clock() != nullptr ? 10 : 156'250;
}

uint64_t monotonic_ms() {
  // The difference of two readings is right across a wrap as long as they
  // are less than 49.7 days apart. Every wait the module times is far
  // shorter; should the module go unread for longer, the count falls behind
  // and what was noted before seems to lie ahead, which every reader takes
  // as over.
  const DWORD now = GetTickCount();
  g_ticks += static_cast<DWORD>(now - g_last_tick);
  g_last_tick = now;
  return g_ticks;
}

// FILETIME values as the plug-in counts them: unsigned 64-bit numbers of
// 100-ns units since 1601-01-01 00:00 UTC.
#pragma once

#include <windows.h>

#include <cstdint>

// The system's precise clock now.
inline uint64_t real_now() {
  FILETIME t;
  GetSystemTimePreciseAsFileTime(&t);
  return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}

// A SYSTEMTIME as such a count.
inline uint64_t to_units(const SYSTEMTIME& t) {
  FILETIME f;
  SystemTimeToFileTime(&t, &f);
  return (uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime;
}

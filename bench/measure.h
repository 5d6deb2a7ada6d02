// Timing helpers of the benchmark: the performance counter, the system
// clock the plug-in reads, the calling thread's CPU time, and order
// statistics of a run's samples.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

inline int64_t ticks_now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

inline double ticks_to_us(int64_t ticks) {
  static const double ticks_per_us = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart) / 1e6;
  }();
  return static_cast<double>(ticks) / ticks_per_us;
}

// The system time as a FILETIME count, from the precise clock the plug-in reads.
inline uint64_t system_now() {
  FILETIME t;
  GetSystemTimePreciseAsFileTime(&t);
  return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}

// User and kernel time of the calling thread so far, in microseconds.
inline double thread_cpu_us() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  const auto units = [](const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
  return static_cast<double>(units(kernel) + units(user)) / 10.0;
}

struct Samples {
  std::vector<double> values;

  void add(double v) { values.push_back(v); }
  size_t size() const { return values.size(); }
  // The p-th percentile (0 < p <= 100) by nearest rank; 0 when empty.
  double percentile(double p) const {
    if (values.empty()) return 0;
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[rank == 0 ? 0 : rank - 1];
  }
  double median() const { return percentile(50); }
  // The sample of largest magnitude, with its sign.
  double worst() const {
    double w = 0;
    for (double v : values) w = std::fabs(v) > std::fabs(w) ? v : w;
    return w;
  }
};

// Many exchanges started at once and awaited together.
struct BatchTiming {
  double total_ms = 0;  // from the first start to the last answer
  double cpu_us = 0;    // CPU time of the calling thread over that span
  size_t answered = 0;  // exchanges that ended with an answer in time
};

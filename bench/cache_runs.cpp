#include "cache_runs.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "check/address_cache.h"
#include "measure.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order

std::string server_name(size_t index) {
  char name[64];
  std::snprintf(name, sizeof name, "ntp%u.time-server.example.jp", static_cast<unsigned>(index));
  return name;
}

double median_lookup_us(const std::string& name, int lookups) {
  Samples s;
  for (int i = 0; i < lookups; ++i) {
    const int64_t start = ticks_now();
    const volatile uint32_t address = address_cache_lookup(name.c_str());
    s.add(ticks_to_us(ticks_now() - start));
    (void)address;
  }
  return s.median();
}

}  // namespace

std::vector<CacheLookupCost> measure_address_cache(const std::vector<size_t>& sizes, int lookups) {
  std::vector<CacheLookupCost> out;
  size_t added = 0;
  for (size_t size : sizes) {
    for (; added < size; ++added) address_cache_add(server_name(added).c_str(), kLoopback);
    CacheLookupCost cost;
    cost.names = size;
    cost.first_us = median_lookup_us(server_name(0), lookups);
    cost.last_us = median_lookup_us(server_name(size - 1), lookups);
    cost.miss_us = median_lookup_us("ntp.unknown.example.jp", lookups);
    out.push_back(cost);
  }
  return out;
}

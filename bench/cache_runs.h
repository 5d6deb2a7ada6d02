// The address cache's own cost, measured on its objects linked into the
// benchmark (the same code the module runs): one lookup with a given number
// of names in the table.
#pragma once

#include <cstddef>
#include <vector>

struct CacheLookupCost {
  size_t names = 0;
  double first_us = 0;  // the name added first: found by the first comparison
  double last_us = 0;   // the name added last: found after comparing every name
  double miss_us = 0;   // a name not in the table
};

// Fills the table up to each size in turn (ascending) with names like a
// host's servers and times `lookups` lookups of each kind at each size
// (median per lookup).
std::vector<CacheLookupCost> measure_address_cache(const std::vector<size_t>& sizes, int lookups);

// The HostAddressCache: server names resolved by an asynchronous lookup, kept
// while the module is loaded so that later checks of any item naming the
// same server skip the lookup. Nothing expires or is removed until the host
// unloads the module.
#pragma once

#include <cstdint>

// Remembers `address` (IPv4, network byte order) for `name`. The same name
// added twice takes two entries. When memory is short the addition is
// dropped and the table stays as it was.
void address_cache_add(const char* name, uint32_t address);

// The address of the first entry whose name equals `name` regardless of
// case, or INADDR_NONE (all bits set) when there is none.
uint32_t address_cache_lookup(const char* name);

// Frees the table and its critical section when the host unloads the
// module, so that neither outlives the code and data they belong to.
void address_cache_release();

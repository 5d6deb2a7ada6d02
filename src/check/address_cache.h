// The HostAddressCache: server names resolved by an asynchronous lookup, kept
// while the module is loaded so that later checks of any item naming the
// same server skip the lookup. Nothing expires; an address is removed only
// when a check gets no answer there or cannot send there
// (address_cache_forget), and the whole table when the host unloads the
// module.
#pragma once

#include <cstdint>

// Remembers `address` (IPv4, network byte order) for `name`. The same name
// added twice takes two entries. When memory is short the addition is
// dropped and the table stays as it was.
void address_cache_add(const char* name, uint32_t address);

// The address of the first entry whose name equals `name` regardless of
// case, or INADDR_NONE (all bits set) when there is none.
uint32_t address_cache_lookup(const char* name);

// Forgets every entry that pairs `name` (regardless of case) with
// `address`: the server there no longer answers, so the next check looks the
// name up again. Entries of the name with another address stay.
void address_cache_forget(const char* name, uint32_t address);

// Frees the table and its critical section when the host unloads the
// module, so that neither outlives the code and data they belong to.
void address_cache_release();

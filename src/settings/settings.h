// The working record and the item's stored texts: the settings loader that
// fills a ProbeState from an item, and the writers of the option and
// server-information texts.
#pragma once

#include "plugin/host_contract.h"
#include "settings/probe_state.h"
#include "settings/server_info_string.h"

// A zero-filled ProbeState from the global heap, or null when memory is short.
ProbeState* new_probe_state();
void free_probe_state(ProbeState* probe);

// Fills server_name, port and the clock options from the item's address and
// options. Without options the port comes from the services database ("sntp"
// over "udp", else 123), the threshold options are cleared and quiet_update is
// left as it was. A port of 0 becomes 123.
void load_settings(const CheckItem* item, ProbeState* probe);

// Replaces the item's options with the OptionString of `probe`, formatted
// into `text`, a global-heap block of kOptionStringSize bytes that the item
// takes over. The caller allocates it before it changes anything else, so
// that a shortage of memory leaves the item as a whole untouched.
void write_option_string(CheckItem* item, const ProbeState* probe, char* text);

// Replaces the item's server_info; left null when memory is short.
void write_server_info(CheckItem* item, const ServerInfo& info);

// Reads the item's server_info; false when the item has none.
bool read_server_info(const CheckItem* item, ServerInfo* info);

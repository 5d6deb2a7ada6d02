// The working record and the item's settings: the settings loader that
// fills a ProbeState from an item, and the writer of its option text.
#pragma once

#include "plugin/host_contract.h"
#include "settings/probe_state.h"

// A zero-filled ProbeState from the global heap, or null when memory is short.
ProbeState* new_probe_state();
void free_probe_state(ProbeState* probe);

// Fills server_name, port and the clock options from the item's address and
// options. Without options the port comes from the services database ("sntp"
// over "udp", else 123), the threshold options are cleared and quiet_update is
// left as it was. A port of 0 becomes 123.
void load_settings(const CheckItem* item, ProbeState* probe);

// Replaces the item's options with the OptionString of `probe`. False when
// memory is short: the item then keeps its previous options.
bool write_option_string(CheckItem* item, const ProbeState* probe);

// An item's settings: the settings loader that reads the server's name and
// the clock options from the item's texts, and the writer of its option text.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin/host_contract.h"
#include "settings/option_text.h"

constexpr uint16_t kDefaultNtpPort = 123;

// Fills `server_name` (`server_name_size` bytes) from the item's address and
// `options` (port and clock options) from its option text. Without an option
// text the port comes from the services database ("sntp" over "udp", else
// 123), the threshold options are cleared and quiet_update is left as it
// was. A port of 0 becomes 123.
void load_settings(const CheckItem* item, char* server_name, size_t server_name_size, ItemOptions* options);

// Replaces the item's options with the OptionString of `options`, formatted
// into `text`, a global-heap block of kOptionStringSize bytes that the item
// takes over. The caller allocates it before it changes anything else, so
// that a shortage of memory leaves the item as a whole untouched.
void write_option_string(CheckItem* item, const ItemOptions& options, char* text);

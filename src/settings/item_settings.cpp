#include "settings/item_settings.h"

#include <windows.h>
#include <winsock.h>

#include "plugin/global_text.h"
#include "settings/option_text.h"
#include "settings/server_address.h"

// The port the services database gives for SNTP over UDP, or 123.
static uint16_t default_port() {
  const servent* entry = getservbyname("sntp", "udp");
  if (entry == nullptr) return kDefaultNtpPort;
  return ntohs(static_cast<u_short>(entry->s_port));
}

void load_settings(const CheckItem* item, char* server_name, size_t server_name_size, ItemOptions* options) {
  server_name_from_address(item->address, server_name, server_name_size);
  // An item without options takes its port from the services database and
  // no threshold; quiet_update keeps what it was.
  *options = item->options != nullptr ? parse_option_string(item->options)
                                      : ItemOptions{default_port(), 0, 0, options->quiet_update};
  if (options->port == 0) options->port = kDefaultNtpPort;
}

void write_option_string(CheckItem* item, const ItemOptions& options, char* text) {
  format_option_string(options, text, kOptionStringSize);
  replace_text(&item->options, text);
}

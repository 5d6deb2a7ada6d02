#include "settings/item_settings.h"

#include <windows.h>
#include <winsock.h>

#include "plugin/global_text.h"
#include "settings/option_text.h"
#include "settings/server_address.h"

ProbeState* new_probe_state() {
  return static_cast<ProbeState*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, sizeof(ProbeState)));
}

void free_probe_state(ProbeState* probe) {
  if (probe != nullptr) GlobalFree(probe);
}

// The port the services database gives for SNTP over UDP, or 123.
static uint16_t default_port() {
  const servent* entry = getservbyname("sntp", "udp");
  if (entry == nullptr) return kDefaultNtpPort;
  return ntohs(static_cast<u_short>(entry->s_port));
}

void load_settings(const CheckItem* item, ProbeState* probe) {
  server_name_from_address(item->address, probe->server_name, sizeof probe->server_name);
  // An item without options takes its port from the services database and
  // no threshold; quiet_update keeps what it was.
  probe->options = item->options != nullptr ? parse_option_string(item->options)
                                            : ItemOptions{default_port(), 0, 0, probe->options.quiet_update};
  if (probe->options.port == 0) probe->options.port = kDefaultNtpPort;
}

bool write_option_string(CheckItem* item, const ProbeState* probe) {
  // Without memory for the new text the item keeps its old one: a null text
  // would silently reset every option to its default at the next load.
  char* text = alloc_text(kOptionStringSize);
  if (text == nullptr) return false;
  format_option_string(probe->options, text, kOptionStringSize);
  replace_text(&item->options, text);
  return true;
}

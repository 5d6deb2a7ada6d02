#include "settings/settings.h"

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

void write_option_string(CheckItem* item, const ProbeState* probe, char* text) {
  format_option_string(probe->options, text, kOptionStringSize);
  replace_text(&item->options, text);
}

void write_server_info(CheckItem* item, const ServerInfo& info) {
  char* text = alloc_text(kServerInfoStringSize);
  if (text != nullptr) format_server_info(info, text, kServerInfoStringSize);
  replace_text(&item->server_info, text);
}

bool read_server_info(const CheckItem* item, ServerInfo* info) {
  return parse_server_info(item->server_info, info);
}

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
  if (item->options != nullptr) {
    ItemOptions options = parse_option_string(item->options);
    probe->port = options.port;
    probe->skip_small_offsets = options.skip_small_offsets;
    probe->sync_threshold_ms = options.sync_threshold_ms;
    probe->quiet_update = options.quiet_update;
  } else {
    probe->port = default_port();
    probe->skip_small_offsets = 0;
    probe->sync_threshold_ms = 0;
  }
  if (probe->port == 0) probe->port = kDefaultNtpPort;
}

void write_option_string(CheckItem* item, const ProbeState* probe) {
  // Without memory for the new text the item keeps its old one: a null text
  // would silently reset every option to its default at the next load.
  char* text = alloc_text(kOptionStringSize);
  if (text == nullptr) return;
  ItemOptions options{probe->port, probe->skip_small_offsets, probe->sync_threshold_ms, probe->quiet_update};
  format_option_string(options, text, kOptionStringSize);
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

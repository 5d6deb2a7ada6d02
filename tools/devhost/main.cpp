// devhost: a small stand-in for the host application, for trying the plug-in
// by hand. It plays the host's side of the contract and prints, as UTF-8,
// what it sees.
//
//   devhost info [path\to\sntp.dll]     what the module offers
//   devhost check <address> [options-text] [--dll path\to\sntp.dll]
//                                        one whole check of an item, as the host runs it
#include <windows.h>
#include <winsock.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host_side.h"
#include "settings/server_info_text.h"

namespace {

void print(const std::string& utf8) { std::fwrite(utf8.data(), 1, utf8.size(), stdout); }
void println(const std::string& utf8) { print(utf8 + "\n"); }
std::string u8(const char* cp932) { return cp932_to_utf8(cp932 ? cp932 : ""); }

std::string version_of(const std::string& path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return "(no version block)";
  std::vector<char> block(size);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) return "(unreadable version block)";
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &len) || fixed == nullptr) {
    return "(no fixed version)";
  }
  char text[64];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
  std::string out = text;
  char* description = nullptr;
  if (VerQueryValueA(block.data(), "\\StringFileInfo\\041103a4\\FileDescription",
                     reinterpret_cast<void**>(&description), &len) &&
      description != nullptr) {
    out += "  " + u8(description);
  }
  return out;
}

int cmd_info(const std::string& path, PluginApi& api) {
  println("module:     " + path);
  println("version:    " + version_of(path));
  println("protocol:   " + u8(api.protocol.c_str()));
  println("prefix:     " + u8(api.prefix.c_str()));
  ProtocolEntry second{};
  println(std::string("protocols:  ") + (api.get_protocol_list(1, &second) == -1 ? "1" : "more than 1"));
  if (api.get_tool_list) {
    println("tools:      " + std::string(api.get_tool_list(0, 0) == -1 ? "none" : "some"));
  }
  if (api.get_info == nullptr) {
    println("item type:  (no GetInfo)");
    return 1;
  }
  ItemTypeInfo info{};
  int r = api.get_info(&info);
  println("scheme:     " + u8(info.scheme));
  println("menu text:  " + u8(info.menu_text));
  println("commands:   " + std::to_string(info.command_count) + (r == 0 ? "" : " (GetInfo failed)"));
  for (int i = 0; i < info.command_count && info.commands != nullptr; ++i) {
    const ItemCommand& c = info.commands[i];
    println("  [" + std::to_string(i) + "] " + u8(c.label) + "  command \"" + u8(c.command) + "\"  (" +
            std::to_string(c.value1) + ", " + std::to_string(c.value2) + ")");
  }
  if (info.commands != nullptr) GlobalFree(info.commands);
  struct Named {
    const char* name;
    const void* fn;
  } ops[] = {
      {"GetInfo", reinterpret_cast<const void*>(api.get_info)},
      {"EndNotify", reinterpret_cast<const void*>(api.end_notify)},
      {"ProtocolProperty", reinterpret_cast<const void*>(api.protocol_property)},
      {"GetItemText", reinterpret_cast<const void*>(api.get_item_text)},
      {"Initialize", reinterpret_cast<const void*>(api.initialize)},
      {"InitItem", reinterpret_cast<const void*>(api.init_item)},
      {"Start", reinterpret_cast<const void*>(api.start)},
      {"Gethost", reinterpret_cast<const void*>(api.gethost)},
      {"Select", reinterpret_cast<const void*>(api.select)},
      {"Timer", reinterpret_cast<const void*>(api.timer)},
      {"ItemCheckEnd", reinterpret_cast<const void*>(api.item_check_end)},
      {"Cancel", reinterpret_cast<const void*>(api.cancel)},
      {"Property", reinterpret_cast<const void*>(api.property)},
      {"ExecItem", reinterpret_cast<const void*>(api.exec_item)},
  };
  std::string present, missing;
  for (const Named& op : ops) (op.fn ? present : missing) += std::string(" ") + op.name;
  println("operations:" + present);
  if (!missing.empty()) println("not yet:   " + missing);
  return 0;
}

const char* result_meaning(WPARAM result) {
  switch (result) {
    case CHECK_OK_QUIET: return "succeeded, nothing to announce";
    case CHECK_CHANGED: return "the clock was moved, to be announced";
    case CHECK_FAILED: return "failed";
    case CHECK_TIMEOUT: return "timed out";
    default: return "?";
  }
}

// The server's information as the item's Information page shows it.
std::string precision_text(int p) {
  char text[32];
  if (p >= 0 || p <= -30) return "不明";
  if (p >= -9) std::snprintf(text, sizeof text, "%d msec", 1000 >> -p);
  else if (p >= -19) std::snprintf(text, sizeof text, "%d μsec", 1000000 >> -p);
  else std::snprintf(text, sizeof text, "%d nsec", 1000000000 >> -p);
  return text;
}

std::string poll_text(int n) {
  char text[32];
  if (n >= 0 && n <= 30) std::snprintf(text, sizeof text, "%d sec", 1 << n);
  else if (n < 0 && n >= -31) std::snprintf(text, sizeof text, "%d msec", 1000 >> -n);
  else return "不明";
  return text;
}

void print_server_info(const CheckItem* item) {
  ServerInfo info;
  if (!parse_server_info(item->server_info, &info)) {
    println("server:       (no reply yet)");
    return;
  }
  char id[32];
  if (info.stratum == 1) {
    std::snprintf(id, sizeof id, "%.4s", reinterpret_cast<const char*>(info.reference_id));
  } else {
    std::snprintf(id, sizeof id, "%d.%d.%d.%d", info.reference_id[0], info.reference_id[1], info.reference_id[2],
                  info.reference_id[3]);
  }
  const bool unknown_stratum = info.stratum == 0;
  println("server:       " + u8(item->server_info));
  println("  version:          " + std::to_string((info.first_octet >> 3) & 7));
  println("  stratum:          " + (unknown_stratum ? u8("不明") : std::to_string(info.stratum)));
  println("  polling interval: " + u8(poll_text(info.poll).c_str()));
  println("  precision:        " + u8(precision_text(info.precision).c_str()));
  println("  reference id:     " + (unknown_stratum ? u8("不明") : u8(id)));
  if (item->error_text != nullptr && item->error_text[0] != '\0') {
    println("  (while error_text is set, the Information page shows " + u8("不明") + " everywhere)");
  }
}

// Plays the host for one check: a window with its status bar, the message
// loop, SNTP_Timer every second, and SNTP_ItemCheckEnd once the check is over.
int cmd_check(PluginApi& api, const std::string& address, const char* options) {
  if (!api.start || !api.timer || !api.item_check_end) {
    println("devhost: the module has no check operations");
    return 1;
  }
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(1, 1), &wsa) != 0) {
    println("devhost: Windows Sockets did not start");
    return 1;
  }
  HostWindow host;
  if (!create_host_window(&host, &api)) {
    println("devhost: cannot create the host window");
    return 1;
  }
  CheckItem* item = new_item();
  set_item_text(&item->address, address.c_str());  // argv is in the ANSI code page already
  set_item_text(&item->options, options);
  host.items.push_back(item);
  std::vector<std::string> log;
  bool failed = false;
  host.on_message = [&](UINT message, WPARAM, LPARAM) {
    if (message != WM_TIMER) return;
    int r = api.timer(host.window, item);
    log.push_back("Timer " + std::to_string(r));
  };
  if (api.initialize) api.initialize(host.window, item);
  if (api.init_item) api.init_item(host.window, item);
  println("check:        " + u8(address.c_str()) + (options ? "  options " + std::string(options) : "  (no options)"));

  const int started = api.start(host.window, item);
  log.push_back("Start " + std::to_string(started));
  failed = started == -1;
  SetTimer(host.window, 1, 1000, nullptr);
  size_t seen_calls = 0;
  pump_messages_until(
      [&] {
        for (; seen_calls < host.calls.size(); ++seen_calls) {
          const OperationCall& c = host.calls[seen_calls];
          log.push_back(std::string(c.name) + " " + std::to_string(c.result));
          failed = failed || c.result == -1;
        }
        return !host.check_ends.empty() || failed;
      },
      15000);
  KillTimer(host.window, 1);
  // A lookup still running must finish before the check ends: Wine does not
  // stop a cancelled lookup, which would then write into freed memory.
  pump_messages_until([&] { return item->lookup_handle == 0; }, 5000);
  api.item_check_end(host.window, item);

  for (const std::string& line : host.status_lines) println("status:       " + u8(line.c_str()));
  std::string calls;
  for (const std::string& entry : log) calls += (calls.empty() ? "" : ", ") + entry;
  println("calls:        " + calls + ", ItemCheckEnd");
  if (host.check_ends.empty()) {
    println("result:       none (" + std::string(failed ? "an operation failed" : "no MSG_CHECK_END") + ")");
  } else {
    const WPARAM r = host.check_ends.front().result;
    println("result:       " + std::to_string(r) + " (" + result_meaning(r) + ")");
  }
  println("offset_text:  " + (item->offset_text ? u8(item->offset_text) : "(none)"));
  println("changed_text: " + (item->changed_text ? u8(item->changed_text) : "(none)"));
  println("error_text:   " + (item->error_text ? u8(item->error_text) : "(none)"));
  print_server_info(item);
  host.items.clear();
  free_item(item);
  destroy_host_window(&host);
  WSACleanup();
  return host.check_ends.empty() || host.check_ends.front().result == CHECK_FAILED ||
                 host.check_ends.front().result == CHECK_TIMEOUT
             ? 1
             : 0;
}

int usage() {
  println("usage: devhost info [sntp.dll]");
  println("       devhost check <address> [options-text] [--dll sntp.dll]");
  println("         address: sntp://host or sntp://dotted.address");
  println("         options: \"port;skip-small-offsets;threshold-ms;quiet;\", e.g. \"11123;0;0;0;\"");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  std::string path = program_directory() + "sntp.dll";
  std::vector<std::string> args;  // after the command, without --dll PATH
  for (int i = 2; i < argc; ++i) {
    if (std::string(argv[i]) == "--dll" && i + 1 < argc) {
      path = argv[++i];
    } else {
      args.push_back(argv[i]);
    }
  }
  if (command == "info" && args.size() == 1) path = args[0];  // devhost info PATH
  if (command == "check" && (args.empty() || args.size() > 2)) return usage();
  if (command != "info" && command != "check") return usage();
  PluginApi api;
  std::string error;
  if (!load_plugin(path, &api, &error)) {
    println("devhost: " + error);
    return 1;
  }
  const int rc = command == "info" ? cmd_info(path, api)
                                   : cmd_check(api, args[0], args.size() > 1 ? args[1].c_str() : nullptr);
  std::fflush(stdout);
  unload_plugin(&api);
  return rc;
}

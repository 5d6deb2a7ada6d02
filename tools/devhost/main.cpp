// devhost: a small stand-in for the host application, for trying the plug-in
// by hand. It plays the host's side of the contract and prints, as UTF-8,
// what it sees.
//
//   devhost info [path\to\sntp.dll]     what the module offers
//   devhost props <address> [--title T] [--options T] [--comment T] [--error T]
//                 [--server-info T] [--host-version T | --no-host-version]
//                 [--exec COMMAND] [--page N] [--close-after MS] [--dll PATH]
//       opens the item's property sheet over a visible host window and, once
//       it has closed, prints what the plug-in returned and the item's texts
//   devhost check <address> [options-text] [--dll path\to\sntp.dll]
//                                        one whole check of an item, as the host runs it
#include <windows.h>
#include <winsock.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "check/server_info_string.h"
#include "host_side.h"
#include "import_patch.h"
#include "ui/info_page_texts.h"

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
            std::to_string(c.value512) + ", " + std::to_string(c.value516) + ")");
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

// Prints a stored text as UTF-8, with its control characters made visible.
std::string shown(const char* cp932) {
  if (cp932 == nullptr) return "(none)";
  std::string out;
  for (const char* p = cp932; *p != '\0'; ++p) {
    switch (*p) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default: out += *p;
    }
  }
  return "\"" + u8(out.c_str()) + "\"";
}

struct PropsArgs {
  std::string dll;
  std::string exec_command;
  bool exec = false;
  int page = 0;
  int close_after_ms = 0;
};

// What the timer inside the sheet's message loop does: show the page asked
// for, print where the sheet is (for scripts that take pictures of it), and
// cancel it when its time is up.
struct SheetWatch {
  HWND owner;
  const PropsArgs* args;
  bool announced;
  DWORD start;
} g_watch;

void CALLBACK watch_sheet(HWND, UINT, UINT_PTR, DWORD) {
  HWND sheet = find_property_sheet(g_watch.owner);
  if (sheet == nullptr) return;
  if (!g_watch.announced) {
    g_watch.announced = true;
    SendMessageA(sheet, PSM_SETCURSEL, static_cast<WPARAM>(g_watch.args->page), 0);
    RECT r;
    GetWindowRect(sheet, &r);
    std::printf("sheet window: %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    std::fflush(stdout);
  }
  if (g_watch.args->close_after_ms > 0 && GetTickCount() - g_watch.start >= DWORD(g_watch.args->close_after_ms)) {
    SendMessageA(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
  }
}

int cmd_props(PluginApi& api, HostWindow& host, CheckItem* item, const PropsArgs& args) {
  if (api.property == nullptr || api.exec_item == nullptr) {
    println("devhost: the module has no Property or ExecItem operation");
    return 1;
  }
  ShowWindow(host.window, SW_SHOW);
  g_watch = SheetWatch{host.window, &args, false, GetTickCount()};
  UINT_PTR timer = SetTimer(nullptr, 0, 50, watch_sheet);
  int result = args.exec ? api.exec_item(host.window, args.exec_command.c_str(), item)
                         : api.property(host.window, item);
  KillTimer(nullptr, timer);
  std::string meaning = args.exec ? (result == 1 ? "done" : "cancelled or failed")
                                  : (result == 0 ? "OK" : "cancelled or failed");
  println("result:     " + std::to_string(result) + " (" + meaning + ")");
  println("title:      " + shown(item->title));
  println("address:    " + shown(item->address));
  println("options:    " + shown(item->options));
  println("comment:    " + shown(item->comment));
  return 0;
}

const char* result_meaning(WPARAM result) {
  switch (result) {
    case CHECK_OK_QUIET: return "succeeded, nothing to announce";
    case CHECK_CHANGED: return "to be announced: the clock was moved, or a measured offset reached the threshold";
    case CHECK_FAILED: return "failed";
    case CHECK_TIMEOUT: return "timed out";
    default: return "?";
  }
}

// The server's information as the item's Information page shows it.
std::string precision_shown(int p) {
  char text[32];
  return precision_text(p, text, sizeof text) ? text : kUnknownText;
}

std::string poll_shown(int n) {
  char text[32];
  poll_text(n, text, sizeof text);
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
  println("  polling interval: " + u8(poll_shown(info.poll).c_str()));
  println("  precision:        " + u8(precision_shown(info.precision).c_str()));
  println("  reference id:     " + (unknown_stratum ? u8("不明") : u8(id)));
  if (item->error_text != nullptr && item->error_text[0] != '\0') {
    println("  (while error_text is set, the Information page shows " + u8("不明") + " everywhere)");
  }
}

// The clock changes the module asks for, counted on their way to the system.
int g_set_system_time_calls = 0, g_set_local_time_calls = 0;
decltype(&SetSystemTime) g_set_system_time = nullptr;
decltype(&SetLocalTime) g_set_local_time = nullptr;
BOOL WINAPI counted_set_system_time(const SYSTEMTIME* t) {
  ++g_set_system_time_calls;
  return g_set_system_time(t);
}
BOOL WINAPI counted_set_local_time(const SYSTEMTIME* t) {
  ++g_set_local_time_calls;
  return g_set_local_time(t);
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
  PatchedImport<decltype(&SetSystemTime)> set_system(api.module, "KERNEL32.dll", "SetSystemTime",
                                                     &counted_set_system_time);
  PatchedImport<decltype(&SetLocalTime)> set_local(api.module, "KERNEL32.dll", "SetLocalTime",
                                                   &counted_set_local_time);
  g_set_system_time = set_system.original;
  g_set_local_time = set_local.original;
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
  println("clock calls:  " + (set_system.applied() ? "SetSystemTime " + std::to_string(g_set_system_time_calls) +
                                                         ", SetLocalTime " + std::to_string(g_set_local_time_calls)
                                                   : std::string("(not watched)")));
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
  println("       devhost props <address> [--title T] [--options T] [--comment T] [--error T]");
  println("                     [--server-info T] [--host-version T | --no-host-version]");
  println("                     [--exec COMMAND] [--page N] [--close-after MS] [--dll PATH]");
  println("       devhost check <address> [options-text] [--dll sntp.dll]");
  println("         address: sntp://host or sntp://dotted.address");
  println("         options: \"port;skip-small-offsets;threshold-ms;quiet;\", e.g. \"11123;0;0;0;\",");
  println("                  and \"1;\" after them to measure the offset without setting the clock");
  return 2;
}

// Reads the props arguments into the item and the host; false on a mistake.
bool parse_props(int argc, char** argv, CheckItem* item, HostWindow* host, PropsArgs* args) {
  if (argc < 3) return false;
  set_item_text(&item->address, argv[2][0] != '\0' ? argv[2] : nullptr);
  for (int i = 3; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--no-host-version") {
      host->answer_version = false;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (flag == "--title") {
      set_item_text(&item->title, value);
    } else if (flag == "--options") {
      set_item_text(&item->options, value);
    } else if (flag == "--comment") {
      set_item_text(&item->comment, value);
    } else if (flag == "--error") {
      set_item_text(&item->error_text, value);
    } else if (flag == "--server-info") {
      set_item_text(&item->server_info, value);
    } else if (flag == "--host-version") {
      host->version_text = value;
    } else if (flag == "--exec") {
      args->exec = true;
      args->exec_command = value;
    } else if (flag == "--page") {
      args->page = std::atoi(value);
    } else if (flag == "--close-after") {
      args->close_after_ms = std::atoi(value);
    } else if (flag == "--dll") {
      args->dll = value;
    } else {
      return false;
    }
  }
  return true;
}

int run_props(int argc, char** argv) {
  CheckItem* item = new_item();
  HostWindow host;
  PropsArgs args;
  args.dll = plugin_path();
  if (!parse_props(argc, argv, item, &host, &args)) {
    free_item(item);
    return usage();
  }
  PluginApi api;
  std::string error;
  int rc = 1;
  if (!load_plugin(args.dll, &api, &error)) {
    println("devhost: " + error);
  } else if (!create_host_window(&host, &api)) {
    println("devhost: cannot create the host window");
  } else {
    // The host starts Windows Sockets before it calls the plug-in.
    WSADATA data;
    WSAStartup(MAKEWORD(1, 1), &data);
    rc = cmd_props(api, host, item, args);
    WSACleanup();
  }
  std::fflush(stdout);
  destroy_host_window(&host);
  unload_plugin(&api);
  free_item(item);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "props") return run_props(argc, argv);
  std::string path = plugin_path();
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

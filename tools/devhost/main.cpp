// devhost: a small stand-in for the host application, for trying the plug-in
// by hand. It plays the host's side of the contract and prints, as UTF-8,
// what it sees.
//
//   devhost info [path\to\sntp.dll]     what the module offers
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host_side.h"

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

int usage() {
  println("usage: devhost info [sntp.dll]");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];
  std::string path = argc > 2 ? argv[2] : plugin_path();
  PluginApi api;
  std::string error;
  if (!load_plugin(path, &api, &error)) {
    println("devhost: " + error);
    return 1;
  }
  int rc = command == "info" ? cmd_info(path, api) : usage();
  std::fflush(stdout);
  unload_plugin(&api);
  return rc;
}

#include <winsock2.h>

#include "host_side.h"

#include <commctrl.h>

#include <cstring>

namespace {

const char kHostClass[] = "SntpDevHostWindow";
const char kStatusClass[] = "SntpDevHostStatusBar";

template <typename Fn>
Fn find_operation(HMODULE module, const std::string& prefix, const char* name) {
  std::string full = prefix + name;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, full.c_str())));
}

LRESULT CALLBACK status_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == SB_SETTEXTA) {
    auto* host = reinterpret_cast<HostWindow*>(GetWindowLongPtrA(GetParent(window), GWLP_USERDATA));
    if (host != nullptr && LOWORD(wparam) == 0) {
      host->status_lines.push_back(lparam ? reinterpret_cast<const char*>(lparam) : "");
    }
    return TRUE;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

LRESULT CALLBACK host_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* host = reinterpret_cast<HostWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (host == nullptr) return DefWindowProcA(window, message, wparam, lparam);
  if (host->on_message) host->on_message(message, wparam, lparam);
  switch (message) {
    case MSG_GETHOST_DONE:
      for (CheckItem* item : host->items) {
        if (item->lookup_handle == wparam && wparam != 0 && host->api->gethost) {
          int r = host->api->gethost(window, wparam, lparam, item);
          host->calls.push_back({"Gethost", item, r});
          break;
        }
      }
      return 0;
    case MSG_SOCKET_EVENT:
      for (CheckItem* item : host->items) {
        if (item->socket == wparam && item->socket != kNoSocket && host->api->select) {
          int r = host->api->select(window, wparam, lparam, item);
          host->calls.push_back({"Select", item, r});
          break;
        }
      }
      return 0;
    case MSG_CHECK_END: {
      CheckEnd end{wparam, reinterpret_cast<CheckItem*>(lparam)};
      host->check_ends.push_back(end);
      if (host->on_check_end) host->on_check_end(end);
      return 0;
    }
    case MSG_GET_HOST_VERSION:
      if (host->answer_version && lparam != 0) {
        size_t n = host->version_text.size();
        if (n > kHostVersionTextSize) n = kHostVersionTextSize;
        std::memcpy(reinterpret_cast<char*>(lparam), host->version_text.data(), n);
      }
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

bool register_classes() {
  static bool done = false;
  if (done) return true;
  WNDCLASSA wc{};
  wc.lpfnWndProc = host_proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = kHostClass;
  if (!RegisterClassA(&wc)) return false;
  wc.lpfnWndProc = status_proc;
  wc.lpszClassName = kStatusClass;
  if (!RegisterClassA(&wc)) return false;
  done = true;
  return true;
}

}  // namespace

bool load_plugin(const std::string& path, PluginApi* api, std::string* error) {
  *api = PluginApi{};
  api->module = LoadLibraryA(path.c_str());
  if (api->module == nullptr) {
    *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  api->get_protocol_list =
      reinterpret_cast<GetProtocolListFn>(reinterpret_cast<void*>(GetProcAddress(api->module, "GetProtocolList")));
  if (api->get_protocol_list == nullptr) {
    *error = "the module has no GetProtocolList";
    return false;
  }
  ProtocolEntry entry{};
  if (api->get_protocol_list(0, &entry) != 0) {
    *error = "GetProtocolList(0) reports no protocol";
    return false;
  }
  api->protocol = entry.name;
  api->prefix = entry.prefix;
  HMODULE m = api->module;
  const std::string& p = api->prefix;
  api->get_tool_list = reinterpret_cast<GetToolListFn>(reinterpret_cast<void*>(GetProcAddress(m, "GetToolList")));
  api->get_info = find_operation<GetInfoFn>(m, p, "GetInfo");
  api->end_notify = find_operation<EndNotifyFn>(m, p, "EndNotify");
  api->protocol_property = find_operation<ProtocolPropertyFn>(m, p, "ProtocolProperty");
  api->get_item_text = find_operation<GetItemTextFn>(m, p, "GetItemText");
  api->initialize = find_operation<ItemOpFn>(m, p, "Initialize");
  api->init_item = find_operation<ItemOpFn>(m, p, "InitItem");
  api->start = find_operation<ItemOpFn>(m, p, "Start");
  api->gethost = find_operation<MessageOpFn>(m, p, "Gethost");
  api->select = find_operation<MessageOpFn>(m, p, "Select");
  api->timer = find_operation<ItemOpFn>(m, p, "Timer");
  api->item_check_end = find_operation<ItemOpFn>(m, p, "ItemCheckEnd");
  api->cancel = find_operation<ItemOpFn>(m, p, "Cancel");
  api->property = find_operation<ItemOpFn>(m, p, "Property");
  api->exec_item = find_operation<ExecItemFn>(m, p, "ExecItem");
  return true;
}

void unload_plugin(PluginApi* api) {
  if (api->module != nullptr) FreeLibrary(api->module);
  *api = PluginApi{};
}

bool start_host(PluginApi* api, std::string* error) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
    *error = "Windows Sockets did not start";
    return false;
  }
  return load_plugin(plugin_path(), api, error);
}

void stop_host(PluginApi* api) {
  unload_plugin(api);
  WSACleanup();
}

std::string program_directory() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string dir(path, n);
  size_t slash = dir.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
}

std::string plugin_path() {
  char path[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("SNTP_DLL", path, sizeof path);
  if (n > 0 && n < sizeof path) return std::string(path, n);
  return program_directory() + "sntp.dll";
}

CheckItem* new_item() {
  auto* item = static_cast<CheckItem*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, sizeof(CheckItem)));
  if (item != nullptr) item->socket = kNoSocket;
  return item;
}

void free_item(CheckItem* item) {
  if (item == nullptr) return;
  for (char** field : {&item->title, &item->address, &item->offset_text, &item->changed_text, &item->options,
                       &item->comment, &item->error_text, &item->server_info}) {
    set_item_text(field, nullptr);
  }
  GlobalFree(item);
}

void set_item_text(char** field, const char* text) {
  if (*field != nullptr) GlobalFree(*field);
  *field = nullptr;
  if (text == nullptr) return;
  size_t n = std::strlen(text) + 1;
  *field = static_cast<char*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, n));
  if (*field != nullptr) std::memcpy(*field, text, n);
}

std::string item_text(const char* field) { return field ? field : ""; }

static std::string convert(const std::string& text, UINT from, UINT to) {
  if (text.empty()) return text;
  int wide_len = MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(wide_len, L'\0');
  MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), wide.data(), wide_len);
  int len = WideCharToMultiByte(to, 0, wide.data(), wide_len, nullptr, 0, nullptr, nullptr);
  std::string out(len, '\0');
  WideCharToMultiByte(to, 0, wide.data(), wide_len, out.data(), len, nullptr, nullptr);
  return out;
}

std::string cp932_to_utf8(const std::string& text) { return convert(text, 932, CP_UTF8); }
std::string utf8_to_cp932(const std::string& text) { return convert(text, CP_UTF8, 932); }

bool create_host_window(HostWindow* host, PluginApi* api) {
  if (!register_classes()) return false;
  host->api = api;
  host->window = CreateWindowExA(0, kHostClass, "SNTP dev host", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                 400, 300, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (host->window == nullptr) return false;
  SetWindowLongPtrA(host->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(host));
  host->status_bar = CreateWindowExA(0, kStatusClass, "", WS_CHILD | WS_VISIBLE, 0, 0, 400, 20, host->window,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(STATUS_BAR_ID)),
                                     GetModuleHandleA(nullptr), nullptr);
  return host->status_bar != nullptr;
}

void destroy_host_window(HostWindow* host) {
  if (host->window != nullptr) {
    SetWindowLongPtrA(host->window, GWLP_USERDATA, 0);
    DestroyWindow(host->window);
  }
  host->window = nullptr;
  host->status_bar = nullptr;
}

void pump_pending_messages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

bool pump_messages_until(const std::function<bool()>& done, DWORD timeout_ms) {
  DWORD start = GetTickCount();
  while (!done()) {
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeout_ms) return done();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, timeout_ms - elapsed < 50 ? timeout_ms - elapsed : 50, QS_ALLINPUT);
    pump_pending_messages();
  }
  return true;
}

namespace {

struct SheetSearch {
  HWND owner;
  HWND found;
};

BOOL CALLBACK match_sheet(HWND window, LPARAM lparam) {
  auto* search = reinterpret_cast<SheetSearch*>(lparam);
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::strcmp(name, "#32770") != 0 || GetWindow(window, GW_OWNER) != search->owner) return TRUE;
  search->found = window;
  return FALSE;
}

}  // namespace

HWND find_property_sheet(HWND owner) {
  SheetSearch search{owner, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), match_sheet, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

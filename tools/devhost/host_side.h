// The host's side of the plug-in contract, as the dev host and the Windows
// tests play it: load the module, find its operations by the prefix it
// reports, keep item records with global-heap texts, and own a host window
// with a status bar that routes the plug-in's window messages.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "plugin/host_contract.h"

// The exports, typed exactly as a host calls them (Windows API convention).
using GetProtocolListFn = int(WINAPI*)(int index, ProtocolEntry* entry);
using GetToolListFn = int(WINAPI*)(int, int);
using GetInfoFn = int(WINAPI*)(ItemTypeInfo* info);
using EndNotifyFn = int(WINAPI*)();
using ProtocolPropertyFn = int(WINAPI*)(int);
using GetItemTextFn = HGLOBAL(WINAPI*)(CheckItem* item);
using ItemOpFn = int(WINAPI*)(HWND window, CheckItem* item);
using MessageOpFn = int(WINAPI*)(HWND window, WPARAM wparam, LPARAM lparam, CheckItem* item);
using ExecItemFn = int(WINAPI*)(HWND window, const char* command, CheckItem* item);

struct PluginApi {
  HMODULE module = nullptr;
  std::string protocol;  // as GetProtocolList reported it (code page 932)
  std::string prefix;
  GetProtocolListFn get_protocol_list = nullptr;
  GetToolListFn get_tool_list = nullptr;
  GetInfoFn get_info = nullptr;
  EndNotifyFn end_notify = nullptr;
  ProtocolPropertyFn protocol_property = nullptr;
  GetItemTextFn get_item_text = nullptr;
  ItemOpFn initialize = nullptr;
  ItemOpFn init_item = nullptr;
  ItemOpFn start = nullptr;
  MessageOpFn gethost = nullptr;
  MessageOpFn select = nullptr;
  ItemOpFn timer = nullptr;
  ItemOpFn item_check_end = nullptr;
  ItemOpFn cancel = nullptr;
  ItemOpFn property = nullptr;
  ExecItemFn exec_item = nullptr;
};

// Loads the module and resolves its operations as a host does: the protocol
// at index 0 of GetProtocolList, then "<prefix><Operation>" by name. An
// operation the module lacks stays null. Returns false (with a reason in
// `error`) when the module cannot be loaded or reports no protocol.
bool load_plugin(const std::string& path, PluginApi* api, std::string* error);
void unload_plugin(PluginApi* api);
// What a host does before it uses the module: starts Windows Sockets 1.1
// (the module never does), then loads plugin_path(). stop_host undoes both.
bool start_host(PluginApi* api, std::string* error);
void stop_host(PluginApi* api);

// The directory of the running program, with a trailing backslash.
std::string program_directory();
// The plug-in to load: the SNTP_DLL environment variable when it is set
// (the tests run once more against another compiler's build that way),
// else sntp.dll beside the program.
std::string plugin_path();

// Items as the host keeps them: zero-filled, no socket, texts on the global heap.
CheckItem* new_item();
void free_item(CheckItem* item);  // frees the record and every text it holds
void set_item_text(char** field, const char* text);  // null clears
std::string item_text(const char* field);  // "" for null

// Code page conversions for printing what the plug-in stores.
std::string cp932_to_utf8(const std::string& text);
std::string utf8_to_cp932(const std::string& text);

struct CheckEnd {
  WPARAM result;
  CheckItem* item;
};

struct OperationCall {
  const char* name;  // "Gethost" or "Select"
  CheckItem* item;
  int result;
};

// The host window. Socket and lookup notifications go to the item whose
// socket or lookup handle they name; MSG_CHECK_END and the status lines are
// recorded; MSG_GET_HOST_VERSION is answered from `version_text`.
struct HostWindow {
  HWND window = nullptr;
  HWND status_bar = nullptr;
  PluginApi* api = nullptr;
  std::vector<CheckItem*> items;  // the items whose notifications are routed
  std::vector<std::string> status_lines;  // every SB_SETTEXTA, in order (code page 932)
  std::vector<CheckEnd> check_ends;
  std::vector<OperationCall> calls;
  // MSG_GET_HOST_VERSION: when answer_version is false the buffer is left as
  // it came. The answer is copied byte for byte, at most 32 bytes, so a text
  // of 32 characters leaves no terminating zero.
  bool answer_version = true;
  std::string version_text = "1.0.3";
  // Called after MSG_CHECK_END is recorded, inside the plug-in's SendMessage.
  std::function<void(const CheckEnd&)> on_check_end;
  // Called for every message the window gets before it is handled.
  std::function<void(UINT, WPARAM, LPARAM)> on_message;
};

// Creates the window (hidden) with its status bar child of id 103.
bool create_host_window(HostWindow* host, PluginApi* api);
void destroy_host_window(HostWindow* host);

// The property sheet (a dialog of class "#32770") that this thread shows
// over `owner`, or null when there is none.
HWND find_property_sheet(HWND owner);

// Pumps messages until `done` returns true or `timeout_ms` passes; returns done().
bool pump_messages_until(const std::function<bool()>& done, DWORD timeout_ms);
// Pumps whatever is queued now.
void pump_pending_messages();

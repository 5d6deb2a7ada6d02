// The real sntp.dll driven as the host drives it: loaded with LoadLibrary,
// a host window with its status bar and message loop, SNTP_Timer every
// second, item records on the global heap. The module's clock changes are
// recorded instead of made, so no clock ever moves.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "host_side.h"
#include "measure.h"

struct PluginRig {
  PluginApi api;
  HostWindow host;
  uint16_t port = 0;           // the responder's, on 127.0.0.1
  size_t ended = 0;            // MSG_CHECK_END messages since the last reset
  int64_t last_end = 0;        // ticks of the latest one
  int64_t first_event = 0;     // ticks of the first socket notification since the last reset
  size_t clock_moves = 0;      // SetSystemTime calls recorded
  std::unordered_set<const CheckItem*> over;  // checks ended and not yet released: no more ticks
};

bool open_rig(PluginRig* rig, uint16_t port, std::string* error);
void close_rig(PluginRig* rig);
// Unloads the module and loads it again, as a new host process would find
// it: with an empty address cache. The items must be idle.
bool reload_plugin(PluginRig* rig, std::string* error);

// The host's timer period (1000 ms when the rig opens).
void set_tick_period(PluginRig* rig, UINT period_ms);
// How far each clock change recorded since the last call would have put the
// clock from the real time then (100-ns units), in order.
std::vector<int64_t> take_step_errors();

// A new item of the host for `server`, with options naming `port` (0: the
// responder's) and then `clock_options` ("skip;threshold;quiet;").
CheckItem* add_item(PluginRig* rig, const std::string& server, const std::string& clock_options, uint16_t port = 0);
void remove_items(PluginRig* rig);

struct CheckTiming {
  bool ended = false;
  WPARAM result = 0;
  double total_us = 0;  // SNTP_Start called to MSG_CHECK_END received
  double start_us = 0;  // inside SNTP_Start
  double wait_us = 0;   // SNTP_Start returned to the first socket notification
  double reply_us = 0;  // that notification to MSG_CHECK_END
};

// One whole check of an idle item, as the host runs it: SNTP_Initialize and
// SNTP_InitItem, then SNTP_Start, the message loop until MSG_CHECK_END (or
// `timeout_ms`), and SNTP_ItemCheckEnd.
CheckTiming run_check(PluginRig* rig, CheckItem* item, DWORD timeout_ms = 10000);

// Starts the checks of every item of the host at once and runs the message
// loop until each has sent MSG_CHECK_END (or `timeout_ms`); then ends them.
// `answered` counts checks that ended with a usable reply.
BatchTiming run_all_at_once(PluginRig* rig, DWORD timeout_ms);

// While one lives, every reading of the precise clock the module takes is
// kept in `readings` (the module looks that clock up by name once per load,
// so its GetProcAddress is patched when it is loaded).
struct ClockReadings {
  explicit ClockReadings(PluginRig* rig);
  ~ClockReadings();
  ClockReadings(const ClockReadings&) = delete;
  ClockReadings& operator=(const ClockReadings&) = delete;
  void clear();
  const std::vector<uint64_t>& readings() const;
};

// Time spent inside the module's calls to a few imports, gathered while an
// ImportProfile lives (each import is wrapped through the import table).
struct ImportCost {
  const char* name;
  double total_us;
  int64_t calls;
};
struct ImportProfile {
  explicit ImportProfile(PluginRig* rig);
  ~ImportProfile();
  ImportProfile(const ImportProfile&) = delete;
  ImportProfile& operator=(const ImportProfile&) = delete;
  std::vector<ImportCost> costs() const;

 private:
  HMODULE module_;
};

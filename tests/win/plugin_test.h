// The host's side of every test that drives the real sntp.dll: the module,
// loaded once per test program and watched through its import table
// (plugin_watch.h); for each test a host window with its message loop, the
// items the test makes, and the scripted SNTP server on loopback.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host_side.h"
#include "plugin_watch.h"
#include "responder.h"

// "port;skip;threshold;quiet;"
std::string option_text(uint16_t port, int skip = 0, int threshold = 0, int quiet = 0);
// The port of "sntp" over "udp" in the services database, or 123.
uint16_t services_port_or_123();
// The system's message for `code` in the user's language; "" when it has none.
std::string system_message(int code);
// What the plug-in's error text for `code` is on this system: the system's
// message when it has one, else the module's string table entry, else
// "未知のエラー。".
std::string plugin_error_text(HMODULE module, int code);

// The module loaded as a host loads it, for the tests that read what it
// holds or call its exports themselves, without a host window.
class ModuleTest : public ::testing::Test {
 public:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  static HMODULE module_;
};

// Its members are public, so that a table of scenarios can drive a test.
class PluginTest : public ::testing::Test {
 public:
  static void SetUpTestSuite();
  // Unloads the module and loads it again, watched as before, so that it
  // starts afresh: no address cache, the system's functions looked up anew.
  // No check may be running.
  static void reload_module();
  // Puts the fakes back to their defaults, makes the host window and starts
  // the server.
  void SetUp() override;
  // Ends every item's check as the host does and frees the items, then the
  // window and the server.
  void TearDown() override;

  // A new item whose notifications the host routes: "sntp://" and `server`,
  // with `options` (by default the scripted server's port, no clock options).
  CheckItem* item(const std::string& server = "127.0.0.1", const std::string& options = "");
  int start(CheckItem* it) { return api_.start(host_.window, it); }
  int tick(CheckItem* it) { return api_.timer(host_.window, it); }
  // Pumps the host's messages until there have been `n` MSG_CHECK_END in all
  // (or `n` for `it`, or `n` operations called); false after five seconds.
  bool wait_for_ends(size_t n);
  bool wait_for_end_of(const CheckItem* it, int n = 1);
  // The same, while the plug-in's counter is moved on by the spacing and the
  // item ticked whenever its check waits to ask the server again.
  bool wait_for_end_asking_again(CheckItem* it, int n = 1);
  bool wait_for_calls(size_t n);
  int ends_of(const CheckItem* it) const;
  // The result of the item's last MSG_CHECK_END; 99 when there was none.
  WPARAM result_of(const CheckItem* it) const;
  // MSG_CHECK_END number `index` (from 0) carried `result` for `it`.
  void expect_end(size_t index, WPARAM result, const CheckItem* it) const;

  // The plug-in's own blocks (those no text of `items` points to), the
  // address cache's apart, which it keeps while it is loaded.
  static size_t own_blocks(const std::vector<const CheckItem*>& items);
  // Nothing the plug-in made since SetUp is left but the texts of `items`
  // and the address cache: no block, no socket.
  void expect_nothing_leaked(const std::vector<const CheckItem*>& items) const;

  // Fixes the plug-in's clock at the real time now, as now_.
  void freeze_clock();
  // A usable reply (T2 = T3) `offset` 100-ns units away from now_.
  Datagram reply(int64_t offset, uint8_t first = 0x24) const;
  std::string error_text(int code) const { return plugin_error_text(api_.module, code); }
  // Entry `id` of the module's own string table; "" when it has none.
  std::string module_string(unsigned id) const;

  static PluginApi api_;
  HostWindow host_;
  Responder responder_;
  uint64_t now_ = 0;
  // What the plug-in held when the test began (own_blocks, sockets).
  size_t blocks_at_start_ = 0, sockets_at_start_ = 0;
};

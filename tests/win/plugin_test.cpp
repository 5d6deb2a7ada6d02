#include "plugin_test.h"

#include "check/ntp.h"
#include "check/probe_state.h"
#include "filetime_units.h"
#include "reply_datagram.h"

namespace {

constexpr DWORD kWaitMs = 5000;

}  // namespace

std::string option_text(uint16_t port, int skip, int threshold, int quiet) {
  return std::to_string(port) + ";" + std::to_string(skip) + ";" + std::to_string(threshold) + ";" +
         std::to_string(quiet) + ";";
}

uint16_t services_port_or_123() {
  const servent* entry = getservbyname("sntp", "udp");
  return entry ? ntohs(static_cast<u_short>(entry->s_port)) : 123;
}

std::string system_message(int code) {
  char* buffer = nullptr;
  // From the system, in the user's language, inserts ("%1") left as they stand.
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                      FORMAT_MESSAGE_MAX_WIDTH_MASK;
  if (!FormatMessageA(flags, nullptr, code, 0x400, reinterpret_cast<char*>(&buffer), 0, nullptr)) return "";
  std::string text = buffer != nullptr ? buffer : "";
  LocalFree(buffer);
  return text;
}

std::string plugin_error_text(HMODULE module, int code) {
  const std::string system = system_message(code);
  if (!system.empty()) return system;
  char entry[1024];
  if (LoadStringA(module, code, entry, sizeof entry) > 0) return entry;
  return "未知のエラー。";
}

HMODULE ModuleTest::module_;

void ModuleTest::SetUpTestSuite() {
  module_ = LoadLibraryA(plugin_path().c_str());
  ASSERT_NE(module_, nullptr) << GetLastError();
}

void ModuleTest::TearDownTestSuite() { FreeLibrary(module_); }

PluginApi PluginTest::api_;

void PluginTest::SetUpTestSuite() {
  if (api_.module != nullptr) return;  // once per program: every suite checks the same module
  std::string error;
  ASSERT_TRUE(start_host(&api_, &error)) << error;
  ASSERT_TRUE(watch_plugin(api_.module));
}

void PluginTest::reload_module() {
  unload_plugin(&api_);
  unwatch_plugin();
  std::string error;
  ASSERT_TRUE(load_plugin(plugin_path(), &api_, &error)) << error;
  ASSERT_TRUE(watch_plugin(api_.module));
}

void PluginTest::SetUp() {
  ASSERT_NE(api_.module, nullptr);
  reset_plugin_fakes();
  ASSERT_TRUE(create_host_window(&host_, &api_));
  ASSERT_TRUE(responder_.start());
  blocks_at_start_ = own_blocks({});
  sockets_at_start_ = plugin_sockets();
}

size_t PluginTest::own_blocks(const std::vector<const CheckItem*>& items) {
  return plugin_own_blocks(items) - plugin_cache_blocks();
}

void PluginTest::expect_nothing_leaked(const std::vector<const CheckItem*>& items) const {
  EXPECT_EQ(own_blocks(items), blocks_at_start_) << "blocks leaked";
  EXPECT_EQ(plugin_sockets(), sockets_at_start_) << "sockets left open";
}

void PluginTest::TearDown() {
  stop_failing_allocs();
  for (CheckItem* it : host_.items) api_.item_check_end(host_.window, it);
  complete_held_lookups();
  pump_pending_messages();
  for (CheckItem* it : host_.items) free_watched_item(it);
  host_.items.clear();
  destroy_host_window(&host_);
  responder_.stop();
}

CheckItem* PluginTest::item(const std::string& server, const std::string& options) {
  CheckItem* it = new_item();
  set_item_text(&it->address, ("sntp://" + server).c_str());
  set_item_text(&it->options, (options.empty() ? option_text(responder_.port()) : options).c_str());
  host_.items.push_back(it);
  return it;
}

bool PluginTest::wait_for_ends(size_t n) {
  return pump_messages_until([&] { return host_.check_ends.size() >= n; }, kWaitMs);
}

bool PluginTest::wait_for_end_of(const CheckItem* it, int n) {
  return pump_messages_until([&] { return ends_of(it) >= n; }, kWaitMs);
}

bool PluginTest::wait_for_end_asking_again(CheckItem* it, int n) {
  return pump_messages_until(
      [&] {
        if (ends_of(it) < n && it->probe != nullptr && it->probe->phase == CheckPhase::kWaitingToAsk) {
          advance_plugin_ticks(kRequestSpacingMs);
          tick(it);
        }
        return ends_of(it) >= n;
      },
      kWaitMs);
}

bool PluginTest::wait_for_calls(size_t n) {
  return pump_messages_until([&] { return host_.calls.size() >= n; }, kWaitMs);
}

int PluginTest::ends_of(const CheckItem* it) const {
  int n = 0;
  for (const CheckEnd& e : host_.check_ends) n += e.item == it;
  return n;
}

WPARAM PluginTest::result_of(const CheckItem* it) const {
  WPARAM result = 99;
  for (const CheckEnd& e : host_.check_ends) {
    if (e.item == it) result = e.result;
  }
  return result;
}

void PluginTest::expect_end(size_t index, WPARAM result, const CheckItem* it) const {
  ASSERT_GT(host_.check_ends.size(), index);
  EXPECT_EQ(host_.check_ends[index].result, result);
  EXPECT_EQ(host_.check_ends[index].item, it);
}

void PluginTest::freeze_clock() {
  // 0.7 ms past a whole millisecond, so that a step shows how it is rounded.
  now_ = real_now() / kUnitsPerMs * kUnitsPerMs + 7 * kUnitsPerMs / 10;
  set_plugin_clock(now_);
}

Datagram PluginTest::reply(int64_t offset, uint8_t first) const {
  const uint64_t server_time = now_ + static_cast<uint64_t>(offset);
  return Datagram{reply_datagram(server_time, server_time, first)};
}

std::string PluginTest::module_string(unsigned id) const {
  char entry[1024];
  return LoadStringA(api_.module, id, entry, sizeof entry) > 0 ? entry : "";
}

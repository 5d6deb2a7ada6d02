// The host unloads the module after checks that filled the address cache:
// the cache gives back every block it held, and a module loaded again starts
// with an empty cache and works as before.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "plugin_test.h"

namespace {

// Runs one check of `server` (fake lookups resolve any name to 127.0.0.1)
// until its request is out, then ends it.
void check_until_sent(PluginApi& api, HostWindow& host, const char* server) {
  CheckItem* item = new_item();
  set_item_text(&item->address, (std::string("sntp://") + server).c_str());
  set_item_text(&item->options, option_text(9).c_str());  // the discard port: nothing answers
  host.items.push_back(item);
  const int sent_before = datagrams_sent();
  ASSERT_EQ(api.start(host.window, item), 0);
  EXPECT_TRUE(pump_messages_until([&] { return datagrams_sent() > sent_before; }, 5000));
  EXPECT_EQ(api.item_check_end(host.window, item), 0);
  host.items.clear();
  free_watched_item(item);
}

TEST(Unload, TheAddressCacheIsReleasedWithTheModule) {
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  for (int load = 0; load < 2; ++load) {
    SCOPED_TRACE(load == 0 ? "first load" : "loaded again");
    PluginApi api;
    HostWindow host;
    std::string error;
    ASSERT_TRUE(load_plugin(plugin_path(), &api, &error)) << error;
    ASSERT_TRUE(watch_plugin(api.module));
    fake_lookups(true);
    ASSERT_TRUE(create_host_window(&host, &api));
    clear_looked_up_names();
    for (const char* name : {"one.example", "two.example", "one.example"}) check_until_sent(api, host, name);
    // The repeated name came from the cache; a module loaded again has to
    // look everything up afresh.
    EXPECT_EQ(looked_up_names().size(), 2u);
    EXPECT_EQ(plugin_cache_blocks(), 3u) << "the table and two names";
    EXPECT_EQ(plugin_blocks(), plugin_cache_blocks()) << "only the cache holds blocks between checks";
    destroy_host_window(&host);
    unload_plugin(&api);
    unwatch_plugin();
    EXPECT_EQ(plugin_blocks(), 0u) << "the cache kept blocks after the module was unloaded";
  }
  WSACleanup();
}

}  // namespace

// Error texts, status lines and the address cache, linked from the plug-in's
// objects; the string table is read from the built sntp.dll.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "check/address_cache.h"
#include "plugin/error_and_status.h"
#include "plugin/module.h"
#include "plugin_test.h"

namespace {

const std::string kUnknown = "未知のエラー。";

class Texts : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { set_module_instance(LoadLibraryA((program_directory() + "sntp.dll").c_str())); }
  void SetUp() override { ASSERT_NE(module_instance(), nullptr); }
  std::string error_for(int code) {
    CheckItem* item = new_item();
    set_item_text(&item->error_text, "old");
    set_item_error(item, code);
    std::string text = item->error_text ? item->error_text : "<null>";
    free_item(item);
    return text;
  }
};

TEST_F(Texts, TheStringTableHoldsEveryWindowsSocketsCode) {
  std::set<int> keys = {10004, 10009, 10013, 10014, 10022, 10024, 10091, 10092, 10093};
  for (int k = 10035; k <= 10071; ++k) keys.insert(k);
  for (int k = 10101; k <= 10112; ++k) keys.insert(k);
  for (int k = 11001; k <= 11031; ++k) keys.insert(k);
  ASSERT_EQ(keys.size(), 89u);
  for (int code = 10000; code <= 11999; ++code) {
    char text[1024];
    int n = LoadStringA(module_instance(), code, text, sizeof text);
    if (keys.count(code) == 0) {
      EXPECT_EQ(n, 0) << code;
      continue;
    }
    ASSERT_GT(n, 1) << code;
    EXPECT_EQ(text[n - 1], ' ') << code << " ends in a blank";
  }
  const struct {
    int code;
    const char* text;
  } quoted[] = {
      {10060, "接続済みの呼び出し先が一定の時間を過ぎても正しく応答しなかったため、接続できませんでした。"
              "または接続済みのホストが応答しなかったため、確立された接続は失敗しました。 "},
      {10061, "対象のコンピュータによって拒否されたため、接続できませんでした。 "},
      {10065, "到達できないホストに対してソケット操作を実行しようとしました。 "},
      {11001, "そのようなホストは不明です。 "},
      {11004, "要求した名前は有効で、データベースにありますが、解決された正しい関連データがありません。 "},
  };
  for (const auto& q : quoted) {
    char text[1024];
    LoadStringA(module_instance(), q.code, text, sizeof text);
    EXPECT_STREQ(text, q.text) << q.code;
  }
}

TEST_F(Texts, ErrorTextsPreferTheSystemsMessage) {
  char entry[1024];
  for (int code : {10060, 10040, 11001, 1314}) {
    SCOPED_TRACE(code);
    std::string system = system_message(code);
    if (!system.empty()) {
      EXPECT_EQ(error_for(code), system);
    } else {
      ASSERT_GT(LoadStringA(module_instance(), code, entry, sizeof entry), 0);
      EXPECT_EQ(error_for(code), entry);
    }
  }
  // Codes with neither a system message nor a table entry.
  for (int code : {10001, 12000, 99999}) {
    if (system_message(code).empty()) {
      EXPECT_EQ(error_for(code), kUnknown) << code;
    }
  }
  EXPECT_EQ(error_for(0), "<null>");
}

// No arguments go with the request for a message, so one that names some
// ("%1") must be taken as it stands, not filled from stray memory.
TEST_F(Texts, ASystemMessageWithInsertsIsTakenAsItStands) {
  int code = 1;
  while (code < 16000 && system_message(code).find("%1") == std::string::npos) ++code;
  ASSERT_LT(code, 16000) << "the system has no message with an insert";
  EXPECT_EQ(error_for(code), system_message(code)) << code;
}

TEST_F(Texts, StatusLinesGoToPartZeroOfTheStatusBar) {
  PluginApi none;
  HostWindow host;
  ASSERT_TRUE(create_host_window(&host, &none));
  EXPECT_EQ(show_status(host.window, "%s", kStatusSending), lstrlenA(kStatusSending));
  EXPECT_EQ(show_status(host.window, "%d 件目", 3), 6);
  EXPECT_EQ(show_status(host.window, "%s", std::string(10000, 'x').c_str()), 8191);
  ASSERT_EQ(host.status_lines.size(), 3u);
  EXPECT_EQ(host.status_lines[0], kStatusSending);
  EXPECT_EQ(host.status_lines[1], "3 件目");
  EXPECT_EQ(host.status_lines[2], std::string(8191, 'x'));
  // A window without a status bar shows nothing.
  HWND bare = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(show_status(bare, "%s", kStatusDone), lstrlenA(kStatusDone));
  DestroyWindow(bare);
  destroy_host_window(&host);
}

// One test: the cache lives as long as the process. Its code is linked into
// this program, so the watch goes on this program's import table.
TEST(AddressCache, GrowsByAHundredAndKeepsWhatItHasWhenMemoryIsShort) {
  ASSERT_TRUE(watch_plugin(GetModuleHandleA(nullptr)));
  const SIZE_T kEntry = 2 * sizeof(void*);  // a name's address and an IPv4 address, padded

  // No memory for the first array: nothing is found, the addition is dropped,
  // and the next use tries again.
  fail_alloc_size(100 * kEntry);
  EXPECT_EQ(address_cache_lookup("ntp.example.jp"), INADDR_NONE);
  address_cache_add("ntp.example.jp", 1);
  stop_failing_allocs();
  EXPECT_EQ(address_cache_lookup("ntp.example.jp"), INADDR_NONE);
  address_cache_add("ntp.example.jp", 1);
  EXPECT_EQ(address_cache_lookup("NTP.Example.JP"), 1u);
  address_cache_add("ntp.example.jp", 2);  // a second entry; the first wins
  EXPECT_EQ(address_cache_lookup("ntp.example.jp"), 1u);

  auto name = [](int i) { return "server" + std::to_string(i); };
  for (int i = 3; i <= 99; ++i) address_cache_add(name(i).c_str(), i);
  reset_alloc_calls();
  address_cache_add(name(100).c_str(), 100);  // the 100th entry needs the larger array
  EXPECT_NE(std::count(alloc_sizes().begin(), alloc_sizes().end(), 200 * kEntry), 0);

  for (int i = 101; i <= 199; ++i) address_cache_add(name(i).c_str(), i);
  fail_alloc_size(300 * kEntry);
  address_cache_add(name(200).c_str(), 200);
  stop_failing_allocs();
  EXPECT_EQ(address_cache_lookup(name(200).c_str()), INADDR_NONE) << "dropped";
  for (int i = 3; i <= 199; ++i) ASSERT_EQ(address_cache_lookup(name(i).c_str()), uint32_t(i)) << i;
  address_cache_add(name(200).c_str(), 200);
  EXPECT_EQ(address_cache_lookup(name(200).c_str()), 200u);
}

}  // namespace

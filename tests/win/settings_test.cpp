// The settings loader and the stored-text writers on the real global heap
// and services database, linked from the plug-in's own objects.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "check/exchange.h"
#include "check/probe_state.h"
#include "check/server_info_string.h"
#include "plugin/global_text.h"
#include "plugin_test.h"
#include "settings/item_settings.h"

namespace {

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    item_ = new_item();
    probe_ = new_probe_state();
    ASSERT_NE(probe_, nullptr);
  }
  void TearDown() override {
    free_probe_state(probe_);
    free_item(item_);
    WSACleanup();
  }
  // The settings loader into the fields of a working record, as a check and
  // the sheet call it.
  void load() { load_settings(item_, probe_->server_name, sizeof probe_->server_name, &probe_->options); }
  CheckItem* item_ = nullptr;
  ProbeState* probe_ = nullptr;
};

TEST_F(Settings, ServerNameComesFromTheAddress) {
  set_item_text(&item_->address, "SNTP://ntp.example.jp/some/path");
  load();
  EXPECT_STREQ(probe_->server_name, "ntp.example.jp");

  set_item_text(&item_->address, "127.0.0.1:11123/x");
  load();
  EXPECT_STREQ(probe_->server_name, "127.0.0.1:11123");

  set_item_text(&item_->address, nullptr);
  load();
  EXPECT_STREQ(probe_->server_name, "");

  std::string huge = "sntp://" + std::string(1 << 20, 'n');
  set_item_text(&item_->address, huge.c_str());
  load();
  EXPECT_EQ(std::strlen(probe_->server_name), 511u);
}

TEST_F(Settings, OptionsGiveThePortAndTheClockOptions) {
  set_item_text(&item_->options, "0;1;500;0;");
  load();
  EXPECT_EQ(probe_->options.port, 123);  // 0 becomes the NTP port
  EXPECT_EQ(probe_->options.skip_small_offsets, 1);
  EXPECT_EQ(probe_->options.sync_threshold_ms, 500);
  EXPECT_EQ(probe_->options.quiet_update, 0);

  set_item_text(&item_->options, "-25536;0;0;1;");
  load();
  EXPECT_EQ(probe_->options.port, 40000);
  EXPECT_EQ(probe_->options.quiet_update, 1);

  set_item_text(&item_->options, "8123;");
  load();
  EXPECT_EQ(probe_->options.port, 8123);
  EXPECT_EQ(probe_->options.skip_small_offsets, 0);
  EXPECT_EQ(probe_->options.sync_threshold_ms, 0);
  EXPECT_EQ(probe_->options.quiet_update, 0);

  set_item_text(&item_->options, "");
  load();
  EXPECT_EQ(probe_->options.port, 123);
}

TEST_F(Settings, WithoutOptionsThePortComesFromTheServicesDatabase) {
  probe_->options.skip_small_offsets = 1;
  probe_->options.sync_threshold_ms = 900;
  probe_->options.quiet_update = 7;
  load();
  EXPECT_EQ(probe_->options.port, services_port_or_123());
  EXPECT_EQ(probe_->options.skip_small_offsets, 0);
  EXPECT_EQ(probe_->options.sync_threshold_ms, 0);
  EXPECT_EQ(probe_->options.quiet_update, 7) << "quiet_update is left as it was";
}

TEST_F(Settings, OptionStringReplacesTheItemsText) {
  set_item_text(&item_->options, "old");
  probe_->options.port = 40000;
  probe_->options.skip_small_offsets = 1;
  probe_->options.sync_threshold_ms = 1500;
  probe_->options.quiet_update = 0;
  write_option_string(item_, probe_->options, alloc_text(kOptionStringSize));
  ASSERT_NE(item_->options, nullptr);
  EXPECT_STREQ(item_->options, "-25536;1;1500;0;");
  EXPECT_EQ(GlobalSize(item_->options), 100u);
  // The block is fixed: its pointer is its handle.
  EXPECT_EQ(GlobalHandle(item_->options), static_cast<HGLOBAL>(item_->options));

  ProbeState* back = new_probe_state();
  load_settings(item_, back->server_name, sizeof back->server_name, &back->options);
  EXPECT_EQ(back->options.port, 40000);
  EXPECT_EQ(back->options.sync_threshold_ms, 1500);
  free_probe_state(back);
}

TEST_F(Settings, ServerInfoRoundTripsThroughTheItem) {
  ServerInfo none;
  EXPECT_FALSE(read_server_info(item_, &none));

  ServerInfo info{0x1C, 1, 6, -20, 1234, 5678, {'G', 'P', 'S', 0}};
  write_server_info(item_, info);
  ASSERT_NE(item_->server_info, nullptr);
  EXPECT_STREQ(item_->server_info, "28;1;6;-20;1234;5678;71.80.83.0");
  EXPECT_EQ(GlobalSize(item_->server_info), 200u);
  ServerInfo back;
  ASSERT_TRUE(read_server_info(item_, &back));
  EXPECT_EQ(back.stratum, 1);
  EXPECT_EQ(back.precision, -20);
  EXPECT_EQ(0, std::memcmp(back.reference_id, "GPS", 4));
}

TEST(GlobalText, CopiesAreFixedZeroFilledBlocks) {
  EXPECT_EQ(copy_text(nullptr), nullptr);
  char* copy = copy_text("新しいアイテム");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "新しいアイテム");
  EXPECT_EQ(GlobalHandle(copy), static_cast<HGLOBAL>(copy));
  char* field = copy;
  replace_text(&field, copy_text("x"));
  EXPECT_STREQ(field, "x");
  free_text(field);
  free_text(nullptr);
  char* block = alloc_text(16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(block[i], 0);
  free_text(block);
}

}  // namespace

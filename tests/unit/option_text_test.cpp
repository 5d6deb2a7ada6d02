#include "settings/option_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string format(ItemOptions options) {
  char out[kOptionStringSize];
  format_option_string(options, out, sizeof out);
  return out;
}

TEST(OptionString, WritesFourNumbersEachFollowedBySemicolon) {
  EXPECT_EQ(format({123, 0, 0, 0}), "123;0;0;0;");
  EXPECT_EQ(format({123, 1, 500, 1}), "123;1;500;1;");
}

TEST(OptionString, ReadsTheFourFields) {
  ItemOptions o = parse_option_string("0;1;500;0;");
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.skip_small_offsets, 1);
  EXPECT_EQ(o.sync_threshold_ms, 500);
  EXPECT_EQ(o.quiet_update, 0);
}

TEST(OptionString, AFifthFieldOnlyForAnItemThatMeasuresOnly) {
  EXPECT_EQ(format({123, 1, 500, 0, 1}), "123;1;500;0;1;");
  EXPECT_EQ(format({123, 1, 500, 0, 0}), "123;1;500;0;") << "the text older modules wrote, byte for byte";
  EXPECT_EQ(parse_option_string("123;1;500;0;1;").measure_only, 1);
  EXPECT_EQ(parse_option_string("123;1;500;0;").measure_only, 0);
}

TEST(OptionString, PortsAbove32767RoundTripThroughNegativeNumbers) {
  for (uint16_t port : {32767, 32768, 40000, 65535, 1, 0}) {
    std::string text = format({port, 1, 30000, 1});
    ItemOptions back = parse_option_string(text.c_str());
    EXPECT_EQ(back.port, port) << text;
    EXPECT_EQ(back.sync_threshold_ms, 30000);
  }
  EXPECT_EQ(format({65535, 0, 0, 0}), "-1;0;0;0;");
  EXPECT_EQ(format({32768, 0, 0, 0}), "-32768;0;0;0;");
}

TEST(OptionString, PortKeepsTheLow16Bits) {
  EXPECT_EQ(parse_option_string("65659;").port, 123);
  EXPECT_EQ(parse_option_string("-65413;").port, 123);
}

TEST(OptionString, MissingAndEmptyFieldsReadAsZero) {
  ItemOptions o = parse_option_string("8123;");
  EXPECT_EQ(o.port, 8123);
  EXPECT_EQ(o.skip_small_offsets, 0);
  EXPECT_EQ(o.sync_threshold_ms, 0);
  EXPECT_EQ(o.quiet_update, 0);
  o = parse_option_string(";;;");
  EXPECT_EQ(o.port, 0);
  o = parse_option_string("");
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.quiet_update, 0);
}

TEST(OptionString, ExtremeValuesStillFit) {
  std::string text = format({65535, INT32_MIN, INT32_MIN, INT32_MIN});
  EXPECT_EQ(text, "-1;-2147483648;-2147483648;-2147483648;");
  EXPECT_LT(text.size(), kOptionStringSize);
}

TEST(OptionString, HugeTextsAreReadSafely) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "99999999999;";
  ItemOptions o = parse_option_string(text.c_str());
  (void)o;
  std::string digits(1 << 20, '7');
  o = parse_option_string(digits.c_str());
  EXPECT_EQ(o.skip_small_offsets, 0);
}

}  // namespace

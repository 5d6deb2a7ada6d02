#include "check/server_info_string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string format(const ServerInfo& info) {
  char out[kServerInfoStringSize];
  format_server_info(info, out, sizeof out);
  return out;
}

ServerInfo parse(const char* text) {
  ServerInfo info;
  EXPECT_TRUE(parse_server_info(text, &info));
  return info;
}

std::string ref(const ServerInfo& info) {
  return std::to_string(info.reference_id[0]) + "." + std::to_string(info.reference_id[1]) + "." +
         std::to_string(info.reference_id[2]) + "." + std::to_string(info.reference_id[3]);
}

TEST(ServerInfoString, WritesSevenFields) {
  ServerInfo info{0x24, 2, 6, -20, 0x00001234, -5, {10, 1, 2, 3}};
  EXPECT_EQ(format(info), "36;2;6;-20;4660;-5;10.1.2.3");
  ServerInfo chrony{0x0C, 3, 6, -26, 0, 0, {127, 127, 1, 1}};
  EXPECT_EQ(format(chrony), "12;3;6;-26;0;0;127.127.1.1");
}

TEST(ServerInfoString, RoundTripsEveryFieldAtItsExtremes) {
  ServerInfo cases[] = {
      {0, 0, 0, 0, 0, 0, {0, 0, 0, 0}},
      {255, 255, 127, -128, INT32_MAX, INT32_MIN, {255, 255, 255, 255}},
      {228, 1, -128, 127, -1, 1, {71, 80, 83, 0}},
  };
  for (const ServerInfo& info : cases) {
    std::string text = format(info);
    ServerInfo back = parse(text.c_str());
    EXPECT_EQ(back.first_octet, info.first_octet) << text;
    EXPECT_EQ(back.stratum, info.stratum) << text;
    EXPECT_EQ(back.poll, info.poll) << text;
    EXPECT_EQ(back.precision, info.precision) << text;
    EXPECT_EQ(back.root_delay, info.root_delay) << text;
    EXPECT_EQ(back.root_dispersion, info.root_dispersion) << text;
    EXPECT_EQ(0, std::memcmp(back.reference_id, info.reference_id, 4)) << text;
  }
}

TEST(ServerInfoString, NoTextFails) {
  ServerInfo info;
  EXPECT_FALSE(parse_server_info(nullptr, &info));
}

TEST(ServerInfoString, ShortReferenceFieldsAreTheirOwnBytes) {
  ServerInfo info = parse("36;1;6;-20;0;0;GPS");
  EXPECT_EQ(0, std::memcmp(info.reference_id, "GPS\0", 4));
  info = parse("36;1;6;-20;0;0;LOCL");
  EXPECT_EQ(0, std::memcmp(info.reference_id, "LOCL", 4));
  info = parse("36;1;6;-20;0;0;");
  EXPECT_EQ(ref(info), "0.0.0.0");
  // "1.2" has three characters, so it is taken as bytes, not as a number.
  info = parse("36;1;6;-20;0;0;1.2");
  EXPECT_EQ(0, std::memcmp(info.reference_id, "1.2\0", 4));
}

TEST(ServerInfoString, LongReferenceFieldsAreDottedAddresses) {
  EXPECT_EQ(ref(parse("0;2;0;0;0;0;10.1.2.3xyz")), "10.1.2.3");
  // Each of the first three parts must end at "."; "2" does not, so it is missing.
  EXPECT_EQ(ref(parse("0;2;0;0;0;0;10.1.2")), "10.1.0.0");
  EXPECT_EQ(ref(parse("0;2;0;0;0;0;12345")), "0.0.0.0");
  EXPECT_EQ(ref(parse("0;2;0;0;0;0;256.257.-1.300")), "0.1.255.44");
}

TEST(ServerInfoString, MissingFieldsReadAsZero) {
  ServerInfo info = parse("36;3");
  EXPECT_EQ(info.first_octet, 36);
  EXPECT_EQ(info.stratum, 3);
  EXPECT_EQ(info.poll, 0);
  EXPECT_EQ(ref(info), "0.0.0.0");
  info = parse("");
  EXPECT_EQ(info.first_octet, 0);
}

TEST(ServerInfoString, BytesKeepTheirLow8Bits) {
  ServerInfo info = parse("292;-1;255;129;0;0;1.1.1.1");
  EXPECT_EQ(info.first_octet, 36);
  EXPECT_EQ(info.stratum, 255);
  EXPECT_EQ(info.poll, -1);
  EXPECT_EQ(info.precision, -127);
}

TEST(ServerInfoString, OverLongTextsAreReadSafely) {
  std::string text = "1;2;3;4;5;6;" + std::string(5000, '1') + "." + std::string(5000, '2');
  ServerInfo info = parse(text.c_str());
  EXPECT_EQ(info.stratum, 2);
  std::string separators(1 << 20, ';');
  info = parse(separators.c_str());
  EXPECT_EQ(info.first_octet, 0);
}

}  // namespace

#include "settings/server_address.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string server(const char* address, size_t size = 512) {
  std::string out(size, 'X');
  server_name_from_address(address, out.data(), size);
  out.resize(std::char_traits<char>::length(out.c_str()));
  return out;
}

TEST(ServerName, SkipsTheSchemeInAnyCase) {
  EXPECT_EQ(server("sntp://ntp.example.jp"), "ntp.example.jp");
  EXPECT_EQ(server("SNTP://ntp.example.jp"), "ntp.example.jp");
  EXPECT_EQ(server("SnTp://127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(server("sntp://"), "");
}

TEST(ServerName, WithoutTheSchemeTheAddressIsCopiedWhole) {
  EXPECT_EQ(server("ntp.example.jp"), "ntp.example.jp");
  EXPECT_EQ(server("http://ntp.example.jp"), "http:");
  EXPECT_EQ(server("sntp:/x"), "sntp:");
  EXPECT_EQ(server("sntp"), "sntp");
  EXPECT_EQ(server(""), "");
  EXPECT_EQ(server(nullptr), "");
}

TEST(ServerName, CutsAtTheFirstSlash) {
  EXPECT_EQ(server("SNTP://ntp.example.jp/path/more"), "ntp.example.jp");
  EXPECT_EQ(server("sntp:///x"), "");
  EXPECT_EQ(server("ntp.example.jp/x"), "ntp.example.jp");
}

TEST(ServerName, BlanksAroundTheServerAreRemoved) {
  EXPECT_EQ(server("sntp:// ntp.example.jp "), "ntp.example.jp");
  EXPECT_EQ(server("sntp://\t\x81\x40ntp.example.jp \x81\x40/path"), "ntp.example.jp");
  EXPECT_EQ(server("sntp://   "), "");
}

TEST(ServerName, KeepsAPortAfterAColon) {
  EXPECT_EQ(server("sntp://127.0.0.1:11123"), "127.0.0.1:11123");
  EXPECT_EQ(server("sntp://[::1]:123/x"), "[::1]:123");
}

TEST(ServerName, LongAddressesAreCutToTheBuffer) {
  std::string name(100000, 'a');
  std::string address = "sntp://" + name;
  EXPECT_EQ(server(address.c_str()), name.substr(0, 511));
  EXPECT_EQ(server("sntp://abcdef", 4), "abc");
  EXPECT_EQ(server("sntp://abc", 1), "");
  // Never inside a double-byte character: "時計" is 8E 9E 8C 76.
  EXPECT_EQ(server("sntp://\x8e\x9e\x8c\x76", 4), "\x8e\x9e");
}

std::string trimmed(std::string text) {
  trim_blanks(text.data());
  return text.c_str();
}

TEST(TrimBlanks, SpacesTabsAndIdeographicSpacesAroundTheName) {
  EXPECT_EQ(trimmed(" \tntp.example.jp \t"), "ntp.example.jp");
  EXPECT_EQ(trimmed("\x81\x40ntp.example.jp\x81\x40 "), "ntp.example.jp");
  EXPECT_EQ(trimmed("a b"), "a b") << "blanks inside stay";
  EXPECT_EQ(trimmed(" \x81\x40\t"), "");
  EXPECT_EQ(trimmed(""), "");
  // "メ@" is 83 81 40: its trail byte and the "@" after it are no blank.
  EXPECT_EQ(trimmed("\x83\x81@"), "\x83\x81@");
  EXPECT_EQ(trimmed("\x83\x81\x81\x40"), "\x83\x81");
}

}  // namespace

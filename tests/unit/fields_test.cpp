#include "settings/fields.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

std::string field(const char* text, int index, size_t size = kFieldSize) {
  std::string out(size, 'X');
  bool present = read_field(text, index, out.data(), size);
  out.resize(std::char_traits<char>::length(out.c_str()));
  return present ? out : "<missing:" + out + ">";
}

TEST(ReadAtoi, ReadsLikeAtoi) {
  EXPECT_EQ(read_atoi("123"), 123);
  EXPECT_EQ(read_atoi(" \t\n\v\f\r-45xyz"), -45);
  EXPECT_EQ(read_atoi("+7;8"), 7);
  EXPECT_EQ(read_atoi("+120 msec"), 120);
  EXPECT_EQ(read_atoi(""), 0);
  EXPECT_EQ(read_atoi("abc"), 0);
  EXPECT_EQ(read_atoi("- 5"), 0);
  EXPECT_EQ(read_atoi("2147483647"), 2147483647);
  EXPECT_EQ(read_atoi("-2147483648"), INT32_MIN);
  // With a bound the number ends there, and nothing past it is read.
  const char* text = " -12345";
  EXPECT_EQ(read_atoi(text, text + 4), -12);
  std::unique_ptr<char[]> unterminated(new char[3]{' ', '+', '7'});
  EXPECT_EQ(read_atoi(unterminated.get(), unterminated.get() + 3), 7);
}

TEST(ReadAtoi, OverflowWrapsWithoutUndefinedBehaviour) {
  EXPECT_EQ(read_atoi("2147483648"), INT32_MIN);
  EXPECT_EQ(read_atoi("4294967296"), 0);
  EXPECT_EQ(read_atoi("4294967419"), 123);
  // A very long run of digits must neither trap nor read past the text.
  std::string digits(100000, '9');
  (void)read_atoi(digits.c_str());
}

TEST(ReadAtoi, ReportsWhereItStopped) {
  const char* text = "  -12abc";
  const char* end = nullptr;
  read_atoi(text, &end);
  EXPECT_EQ(end, text + 5);
}

TEST(ReadField, SplitsOnSemicolons) {
  EXPECT_EQ(field("1;2;3;", 0), "1");
  EXPECT_EQ(field("1;2;3;", 2), "3");
  EXPECT_EQ(field("1;;3", 1), "");
  EXPECT_EQ(field("a;b", 1), "b");
}

TEST(ReadField, MissingFields) {
  EXPECT_EQ(field("1;2;3;", 3), "<missing:>");  // the text ends after the third ";"
  EXPECT_EQ(field("1;2", 5), "<missing:>");
  EXPECT_EQ(field("", 0), "<missing:>");
  EXPECT_EQ(field(nullptr, 0), "<missing:>");
  EXPECT_EQ(read_atoi_field("5;", 1), 0);
  EXPECT_EQ(read_atoi_field("5;;7", 1), 0);
  EXPECT_EQ(read_atoi_field(nullptr, 0), 0);
}

TEST(ReadField, LongFieldsAreCutAtTheLimit) {
  std::string text(2000, '7');
  std::string out = field(text.c_str(), 0);
  EXPECT_EQ(out.size(), kFieldSize - 1);
  EXPECT_EQ(field("abcdef;g", 0, 4), "abc");
  EXPECT_EQ(field("abc", 0, 1), "");
}

TEST(ReadField, NeverCutsADoubleByteCharacter) {
  // "あい" in code page 932 is 82 A0 82 A2; a 4-byte buffer holds one of them.
  EXPECT_EQ(field("\x82\xa0\x82\xa2;x", 0, 4), "\x82\xa0");
  EXPECT_EQ(field("a\x82\xa0;x", 0, 3), "a");
  // A trail byte that looks like ASCII ("ソ" is 83 5C, "\") stays with its lead byte.
  EXPECT_EQ(field("\x83\x5c;1", 0), "\x83\x5c");
}

TEST(Cp932CutLength, StopsBeforeASplitPair) {
  EXPECT_EQ(cp932_cut_length("abc", 10), 3u);
  EXPECT_EQ(cp932_cut_length("abc", 2), 2u);
  EXPECT_EQ(cp932_cut_length("\x82\xa0\x82\xa2", 3), 2u);
  EXPECT_EQ(cp932_cut_length("\x82\xa0\x82\xa2", 4), 4u);
  // Half-width katakana (A1-DF) are single bytes.
  EXPECT_EQ(cp932_cut_length("\xb1\xb2\xb3", 2), 2u);
  // A lone lead byte at the end of the text counts as one byte.
  EXPECT_EQ(cp932_cut_length("a\x82", 5), 2u);
}

TEST(ReadScanfInt, ReadsLikeScanfWithoutOverflow) {
  int32_t v = 0;
  EXPECT_TRUE(read_scanf_int("+120 msec", &v));
  EXPECT_EQ(v, 120);
  EXPECT_TRUE(read_scanf_int(" \t-2500 msec", &v));
  EXPECT_EQ(v, -2500);
  EXPECT_TRUE(read_scanf_int("99999999999999999999999 msec", &v));
  EXPECT_EQ(v, INT32_MAX);
  EXPECT_TRUE(read_scanf_int("-2147483648", &v));
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_TRUE(read_scanf_int("-99999999999", &v));
  EXPECT_EQ(v, INT32_MIN);
  for (const char* text : {"", " ", "+", "- 5", "msec", "*"}) EXPECT_FALSE(read_scanf_int(text, &v)) << text;
  // A heap text ending right after its digits is not read beyond its end.
  std::unique_ptr<char[]> exact(new char[4]{'-', '4', '2', '\0'});
  EXPECT_TRUE(read_scanf_int(exact.get(), &v));
  EXPECT_EQ(v, -42);
}

}  // namespace

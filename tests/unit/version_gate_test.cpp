#include "ui/version_gate.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr HostVersion v(uint32_t major, uint32_t minor, uint32_t revision, uint32_t build) {
  return major << 24 | minor << 16 | revision << 8 | build;
}

HostVersion parse(const std::string& text) { return parse_host_version(text.data(), text.size()); }

TEST(HostVersion, HostTextsAndTheGate) {
  const struct {
    const char* text;
    HostVersion version;
    int gate;
  } rows[] = {
      {"", 0, -1},
      {"1.0", 0, -1},
      {"1.0.2", v(1, 0, 2, 0), -1},
      {"1.0.3 build 7", v(1, 0, 3, 7), -1},
      {"1.0.3\t9", v(1, 0, 3, 9), -1},
      {"1.0.3", v(1, 0, 3, 0), 0},
      {"1.0.3 ", v(1, 0, 3, 0), 0},
      {"1.0.3beta2", v(1, 0, 3, 0), 0},
      {"01.00.03", v(1, 0, 3, 0), 0},
      {"1.0.10 build 1", v(1, 0, 10, 1), 1},
      {"2.0.0", v(2, 0, 0, 0), 1},
      {"1.0. 3 build 4", v(1, 0, 0, 3), -1},  // the revision is what stands before the white space
      {"1.0.3 build", v(1, 0, 3, 0), 0},
      {"1.0.256", v(1, 1, 0, 0), 1},  // components are not masked
      {" -1.+0.3", v(255, 0, 3, 0), 1},  // white space and signs as atoi reads them; -1 wraps
  };
  for (const auto& row : rows) {
    HostVersion got = parse(row.text);
    EXPECT_EQ(got, row.version) << '"' << row.text << '"';
    EXPECT_EQ(compare_host_version(got, 1, 0, 3, 0), row.gate) << '"' << row.text << '"';
    EXPECT_EQ(host_keeps_comment_lines(got), row.gate >= 0) << '"' << row.text << '"';
  }
}

TEST(HostVersion, StaysWithinTheBufferWithoutATerminatingZero) {
  // The host may fill all 32 bytes; whatever lies after them must not count.
  char buffer[40];
  std::memset(buffer, '7', sizeof buffer);
  std::memcpy(buffer, "1.0.3 build", 11);
  std::memset(buffer + 11, 'x', 21);
  EXPECT_EQ(parse_host_version(buffer, 32), v(1, 0, 3, 0));
  std::memcpy(buffer, "1.0.3 build 1234567890123456789", 31);
  buffer[31] = '8';
  EXPECT_EQ(parse_host_version(buffer, 32), parse(std::string(buffer, 32)));
  EXPECT_EQ(parse_host_version("1.0.3", 3), 0u) << "only one dot lies within the size";
  EXPECT_EQ(parse_host_version(nullptr, 32), 0u);
}

TEST(HostVersion, BuildNumbersOfTheSameRevision) {
  EXPECT_EQ(compare_host_version(v(1, 0, 3, 0), 1, 0, 3, 7), 1);
  EXPECT_EQ(compare_host_version(v(1, 0, 3, 9), 1, 0, 3, 7), 1);
  EXPECT_EQ(compare_host_version(v(1, 0, 3, 5), 1, 0, 3, 7), -1);
  EXPECT_EQ(compare_host_version(v(1, 0, 3, 7), 1, 0, 3, 7), 0);
  EXPECT_EQ(compare_host_version(v(1, 0, 2, 200), 1, 0, 3, 0), -1);
  EXPECT_EQ(compare_host_version(v(1, 1, 0, 0), 1, 0, 255, 0), 1);
  EXPECT_EQ(compare_host_version(v(255, 0, 0, 0), 1, 0, 3, 0), 1) << "major compares unsigned";
}

TEST(FlattenComment, LineBreaksAndTabsBecomeSpaces) {
  char text[] = "first\r\nsecond\tthird\n";
  flatten_comment(text);
  EXPECT_STREQ(text, "first  second third ");
  flatten_comment(nullptr);
  char empty[] = "";
  flatten_comment(empty);
  EXPECT_STREQ(empty, "");
}

TEST(FlattenComment, DoubleByteTextWhoseTrailBytesLookLikeAsciiPassesUnharmed) {
  // "ソ表能予" have trail bytes 0x5C ('\\'); "ー" (81 5B), "ア" (83 41) and
  // "@" trail bytes look like ASCII too, but none is a control character.
  char text[] = "ソ表\r\n能予\tー ア";
  const std::string expected = std::string("ソ表  能予 ー ア");
  flatten_comment(text);
  EXPECT_EQ(std::string(text), expected);
  EXPECT_EQ(static_cast<unsigned char>(text[1]), 0x5Cu);
}

}  // namespace

#include "ui/info_texts.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The text shown for precision p, or "(unchanged)" when the field is left alone.
std::string precision(int32_t p) {
  char out[32];
  return precision_text(p, out, sizeof out) ? out : "(unchanged)";
}

std::string poll(int32_t n) {
  char out[32];
  poll_text(n, out, sizeof out);
  return out;
}

std::string reference(uint8_t stratum, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t id[4] = {a, b, c, d};
  char out[32];
  reference_id_text(stratum, id, out, sizeof out);
  return out;
}

TEST(InfoTexts, PrecisionAtEveryBoundary) {
  EXPECT_EQ(precision(-1), "500 msec");
  EXPECT_EQ(precision(-6), "15 msec");
  EXPECT_EQ(precision(-9), "1 msec");
  EXPECT_EQ(precision(-10), "976 μsec");
  EXPECT_EQ(precision(-19), "1 μsec");
  EXPECT_EQ(precision(-20), "953 nsec");
  EXPECT_EQ(precision(-29), "1 nsec");
  EXPECT_EQ(precision(-30), kUnknownText);
  EXPECT_EQ(precision(-128), kUnknownText);
  EXPECT_EQ(precision(0), "(unchanged)");
  EXPECT_EQ(precision(3), "(unchanged)");
  EXPECT_EQ(precision(127), "(unchanged)");
}

TEST(InfoTexts, PollAtEveryBoundary) {
  EXPECT_EQ(poll(0), "1 sec");
  EXPECT_EQ(poll(6), "64 sec");
  EXPECT_EQ(poll(30), "1073741824 sec");
  EXPECT_EQ(poll(31), kUnknownText);
  EXPECT_EQ(poll(127), kUnknownText);
  EXPECT_EQ(poll(-1), "500 msec");
  EXPECT_EQ(poll(-3), "125 msec");
  EXPECT_EQ(poll(-10), "0 msec");
  EXPECT_EQ(poll(-31), "0 msec");
  EXPECT_EQ(poll(-32), kUnknownText);
  EXPECT_EQ(poll(-128), kUnknownText);
}

TEST(InfoTexts, ReferenceIdentifierByStratum) {
  EXPECT_EQ(reference(1, 'G', 'P', 'S', 0), "GPS");
  EXPECT_EQ(reference(1, 'G', 'P', 0, 'S'), "GP");
  EXPECT_EQ(reference(1, 'P', 'P', 'S', '1'), "PPS1");
  EXPECT_EQ(reference(2, 10, 1, 2, 3), "10.1.2.3");
  EXPECT_EQ(reference(15, 255, 0, 128, 1), "255.0.128.1");
}

TEST(InfoTexts, VersionIsBitsFiveToThree) {
  EXPECT_EQ(protocol_version(36), 4u);   // leap 0, version 4, mode 4
  EXPECT_EQ(protocol_version(12), 1u);   // version 1, mode 4
  EXPECT_EQ(protocol_version(228), 4u);  // leap 3, version 4, mode 4
  EXPECT_EQ(protocol_version(0xFF), 7u);
}

}  // namespace

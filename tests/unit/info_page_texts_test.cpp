#include "ui/info_page_texts.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

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
  const std::pair<int32_t, std::string> rows[] = {
      {-1, "500 msec"},  {-6, "15 msec"},  {-9, "1 msec"},     {-10, "976 μsec"},      {-19, "1 μsec"},
      {-20, "953 nsec"}, {-29, "1 nsec"},  {-30, kUnknownText}, {-128, kUnknownText}, {0, "(unchanged)"},
      {3, "(unchanged)"}, {127, "(unchanged)"},
  };
  for (const auto& [p, text] : rows) EXPECT_EQ(precision(p), text) << p;
}

TEST(InfoTexts, PollAtEveryBoundary) {
  const std::pair<int32_t, std::string> rows[] = {
      {0, "1 sec"},      {6, "64 sec"},    {30, "1073741824 sec"}, {31, kUnknownText}, {127, kUnknownText},
      {-1, "500 msec"},  {-3, "125 msec"}, {-10, "0 msec"},        {-31, "0 msec"},    {-32, kUnknownText},
      {-128, kUnknownText},
  };
  for (const auto& [n, text] : rows) EXPECT_EQ(poll(n), text) << n;
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

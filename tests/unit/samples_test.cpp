#include "check/samples.h"

#include <gtest/gtest.h>

#include <vector>

#include "check/ntp.h"

namespace {

constexpr int64_t kMs = kUnitsPerMs;

struct Row {
  const char* name;
  std::vector<Sample> samples;  // offset and round trip, in ms
  ItemOptions options;
  const char* previous;
  int64_t usual_ms;  // -1: none remembered
  StepKind kind;
  AskReason why;
  int32_t sample;  // decided on, or the big step not confirmed
  bool usual_outdated = false;
};

constexpr ItemOptions kSets{123, 0, 0, 0, 0};
constexpr ItemOptions kMeasures50{123, 0, 50, 0, 1};
constexpr ItemOptions kSkips1000{123, 1, 1000, 0, 0};
constexpr int64_t kHour = 3'600'000;

TEST(NextStep, OneRequestUnlessASampleLeavesDoubt) {
  // What the Windows tables of whole checks leave out.
  const Row rows[] = {
      {"the threshold within the bound, first check of the server", {{-100, 200}}, kMeasures50, nullptr, -1,
       StepKind::kAskAgain, AskReason::kNearThreshold, 0},
      {"late, no usual round trip yet", {{-100, 200}}, kSets, nullptr, -1, StepKind::kDecide, {}, 0},
      {"within twice the usual and 10 ms", {{-6, 12}}, kSets, nullptr, 1, StepKind::kDecide, {}, 0},
      {"late, but left alone below the threshold", {{-100, 200}}, kSkips1000, "+3 msec", 1, StepKind::kDecide, {},
       0},
      {"the last offset was large: the threshold decides nothing", {{999, 10}}, kSkips1000, "-2500 msec", -1,
       StepKind::kDecide, {}, 0},
      {"four late: the usual outdated", {{-100, 200}, {-90, 180}, {-110, 220}, {-95, 190}}, kSets, nullptr, 1,
       StepKind::kDecide, {}, 1, true},
      {"four doubtful, one prompt among them", {{-100, 200}, {50, 1}, {-110, 220}, {-95, 190}}, kMeasures50,
       nullptr, 1, StepKind::kDecide, {}, 1},
      {"two agree: the shorter round trip", {{2 * kHour, 5}, {2 * kHour + 500, 1}}, kSets, nullptr, 1,
       StepKind::kDecide, {}, 1},
      {"a big step, then a small one", {{2 * kHour, 1}, {5, 1}}, kSets, nullptr, 1, StepKind::kFail, {}, 0},
  };

  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<Sample> samples;
    for (const Sample& s : r.samples) samples.push_back({s.offset * kMs, s.round_trip * kMs});
    const NextStep step = next_step(samples.data(), static_cast<int32_t>(samples.size()), r.options, r.previous,
                                    r.usual_ms < 0 ? kNoUsualRoundTrip : r.usual_ms * kMs);
    EXPECT_EQ(step.kind, r.kind);
    EXPECT_EQ(step.why, r.why);
    EXPECT_EQ(r.kind == StepKind::kAskAgain ? r.sample : step.sample, r.sample);
    EXPECT_EQ(step.usual_outdated, r.usual_outdated);
  }
  EXPECT_EQ(error_bound({0, -5}), 0) << "a round trip below zero bounds nothing";
}

}  // namespace

// What a check does after each sample it takes from the server: decide on
// one, ask the server again, or fail, and why. One reply's offset is wrong
// by up to half its round trip (the bound any single sample has), so a
// sample that leaves doubt about the outcome is followed by another
// request, up to kMaxRequests; a check with no doubt asks once. Pure code
// (no windows.h): the lifecycle carries the step out.
#pragma once

#include <cstdint>

#include "settings/option_text.h"

// Requests one check sends at most.
constexpr int32_t kMaxRequests = 4;

// A round trip is far above the server's usual when it exceeds twice the
// shortest seen from that server plus this, in 100-ns units (10 ms).
constexpr int64_t kLateSlack = 10 * 10'000;

// No round trip of the server is remembered.
constexpr int64_t kNoUsualRoundTrip = -1;

// One usable reply: its clock offset and its round trip ((T4 - T1) -
// (T3 - T2)), in 100-ns units.
struct Sample {
  int64_t offset;
  int64_t round_trip;
};

// The sample's error bound: half its round trip, never below 0.
int64_t error_bound(const Sample& sample);

enum class StepKind : uint8_t {
  kDecide,    // decide on `sample` and report it
  kAskAgain,  // send another request, `why` says why
  kFail,      // a big step the samples do not confirm
};

enum class AskReason : uint8_t {
  kNone,
  kConfirmBigStep,  // a step of kConfirmStepFrom or more waits for a second sample that agrees
  kLateReply,       // the round trip is far above the server's usual
  kNearThreshold,   // the item's threshold lies within the sample's error bound
};

struct NextStep {
  StepKind kind;
  AskReason why;   // kAskAgain
  int32_t sample;  // kDecide: the sample to decide on; kFail: the big step not confirmed
  int32_t other;   // kFail: the sample that disagrees with it
  // kDecide: every reply of a check that asked kMaxRequests times came late;
  // the decided sample's round trip is the server's usual from now on.
  bool usual_outdated = false;
};

// The next step of a check that has taken `count` samples (at least one, in
// the order they came), for an item with `options` whose last offset text is
// `previous_offset_text`, from a server whose shortest round trip is
// `usual_round_trip` (kNoUsualRoundTrip when none is remembered).
//
// - A sample is doubtful when its round trip is far above the server's
//   usual, or when the threshold decides the outcome (measuring only, or
//   skipping small offsets after a small one) and lies within the sample's
//   error bound. After a doubtful sample the check asks again, up to
//   kMaxRequests; it decides at the first sample that leaves no doubt, on
//   the sample with the shortest round trip.
// - When the item would step the clock by kConfirmStepFrom or more, two
//   samples must agree within kConfirmAgreement; the step is taken by the
//   shorter round trip of them. A big step that a second sample does not
//   confirm fails the check.
NextStep next_step(const Sample* samples, int32_t count, const ItemOptions& options,
                   const char* previous_offset_text, int64_t usual_round_trip);

#include "check/samples.h"

#include "check/ntp.h"

namespace {

uint64_t magnitude(int64_t value) {
  return value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

// The sample with the shortest round trip, the latest of equals.
int32_t shortest(const Sample* samples, int32_t count) {
  int32_t best = 0;
  for (int32_t i = 1; i < count; ++i) {
    if (samples[i].round_trip <= samples[best].round_trip) best = i;
  }
  return best;
}

// Whether the item's threshold decides what a sample leads to: an item that
// only measures alerts from it, and one that skips small offsets leaves a
// small one alone unless its last offset was large.
bool threshold_decides(const ItemOptions& options, const char* previous_offset_text) {
  if (options.sync_threshold_ms <= 0) return false;
  if (options.measure_only != 0) return true;
  return decide_move(1, options.skip_small_offsets, options.sync_threshold_ms, previous_offset_text) ==
         ClockAction::kSkip;
}

// Whether what the check does with the sample turns on its offset's value:
// it would move the clock by it, or the item only measures and writes it.
// A sample the item leaves alone (below its threshold, after a small one)
// is left alone however late it came.
bool acted_on(const Sample& sample, const ItemOptions& options, const char* previous_offset_text) {
  return options.measure_only != 0 || decide_move(sample.offset, options.skip_small_offsets,
                                                  options.sync_threshold_ms, previous_offset_text) ==
                                          ClockAction::kMove;
}

bool late(const Sample& sample, int64_t usual_round_trip) {
  return usual_round_trip != kNoUsualRoundTrip && sample.round_trip > 2 * usual_round_trip + kLateSlack;
}

// Whether the sample moves the clock, and by a step that needs confirming.
bool big_step(const Sample& sample, const ItemOptions& options, const char* previous_offset_text) {
  return options.measure_only == 0 && step_needs_confirmation(sample.offset) &&
         decide_move(sample.offset, options.skip_small_offsets, options.sync_threshold_ms,
                     previous_offset_text) == ClockAction::kMove;
}

AskReason doubt(const Sample& sample, const ItemOptions& options, const char* previous_offset_text,
               int64_t usual_round_trip) {
  if (late(sample, usual_round_trip) && acted_on(sample, options, previous_offset_text)) {
    return AskReason::kLateReply;
  }
  const int32_t threshold_ms = options.sync_threshold_ms;
  if (threshold_decides(options, previous_offset_text)) {
    // The outcome turns on |offset| >= threshold; the true offset lies
    // within the bound of the measured one.
    const uint64_t size = magnitude(sample.offset);
    const uint64_t bound = static_cast<uint64_t>(error_bound(sample));
    const uint64_t threshold = static_cast<uint64_t>(threshold_ms) * kUnitsPerMs;
    const uint64_t low = size > bound ? size - bound : 0;
    if (low < threshold && threshold <= size + bound) return AskReason::kNearThreshold;
  }
  return AskReason::kNone;
}

}  // namespace

int64_t error_bound(const Sample& sample) { return sample.round_trip > 0 ? sample.round_trip / 2 : 0; }

NextStep next_step(const Sample* samples, int32_t count, const ItemOptions& options,
                   const char* previous_offset_text, int64_t usual_round_trip) {
  const int32_t best = shortest(samples, count);
  const Sample& latest = samples[count - 1];
  // A big step anywhere in the check needs two samples that agree: the best
  // one and another. A single one may be a glitch or a server's mistake, and
  // samples that disagree by more leave nothing to step by.
  for (int32_t i = 0; i < count; ++i) {
    if (!big_step(samples[i], options, previous_offset_text)) continue;
    if (count == 1) return {StepKind::kAskAgain, AskReason::kConfirmBigStep, 0, 0};
    for (int32_t j = 0; j < count; ++j) {
      if (j != best && offsets_agree(samples[best].offset, samples[j].offset)) {
        return {StepKind::kDecide, AskReason::kNone, best, 0};
      }
    }
    return {StepKind::kFail, AskReason::kNone, i, i == count - 1 ? count - 2 : count - 1};
  }
  if (count < kMaxRequests) {
    const AskReason why = doubt(latest, options, previous_offset_text, usual_round_trip);
    if (why != AskReason::kNone) return {StepKind::kAskAgain, why, 0, 0};
    return {StepKind::kDecide, AskReason::kNone, best, 0};
  }
  // Every request of the check asked: when each reply came late, the
  // server's round trip has grown (its route changed, say), and the
  // shortest of them is its usual from now on.
  bool all_late = true;
  for (int32_t i = 0; i < count; ++i) all_late = all_late && late(samples[i], usual_round_trip);
  return {StepKind::kDecide, AskReason::kNone, best, 0, all_late};
}

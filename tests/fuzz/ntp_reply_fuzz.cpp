// Any datagram as the reply to a check, taken through every step a check
// takes with it: its verdict, the server-information text, the offset with
// the era rule, the move decision and the offset text.
//
// Input: a 48-byte check context, then the datagram (any length, read in
// place so that a read past its end is caught):
//   0..7   T1, the send time (FILETIME, little-endian; top bit dropped)
//   8..15  T4, the receive time (likewise)
//   16     skip small offsets (0 or not)
//   17..20 threshold in ms (int32, little-endian)
//   21     0: the item has no previous offset text; otherwise it is 22..39
//   22..39 previous offset text, up to its first zero byte
//   40..47 the request's nonce, which only an answer echoes
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "check/ntp.h"
#include "check/reply_texts.h"
#include "check/server_info_string.h"
#include "settings/fields.h"

namespace {

constexpr size_t kContextSize = 48;
constexpr size_t kPreviousTextEnd = 40;
// 1968-01-20 03:14:08 UTC, the first instant a timestamp can stand for
// (seconds 0x80000000 of era 0), as a FILETIME.
constexpr uint64_t kEarliest = (0x80000000ull + 9'435'484'800ull) * kUnitsPerSecond;
constexpr uint64_t kEraUnits = (uint64_t{1} << 32) * kUnitsPerSecond;
// A release floor in the middle of era 0's last years (2026-12-09), so that
// server times on both sides of it come up.
constexpr uint64_t kFloor = release_floor(1'765'324'800);

void check(bool condition) {
  if (!condition) std::abort();
}

uint64_t le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

uint32_t be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

// The timestamp at `p` converted, and checked against its own bytes: a time
// within the 136 years from 1968 that maps back to the same seconds, with
// the fraction truncated to the 100-ns unit.
uint64_t converted(const uint8_t* p) {
  const NtpTimestamp ts{be32(p), be32(p + 4)};
  const uint64_t t = ntp_to_filetime(ts);
  check(t >= kEarliest && t - kEarliest < kEraUnits);
  check(static_cast<uint32_t>(t / kUnitsPerSecond - 9'435'484'800ull) == ts.seconds);
  const unsigned __int128 units = t % kUnitsPerSecond;
  const unsigned __int128 scaled = static_cast<unsigned __int128>(ts.fraction) * kUnitsPerSecond;
  check(units << 32 <= scaled && scaled < (units + 1) << 32);
  return t;
}

// A message the check writes for the item: it fits its buffer uncut and
// never ends inside a double-byte character.
void check_message(const char* text, size_t size) {
  const size_t length = std::strlen(text);
  check(length > 0 && length < size - 1);
  check(cp932_cut_length(text, length) == length);
}

// The offset text of a clock move: "%+.0f msec" of the whole milliseconds,
// within the 19 characters of its block, and readable as the last offset
// by the next check.
void check_offset_text(int64_t offset) {
  char block[kOffsetTextSize];
  std::memset(block, 0x7F, sizeof block);
  const int64_t ms = offset / kUnitsPerMs;
  const int64_t size = ms < 0 ? -ms : ms;
  if (!format_offset_text(offset, block, sizeof block)) {
    check(block[0] == '\0');
    check(size >= 10'000'000'000'000);  // more than the 13 digits that fit
    return;
  }
  const size_t length = std::strlen(block);
  check(length <= kOffsetTextSize - 1);
  check(block[0] == (ms < 0 ? '-' : '+'));
  check(length > 6 && std::strcmp(block + length - 5, " msec") == 0);
  int64_t value = 0;
  for (size_t i = 1; i < length - 5; ++i) {
    check(block[i] >= '0' && block[i] <= '9');
    check(i == 1 || block[1] != '0');  // no leading zeros
    value = value * 10 + (block[i] - '0');
  }
  check(value == size);
  int32_t read = 0;
  check(read_scanf_int(block, &read));
  const int64_t saturated = ms > INT32_MAX ? INT32_MAX : ms < INT32_MIN ? INT32_MIN : ms;
  check(read == saturated);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kContextSize) return 0;
  // FILETIMEs the system clock can give stay below 2^63.
  const uint64_t t1 = le64(data) >> 1;
  const uint64_t t4 = le64(data + 8) >> 1;
  const int32_t skip = data[16];
  int32_t threshold;
  std::memcpy(&threshold, data + 17, 4);
  char previous_block[kPreviousTextEnd - 22 + 1] = {};
  std::memcpy(previous_block, data + 22, kPreviousTextEnd - 22);
  const char* previous = data[21] != 0 ? previous_block : nullptr;
  const uint8_t* nonce = data + kPreviousTextEnd;
  const uint8_t* bytes = data + kContextSize;
  const size_t length = size - kContextSize;

  const ReplyEvaluation e = evaluate_reply(bytes, length, nonce, t1, t4, kFloor);
  // Only a datagram that echoes a non-zero nonce in its originate timestamp
  // answers the request (RFC 4330 section 5); nothing else is even read.
  static const uint8_t kZero[kNonceSize] = {};
  const bool answers = length >= 32 && std::memcmp(bytes + 24, nonce, kNonceSize) == 0 &&
                       std::memcmp(bytes + 24, kZero, kNonceSize) != 0;
  check((e.kind == DatagramKind::kNotAnAnswer) == !answers);
  if (!answers) {
    check(e.offset == 0 && e.info.first_octet == 0 && e.info.stratum == 0);
    return 0;
  }
  char problem[512];
  if (length < kNtpPacketSize) {
    check(e.kind == DatagramKind::kUnreadable);
    format_reply_problem(e, length, problem, sizeof problem);
    check_message(problem, sizeof problem);
    return 0;
  }

  // The server information is the message's bytes, and its text reads back
  // as the same values.
  const ServerInfo& info = e.info;
  check(info.first_octet == bytes[0] && info.stratum == bytes[1]);
  check(static_cast<uint8_t>(info.poll) == bytes[2] && static_cast<uint8_t>(info.precision) == bytes[3]);
  check(static_cast<uint32_t>(info.root_delay) == be32(bytes + 4));
  check(static_cast<uint32_t>(info.root_dispersion) == be32(bytes + 8));
  check(std::memcmp(info.reference_id, bytes + 12, 4) == 0);
  char text[kServerInfoStringSize];
  format_server_info(info, text, sizeof text);
  check(std::strlen(text) < sizeof text - 1);
  ServerInfo back;
  check(parse_server_info(text, &back));
  check(back.first_octet == info.first_octet && back.stratum == info.stratum && back.poll == info.poll &&
        back.precision == info.precision && back.root_delay == info.root_delay &&
        back.root_dispersion == info.root_dispersion && std::memcmp(back.reference_id, info.reference_id, 4) == 0);

  // Only a server's synchronised answer with its times in it is usable
  // (RFC 4330 sections 5 and 8), and nothing else carries an offset.
  const uint8_t mode = bytes[0] & 7;
  const uint8_t leap = bytes[0] >> 6;
  const bool no_receive_time = be32(bytes + 32) == 0 && be32(bytes + 36) == 0;
  const bool no_transmit_time = be32(bytes + 40) == 0 && be32(bytes + 44) == 0;
  const bool sound =
      mode == 4 && bytes[1] >= 1 && bytes[1] <= 15 && leap != 3 && !no_receive_time && !no_transmit_time;
  // And no server time before the module's release (RFC 8633 section 5.2);
  // one whose times contradict each other is refused too (ntp_test's rows).
  const bool released = sound && converted(bytes + 40) >= kFloor;
  const bool usable = e.verdict == ReplyVerdict::kUsable;
  check(e.kind == DatagramKind::kReply);
  check((usable || e.verdict == ReplyVerdict::kContradictoryTimes) == released);
  check((e.verdict == ReplyVerdict::kBeforeRelease) == (sound && !released));
  if (!usable) {
    check(e.offset == 0);
    check(decide_move(e.offset, skip, threshold, previous) == ClockAction::kNone);
    format_reply_problem(e, length, problem, sizeof problem);
    check_message(problem, sizeof problem);
    return 0;
  }

  // The offset is the exact half of ((T2 - T1) + (T3 - T4)), truncated.
  const __int128 t2 = converted(bytes + 32);
  const __int128 t3 = converted(bytes + 40);
  const __int128 exact = ((t2 - static_cast<__int128>(t1)) + (t3 - static_cast<__int128>(t4))) / 2;
  check(e.offset == exact);

  const ClockAction action = decide_move(e.offset, skip, threshold, previous);
  check((action == ClockAction::kNone) == (e.offset == 0));
  if (action == ClockAction::kSkip) {
    // Left alone only when both this offset and the last one applied are
    // below the threshold.
    const int64_t ms = e.offset / kUnitsPerMs;
    int32_t last = 0;
    check(skip != 0 && (ms < 0 ? -ms : ms) < threshold);
    check(previous != nullptr && read_scanf_int(previous, &last));
    check((last < 0 ? -int64_t{last} : int64_t{last}) < threshold);
  }
  if (action == ClockAction::kMove) check_offset_text(e.offset);
  return 0;
}

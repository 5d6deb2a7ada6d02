#include "check/ntp.h"

#include <cstring>

#include "settings/fields.h"

namespace {

// Seconds from 1601-01-01 (FILETIME's epoch) to 1900-01-01 (era 0 of NTP).
constexpr uint64_t kSeconds1601To1900 = 9'435'484'800;
constexpr uint64_t kEraSeconds = uint64_t{1} << 32;

constexpr uint8_t kModeServer = 4;
constexpr uint8_t kLeapAlarm = 3;
constexpr uint8_t kMaxStratum = 15;

uint32_t read_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

NtpTimestamp read_timestamp(const uint8_t* p) { return NtpTimestamp{read_be32(p), read_be32(p + 4)}; }

// Message offsets (RFC 4330 section 4).
constexpr size_t kRootDelayAt = 4;
constexpr size_t kRootDispersionAt = 8;
constexpr size_t kReferenceIdAt = 12;
constexpr size_t kOriginateTimestampAt = 24;
constexpr size_t kReceiveTimestampAt = 32;
constexpr size_t kTransmitTimestampAt = 40;

// RFC 4330 section 5: the reply's originate timestamp must be the
// transmit timestamp of the request. A zero one never is, whatever the
// nonce: it is what a server sends that did not read our request.
bool answers_request(const uint8_t* bytes, size_t length, const uint8_t nonce[kNonceSize]) {
  if (length < kOriginateTimestampAt + kNonceSize) return false;
  const uint8_t* originate = bytes + kOriginateTimestampAt;
  uint8_t any = 0;
  for (size_t i = 0; i < kNonceSize; ++i) any |= originate[i];
  return any != 0 && std::memcmp(originate, nonce, kNonceSize) == 0;
}

ReplyVerdict verdict_of(const ServerInfo& info, NtpTimestamp receive, NtpTimestamp transmit,
                        uint64_t earliest_server_time) {
  const uint8_t leap = info.first_octet >> 6;
  const uint8_t mode = info.first_octet & 7;
  // RFC 4330 section 5: a unicast client takes only server-mode replies.
  if (mode != kModeServer) return ReplyVerdict::kNotServerMode;
  // Section 8: stratum 0 is a kiss-o'-death; the client must not use it.
  if (info.stratum == 0) return ReplyVerdict::kKissOfDeath;
  // Section 5: strata above 15 are reserved.
  if (info.stratum > kMaxStratum) return ReplyVerdict::kStratumTooHigh;
  // Section 5: leap indicator 3 is the alarm condition (clock not synchronised).
  if (leap == kLeapAlarm) return ReplyVerdict::kUnsynchronized;
  // Section 5: a zero transmit timestamp is not a time at all.
  if (transmit.seconds == 0 && transmit.fraction == 0) return ReplyVerdict::kNoTransmitTime;
  // Zero is no time for the receive timestamp either (RFC 5905 section 6:
  // it means the time is unknown). Read with the era rule it would be 2036,
  // and the clock would be moved by years.
  if (receive.seconds == 0 && receive.fraction == 0) return ReplyVerdict::kNoReceiveTime;
  // RFC 8633 section 5.2: no time before the software existed. A server
  // reset to 2000 by a power cut, or a receiver after a week-number
  // rollover, would otherwise take every client back with it.
  if (ntp_to_filetime(transmit) < earliest_server_time) return ReplyVerdict::kBeforeRelease;
  return ReplyVerdict::kUsable;
}

// 2^precision seconds (a server's precision field) in 100-ns units: at least
// one unit, and at most a second, whatever a server claims.
uint64_t precision_units(int8_t precision) {
  if (precision >= 0) return kUnitsPerSecond;
  const int halvings = precision < -30 ? 30 : -precision;
  const uint64_t units = static_cast<uint64_t>(kUnitsPerSecond) >> halvings;
  return units > 0 ? units : 1;
}

// Whether the four timestamps can all be true (RFC 5905 section 8: the
// round trip is (T4 - T1) - (T3 - T2)). The server must have held the
// request for no negative time and no longer than kMaxServerHold, and the
// round trip may fall below zero only by what the two clocks' steps can
// explain. A server that stamps arrivals and departures from different
// clocks fails here, as does a local clock set during the exchange.
bool times_agree(const ReplyEvaluation& e, uint64_t local_precision) {
  if (e.server_hold < 0 || e.server_hold > kMaxServerHold) return false;
  const uint64_t slack = local_precision + precision_units(e.info.precision);
  return e.round_trip >= 0 || static_cast<uint64_t>(0) - static_cast<uint64_t>(e.round_trip) <= slack;
}

uint64_t magnitude(int64_t value) {
  return value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

}  // namespace

KissCode kiss_code_of(const uint8_t reference_id[4]) {
  const struct {
    char text[5];
    KissCode code;
  } known[] = {{"RATE", KissCode::kRate}, {"DENY", KissCode::kDeny}, {"RSTR", KissCode::kRestrict},
               {"INIT", KissCode::kInit}, {"STEP", KissCode::kStep}};
  for (const auto& k : known) {
    if (std::memcmp(reference_id, k.text, 4) == 0) return k.code;
  }
  return KissCode::kOther;
}

void build_request(const uint8_t nonce[kNonceSize], uint8_t out[kNtpPacketSize]) {
  std::memset(out, 0, kNtpPacketSize);
  out[0] = kRequestFirstOctet;
  std::memcpy(out + kTransmitTimestampAt, nonce, kNonceSize);
}

uint64_t ntp_to_filetime(NtpTimestamp timestamp) {
  uint64_t seconds = timestamp.seconds;
  if ((timestamp.seconds & 0x80000000u) == 0) seconds += kEraSeconds;
  // fraction * 10^7 / 2^32, truncated: exact in 64 bits.
  const uint64_t units = (uint64_t{timestamp.fraction} * kUnitsPerSecond) >> 32;
  return (seconds + kSeconds1601To1900) * kUnitsPerSecond + units;
}

int64_t clock_offset(uint64_t t1, uint64_t t2, uint64_t t3, uint64_t t4) {
  const int64_t there = static_cast<int64_t>(t2 - t1);
  const int64_t back = static_cast<int64_t>(t3 - t4);
  int64_t sum;
  if (!__builtin_add_overflow(there, back, &sum)) return sum / 2;
  // Only for clocks centuries apart: both halves have the same sign, so
  // halving first and adding the halved remainders truncates the same way.
  return there / 2 + back / 2 + (there % 2 + back % 2) / 2;
}

ReplyEvaluation evaluate_reply(const uint8_t* bytes, size_t length, const uint8_t nonce[kNonceSize],
                               uint64_t send_time, uint64_t receive_time, uint64_t earliest_server_time,
                               uint64_t local_precision) {
  ReplyEvaluation e{};
  if (!answers_request(bytes, length, nonce)) {
    e.kind = DatagramKind::kNotAnAnswer;
    return e;
  }
  if (length < kNtpPacketSize) {
    e.kind = DatagramKind::kUnreadable;
    return e;
  }
  e.kind = DatagramKind::kReply;
  e.info.first_octet = bytes[0];
  e.info.stratum = bytes[1];
  e.info.poll = static_cast<int8_t>(bytes[2]);
  e.info.precision = static_cast<int8_t>(bytes[3]);
  e.info.root_delay = static_cast<int32_t>(read_be32(bytes + kRootDelayAt));
  e.info.root_dispersion = static_cast<int32_t>(read_be32(bytes + kRootDispersionAt));
  std::memcpy(e.info.reference_id, bytes + kReferenceIdAt, 4);
  const NtpTimestamp receive = read_timestamp(bytes + kReceiveTimestampAt);
  const NtpTimestamp transmit = read_timestamp(bytes + kTransmitTimestampAt);
  e.verdict = verdict_of(e.info, receive, transmit, earliest_server_time);
  if (transmit.seconds != 0 || transmit.fraction != 0) e.server_time = ntp_to_filetime(transmit);
  if (e.verdict == ReplyVerdict::kNoTransmitTime || e.verdict == ReplyVerdict::kNoReceiveTime) return e;
  const uint64_t server_receive = ntp_to_filetime(receive);
  // Converted timestamps lie within 2^58 units of each other; local times a
  // lifetime apart still saturate rather than wrap.
  e.server_hold = static_cast<int64_t>(e.server_time - server_receive);
  if (__builtin_sub_overflow(static_cast<int64_t>(receive_time - send_time), e.server_hold, &e.round_trip)) {
    e.round_trip = e.server_hold > 0 ? INT64_MIN : INT64_MAX;
  }
  if (e.verdict == ReplyVerdict::kUsable && !times_agree(e, local_precision)) {
    e.verdict = ReplyVerdict::kContradictoryTimes;
  }
  if (e.verdict == ReplyVerdict::kUsable) {
    e.offset = clock_offset(send_time, server_receive, e.server_time, receive_time);
  }
  return e;
}

bool step_needs_confirmation(int64_t offset) { return magnitude(offset) >= kConfirmStepFrom; }

bool offsets_agree(int64_t first, int64_t second) {
  int64_t difference;
  return !__builtin_sub_overflow(second, first, &difference) && magnitude(difference) <= kConfirmAgreement;
}

bool offset_reaches(int64_t offset, int32_t threshold_ms) {
  const double ms = static_cast<double>(offset / kUnitsPerMs);
  return (ms < 0 ? -ms : ms) >= static_cast<double>(threshold_ms);
}

ClockAction decide_move(int64_t offset, int32_t skip_small_offsets, int32_t sync_threshold_ms,
                        const char* previous_offset_text) {
  if (offset == 0) return ClockAction::kNone;
  if (skip_small_offsets == 0) return ClockAction::kMove;
  if (offset_reaches(offset, sync_threshold_ms)) return ClockAction::kMove;
  if (previous_offset_text == nullptr) return ClockAction::kMove;
  // The last offset applied decides: after a large correction the clock is
  // kept in step even by small ones. A text we cannot read counts as no
  // previous offset.
  int32_t last_ms = 0;
  if (!read_scanf_int(previous_offset_text, &last_ms)) return ClockAction::kMove;
  const int64_t last_size = last_ms < 0 ? -int64_t{last_ms} : int64_t{last_ms};
  return last_size >= sync_threshold_ms ? ClockAction::kMove : ClockAction::kSkip;
}

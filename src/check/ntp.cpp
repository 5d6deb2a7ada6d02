#include "check/ntp.h"

#include <cstdio>
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
constexpr size_t kReceiveTimestampAt = 32;
constexpr size_t kTransmitTimestampAt = 40;

ReplyVerdict verdict_of(const ServerInfo& info, NtpTimestamp receive, NtpTimestamp transmit) {
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
  return ReplyVerdict::kUsable;
}

// The kiss code of a stratum-0 reply, when its identifier is printable
// ASCII (RFC 4330 section 8); empty otherwise.
void kiss_code(const uint8_t id[4], char out[5]) {
  size_t n = 0;
  while (n < 4 && id[n] != 0) {
    if (id[n] < 0x20 || id[n] > 0x7E) {
      n = 0;
      break;
    }
    ++n;
  }
  std::memcpy(out, id, n);
  out[n] = '\0';
}

}  // namespace

const char kOffsetTooLargeText[] = "時刻の差が大きすぎるため、時刻は変更していません。";

void build_request(uint8_t out[kNtpPacketSize]) {
  std::memset(out, 0, kNtpPacketSize);
  out[0] = kRequestFirstOctet;
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

ReplyEvaluation evaluate_reply(const uint8_t* bytes, size_t length, uint64_t send_time, uint64_t receive_time) {
  ReplyEvaluation e{};
  if (length < kNtpPacketSize) {
    e.verdict = ReplyVerdict::kTooShort;
    return e;
  }
  e.info.first_octet = bytes[0];
  e.info.stratum = bytes[1];
  e.info.poll = static_cast<int8_t>(bytes[2]);
  e.info.precision = static_cast<int8_t>(bytes[3]);
  e.info.root_delay = static_cast<int32_t>(read_be32(bytes + kRootDelayAt));
  e.info.root_dispersion = static_cast<int32_t>(read_be32(bytes + kRootDispersionAt));
  std::memcpy(e.info.reference_id, bytes + kReferenceIdAt, 4);
  const NtpTimestamp receive = read_timestamp(bytes + kReceiveTimestampAt);
  const NtpTimestamp transmit = read_timestamp(bytes + kTransmitTimestampAt);
  e.verdict = verdict_of(e.info, receive, transmit);
  if (e.verdict == ReplyVerdict::kUsable) {
    const uint64_t t2 = ntp_to_filetime(receive);
    const uint64_t t3 = ntp_to_filetime(transmit);
    e.offset = clock_offset(send_time, t2, t3, receive_time);
  }
  return e;
}

void format_reply_problem(const ReplyEvaluation& evaluation, size_t length, char* out, size_t out_size) {
  const ServerInfo& info = evaluation.info;
  switch (evaluation.verdict) {
    case ReplyVerdict::kUsable:
      if (out_size > 0) out[0] = '\0';
      return;
    case ReplyVerdict::kTooShort:
      std::snprintf(out, out_size, "サーバーからの応答が短すぎます (%u バイト)。", static_cast<unsigned>(length));
      return;
    case ReplyVerdict::kNotServerMode:
      std::snprintf(out, out_size, "サーバーの応答ではないデータを受け取りました (モード %d)。時刻は変更していません。",
                    info.first_octet & 7);
      return;
    case ReplyVerdict::kKissOfDeath: {
      char code[5];
      kiss_code(info.reference_id, code);
      if (code[0] != '\0') {
        std::snprintf(out, out_size, "サーバーが時刻の提供を断りました (Kiss-o'-Death %s)。時刻は変更していません。",
                      code);
      } else {
        std::snprintf(out, out_size, "サーバーが時刻の提供を断りました (Kiss-o'-Death)。時刻は変更していません。");
      }
      return;
    }
    case ReplyVerdict::kStratumTooHigh:
      std::snprintf(out, out_size, "サーバーの階層 (stratum %u) が 1 から 15 の範囲にありません。時刻は変更していません。",
                    static_cast<unsigned>(info.stratum));
      return;
    case ReplyVerdict::kUnsynchronized:
      std::snprintf(out, out_size, "サーバーの時計が同期していません (閏秒指示子 3)。時刻は変更していません。");
      return;
    case ReplyVerdict::kNoTransmitTime:
      std::snprintf(out, out_size, "サーバーの応答に送信時刻が入っていません。時刻は変更していません。");
      return;
    case ReplyVerdict::kNoReceiveTime:
      std::snprintf(out, out_size, "サーバーの応答に受信時刻が入っていません。時刻は変更していません。");
      return;
  }
}

bool read_leading_int(const char* text, int32_t* value) {
  bool negative = false;
  const char* p = skip_space_and_sign(text, &negative);
  if (*p < '0' || *p > '9') return false;
  constexpr int64_t kCap = int64_t{1} << 31;  // enough to saturate either way
  int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (magnitude < kCap) magnitude = magnitude * 10 + (*p - '0');
  }
  if (magnitude > kCap) magnitude = kCap;
  const int64_t signed_value = negative ? -magnitude : magnitude;
  *value = signed_value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(signed_value);
  return true;
}

ClockAction decide_move(int64_t offset, int32_t skip_small_offsets, int32_t sync_threshold_ms,
                        const char* previous_offset_text) {
  if (offset == 0) return ClockAction::kNone;
  if (skip_small_offsets == 0) return ClockAction::kMove;
  const double ms = static_cast<double>(offset / kUnitsPerMs);
  if ((ms < 0 ? -ms : ms) >= static_cast<double>(sync_threshold_ms)) return ClockAction::kMove;
  if (previous_offset_text == nullptr) return ClockAction::kMove;
  // The last offset applied decides: after a large correction the clock is
  // kept in step even by small ones. A text we cannot read counts as no
  // previous offset.
  int32_t last_ms = 0;
  if (!read_leading_int(previous_offset_text, &last_ms)) return ClockAction::kMove;
  const int64_t last_size = last_ms < 0 ? -int64_t{last_ms} : int64_t{last_ms};
  return last_size >= sync_threshold_ms ? ClockAction::kMove : ClockAction::kSkip;
}

bool format_offset_text(int64_t offset, char* out, size_t out_size) {
  char text[64];
  const int n = std::snprintf(text, sizeof text, "%+.0f msec", static_cast<double>(offset / kUnitsPerMs));
  if (n < 0 || static_cast<size_t>(n) >= out_size) {
    if (out_size > 0) out[0] = '\0';
    return false;
  }
  std::memcpy(out, text, static_cast<size_t>(n) + 1);
  return true;
}

void format_changed_text(int year, int month, int day, int hour, int minute, char* out, size_t out_size) {
  std::snprintf(out, out_size, "%04d/%02d/%02d %02d:%02d", year, month, day, hour, minute);
}

// SNTP arithmetic: the request, timestamps, what a reply says about its
// server, the reply's verdict, the clock offset and whether to move the
// clock. Pure code (no windows.h): times are FILETIME counts, unsigned
// 64-bit numbers of 100-ns units since 1601-01-01 00:00 UTC.
#pragma once

#include <cstddef>
#include <cstdint>

// An SNTP message without extension fields or authenticator (RFC 4330).
constexpr size_t kNtpPacketSize = 48;
// First octet of the request: leap indicator 0, version 3, mode 3 (client).
// Every server that answers version 4 answers 3, and so do servers that know
// only 3; some public servers drop requests in versions 1 and 2.
constexpr uint8_t kRequestFirstOctet = 0x1B;
// The request's transmit timestamp is a nonce: 8 unpredictable octets, never
// all zero, that the server copies into its reply's originate timestamp
// (RFC 4330 section 5). Only a reply that echoes them answers the request.
constexpr size_t kNonceSize = 8;

constexpr int64_t kUnitsPerSecond = 10'000'000;  // 100-ns units
constexpr int64_t kUnitsPerMs = 10'000;

// A step of this size or more is taken only when a second exchange with the
// same server confirms it: one reply, a glitch or a server's mistake, must
// not move the clock by hours.
constexpr int64_t kConfirmStepFrom = 1000 * kUnitsPerSecond;
// The offsets of the two exchanges confirm each other when they differ by
// no more than this.
constexpr int64_t kConfirmAgreement = 1 * kUnitsPerSecond;

// Every further request of a check leaves at least this long after the one
// before it. The NTP reference implementation's usual rate limit
// (`restrict ... limited`) refuses a packet that comes within about half a
// second of the same client's previous one, and documents 2 s as the least
// spacing it accepts (`discard minimum`); a refused request is dropped or
// answered with the RATE kiss.
constexpr uint64_t kRequestSpacingMs = 2000;

// A server that held the request longer than this between its receive and
// transmit timestamps gives a time that cannot be trusted (chrony refuses
// such a reply too, its MAX_SERVER_INTERVAL).
constexpr int64_t kMaxServerHold = 4 * kUnitsPerSecond;

// The module's build carries the time of the commit it was built from
// (seconds since 1970). A server whose time is earlier than that, less one
// day for a committer's clock set to another time zone, has lost its time
// (RFC 8633 section 5.2): its reply never sets the clock.
constexpr int64_t kReleaseFloorMarginSeconds = 86'400;
// The earliest server time accepted, as a FILETIME, for a build made at
// `build_epoch_seconds`.
constexpr uint64_t release_floor(int64_t build_epoch_seconds) {
  constexpr int64_t kSeconds1601To1970 = 11'644'473'600;
  const int64_t seconds = build_epoch_seconds - kReleaseFloorMarginSeconds + kSeconds1601To1970;
  return seconds > 0 ? static_cast<uint64_t>(seconds) * kUnitsPerSecond : 0;
}

// The 48-byte request: its first octet, zeros, and `nonce` as the transmit
// timestamp (octets 40 to 47).
void build_request(const uint8_t nonce[kNonceSize], uint8_t out[kNtpPacketSize]);

struct NtpTimestamp {
  uint32_t seconds;   // whole seconds since the start of the era
  uint32_t fraction;  // binary fraction of a second
};

// The timestamp as a FILETIME. Seconds with the top bit set count from
// 1900-01-01 (1968 to 2036); with the top bit clear they count from
// 2036-02-07 06:28:16 UTC, the start of era 1 (RFC 4330 section 3). The
// fraction is truncated to whole 100-ns units.
uint64_t ntp_to_filetime(NtpTimestamp timestamp);

// ((T2 - T1) + (T3 - T4)) / 2 in 100-ns units, truncated toward zero:
// positive when the local clock is behind the server. T1 request sent and
// T4 reply received (local clock), T2 request received and T3 reply sent
// (server clock).
int64_t clock_offset(uint64_t t1, uint64_t t2, uint64_t t3, uint64_t t4);

// What the server says about itself in the first 16 octets of its reply.
struct ServerInfo {
  uint8_t first_octet;  // leap indicator, version, mode
  uint8_t stratum;
  int8_t poll;          // log2 seconds
  int8_t precision;     // log2 seconds
  int32_t root_delay;       // raw 16.16 fixed point, host byte order
  int32_t root_dispersion;  // likewise
  uint8_t reference_id[4];  // wire order
};

// What a datagram that came to the check's socket is to the check awaiting
// its reply. The exchange tells the first from where the datagram came; the
// reply's evaluation tells the others from its bytes.
enum class DatagramKind : uint8_t {
  kNotOurs,  // nothing to read, or a datagram from anyone but the server
  // The originate timestamp is not the request's nonce (or the datagram ends
  // before it): whoever sent it, it does not answer our request. Tested
  // before anything else, so that such a datagram says nothing at all.
  kNotAnAnswer,
  // An answer from the server that is no message: shorter than 48 bytes, or
  // longer (which Windows Sockets reports as a failed read).
  kUnreadable,
  kReply,       // the server's reply to our request: its verdict says what it is worth
  // No datagram: Windows reports that an ICMP error came back for the
  // request (port unreachable, or its time to live exceeded on the way).
  // Anyone on the path can forge one, so it ends nothing; the check waits on
  // for a genuine reply, and its time-out names the report.
  kNetworkReport,
  kReadFailed,  // no datagram: the read itself failed
};

// What the server said in its reply: whether the reply may set the clock,
// after RFC 4330 sections 5 and 8.
enum class ReplyVerdict : uint8_t {
  kNone,  // no verdict: the datagram was no reply
  kUsable,
  kNotServerMode,    // mode is not 4 (server)
  kKissOfDeath,      // stratum 0: the server refuses service (its kiss code says why)
  kStratumTooHigh,   // stratum above 15
  kUnsynchronized,   // leap indicator 3: the server's clock is not synchronised
  kNoTransmitTime,   // transmit timestamp 0
  kNoReceiveTime,    // receive timestamp 0
  kBeforeRelease,    // transmit time earlier than the module's release floor
  // The timestamps cannot all be true: the server held the request for a
  // negative time or more than kMaxServerHold, or the round trip works out
  // below zero by more than the precisions of both clocks (a server that
  // stamps arrivals and departures from two clocks, or a local clock set
  // during the exchange).
  kContradictoryTimes,
};

// The code a kiss-o'-death carries in its reference identifier (RFC 5905
// section 7.4), as far as it changes what the client does.
enum class KissCode : uint8_t {
  kOther,     // any other code, or none that is printable
  kRate,      // RATE: the client asks too often; it must ask less often
  kDeny,      // DENY: the server's policy denies this client; it must stop
  kRestrict,  // RSTR: access restricted; likewise
  kInit,      // INIT: the server has not synchronised yet
  kStep,      // STEP: the server stepped its clock and has not synchronised again
};
KissCode kiss_code_of(const uint8_t reference_id[4]);

struct ReplyEvaluation {
  DatagramKind kind;     // kNotAnAnswer, kUnreadable or kReply
  ReplyVerdict verdict;  // a reply's only (kNone otherwise)
  ServerInfo info;       // what the server said about itself (a reply's only)
  int64_t offset;        // clock offset, only for a usable reply
  uint64_t server_time;  // the transmit time (T3), for a reply that has one
  // For a reply with both of the server's times: how long the server held
  // the request (T3 - T2), and the round trip without that time
  // ((T4 - T1) - (T3 - T2)), in 100-ns units.
  int64_t server_hold;
  int64_t round_trip;
};

// Reads a datagram of `length` bytes received between `send_time` (T1) and
// `receive_time` (T4), in answer to a request whose nonce was `nonce`. A
// server time before `earliest_server_time` (the release floor) is refused.
// `local_precision` is the step of the clock that read T1 and T4, in 100-ns
// units. Bytes beyond the 48 of the message are not read; nothing but its
// kind is read from a datagram that is not an answer.
ReplyEvaluation evaluate_reply(const uint8_t* bytes, size_t length, const uint8_t nonce[kNonceSize],
                               uint64_t send_time, uint64_t receive_time, uint64_t earliest_server_time,
                               uint64_t local_precision = 0);

// Whether a step by `offset` waits for a second exchange to confirm it: its
// size is kConfirmStepFrom or more.
bool step_needs_confirmation(int64_t offset);
// Whether the offsets of the first and the confirming exchange agree within
// kConfirmAgreement.
bool offsets_agree(int64_t first, int64_t second);

enum class ClockAction : uint8_t {
  kNone,  // the clocks agree to the 100-ns unit
  kSkip,  // below the item's threshold: leave the clock alone
  kMove,
};

// Whether the offset in whole milliseconds (truncated toward zero) is at
// least `threshold_ms` in size.
bool offset_reaches(int64_t offset, int32_t threshold_ms);

// Whether to move the clock by `offset`. It is moved when any of these
// holds, tested in order: skipping small offsets is off; the offset in whole
// milliseconds is at least the threshold in size; there is no previous
// offset text; the previous text does not start with an integer; the
// integer it starts with (the last applied offset) is at least the
// threshold in size.
ClockAction decide_move(int64_t offset, int32_t skip_small_offsets, int32_t sync_threshold_ms,
                        const char* previous_offset_text);

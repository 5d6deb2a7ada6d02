#include "check/exchange.h"

#include <windows.h>
#include <wincrypt.h>
#include <winsock.h>

#include "check/address_cache.h"
#include "check/clock.h"
#include "check/ntp.h"
#include "check/probe_state.h"
#include "check/reply_texts.h"
#include "check/server_info_string.h"
#include "plugin/error_and_status.h"
#include "plugin/global_text.h"
#include "source_date.h"

namespace {

// Room for the longest text a reply can leave in the item.
constexpr size_t kReasonSize = 512;

// No server time before the module's own release is believed.
constexpr uint64_t kEarliestServerTime = release_floor(SNTP_SOURCE_DATE_EPOCH);

FILETIME to_filetime(uint64_t t) {
  return FILETIME{static_cast<DWORD>(t & 0xFFFFFFFFu), static_cast<DWORD>(t >> 32)};
}

static_assert(sizeof(ProbeState::request_nonce) == kNonceSize);

bool from_server(const ProbeState* probe, const sockaddr_in& from, int from_length) {
  return from_length >= static_cast<int>(sizeof from) && from.sin_family == AF_INET &&
         from.sin_addr.s_addr == probe->server_addr && from.sin_port == probe->server_port;
}

void report_unusable_reply(CheckItem* item, const ReplyEvaluation& evaluation, int length) {
  char text[kReasonSize];
  format_reply_problem(evaluation, static_cast<size_t>(length), text, sizeof text);
  set_item_error_text(item, text);
}

// The local calendar time of a FILETIME count, by the time-zone rules for
// that date (daylight saving included), not by the bias in force now.
CalendarTime local_calendar_time(uint64_t t) {
  const FILETIME utc{static_cast<DWORD>(t & 0xFFFFFFFFu), static_cast<DWORD>(t >> 32)};
  SYSTEMTIME utc_time{}, local{};
  if (!FileTimeToSystemTime(&utc, &utc_time) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc_time, &local)) {
    return utc_calendar_time(t);
  }
  return CalendarTime{local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond};
}

// The back-off is timed on the monotonic counter; the text names the local
// time its end falls on by the system clock now.
void report_backoff(CheckItem* item, const Backoff& backoff, uint64_t now) {
  const uint64_t until = system_time_now() + (backoff.until - now) * kUnitsPerMs;
  char text[kReasonSize];
  format_backoff_text(backoff.code, local_calendar_time(until), text, sizeof text);
  set_item_error_text(item, text);
}

// RFC 5905 section 7.4: a RATE, DENY or RSTR kiss from the server starts its
// back-off, and the text says until when; any other refusal just says why.
// A usable reply to a request that left after the kiss ends the back-off.
void hear_verdict(CheckItem* item, const ReplyEvaluation& reply, int length) {
  const ProbeState* probe = item->probe;
  if (reply.verdict == ReplyVerdict::kUsable) {
    server_backoff_clear(probe->server_addr, probe->server_port, probe->request_sent_at);
    return;
  }
  const KissCode code = kiss_code_of(reply.info.reference_id);
  if (reply.verdict == ReplyVerdict::kKissOfDeath && kiss_code_backs_off(code)) {
    const uint64_t now = monotonic_ms();
    report_backoff(item, server_backoff_note(probe->server_addr, probe->server_port, code, reply.info.poll, now),
                   now);
    return;
  }
  report_unusable_reply(item, reply, length);
}

// A fixed block of `size` bytes holding `text` (which fits), or null.
char* text_block(const char* text, size_t size) {
  char* block = alloc_text(size);
  if (block != nullptr) lstrcpynA(block, text, static_cast<int>(size));
  return block;
}

char* local_time_text() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char text[kChangedTextSize];
  format_changed_text(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, text, sizeof text);
  return text_block(text, kChangedTextSize);
}

// Fills `out` from the system's cryptographic random generator. RtlGenRandom
// (advapi32's SystemFunction036, Windows XP and later) needs no provider
// context, which takes milliseconds to acquire; Windows 2000 has only
// CryptGenRandom, with a verify-only context acquired for the draw. Looked
// up at each draw (once per check), so the module still loads on Windows
// 2000 and keeps no provider between checks.
bool fill_random(uint8_t* out, DWORD length) {
  using GenRandom = BOOLEAN(WINAPI*)(PVOID, ULONG);
  HMODULE advapi = GetModuleHandleA("advapi32.dll");
  FARPROC rtl = advapi != nullptr ? GetProcAddress(advapi, "SystemFunction036") : nullptr;
  if (rtl != nullptr) return reinterpret_cast<GenRandom>(reinterpret_cast<void*>(rtl))(out, length) != FALSE;
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return false;
  const bool drawn = CryptGenRandom(provider, length, out) != FALSE;
  CryptReleaseContext(provider, 0);
  return drawn;
}

}  // namespace

bool draw_request_nonce(CheckItem* item) {
  uint8_t* nonce = item->probe->request_nonce;
  if (!fill_random(nonce, kNonceSize)) {
    ZeroMemory(nonce, kNonceSize);  // no answer can match a zero nonce
    set_item_error_text(item, kNoRandomNumberText);
    return false;
  }
  // All zero would be the "no request" timestamp: one chance in 2^64, and
  // one bit set keeps the other 63 unpredictable.
  uint8_t any = 0;
  for (size_t i = 0; i < kNonceSize; ++i) any |= nonce[i];
  if (any == 0) nonce[kNonceSize - 1] = 1;
  return true;
}

bool send_request(CheckItem* item, uint32_t address, uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  item->probe->server_addr = address;
  item->probe->server_port = to.sin_port;
  uint8_t request[kNtpPacketSize];
  build_request(item->probe->request_nonce, request);
  if (sendto(item->socket, reinterpret_cast<const char*>(request), static_cast<int>(kNtpPacketSize), 0,
             reinterpret_cast<const sockaddr*>(&to), sizeof to) == SOCKET_ERROR) {
    set_item_error(item, WSAGetLastError());
    return false;
  }
  return true;
}

// Notifications are only hints: one may come with nothing to read (say,
// queued for a closed socket whose handle a new check now uses), and anyone
// can send a datagram to our port, forging the server's address as well.
// Only the server's own datagram that echoes the request's nonce is the
// reply; others are read and dropped without a trace, so that they can
// neither set the clock nor end the check nor leave a text behind.
ReplyOutcome read_reply(HWND window, CheckItem* item) {
  ProbeState* probe = item->probe;
  uint8_t bytes[kNtpPacketSize] = {};
  sockaddr_in from{};
  int from_length = sizeof from;
  const int length = recvfrom(item->socket, reinterpret_cast<char*>(bytes), static_cast<int>(kNtpPacketSize), 0,
                              reinterpret_cast<sockaddr*>(&from), &from_length);
  const int error = length == SOCKET_ERROR ? WSAGetLastError() : 0;
  if (error == WSAEWOULDBLOCK) return {DatagramKind::kNotOurs, {}, {}, 0};
  // Windows' reports of an ICMP error for the request, its port unreachable
  // (10054) or its time to live exceeded on the way (10052): anyone on the
  // path can forge one, so it neither ends the check nor leaves a text.
  if (error == WSAECONNRESET || error == WSAENETRESET) return {DatagramKind::kNetworkReport, {}, {}, error};
  // A datagram longer than a message is reported as an error, but it still
  // names its sender and its first 48 bytes are read; any other error
  // leaves no datagram.
  if (error != 0 && error != WSAEMSGSIZE) {
    set_item_error(item, error);
    return {DatagramKind::kReadFailed, {}, {}, 0};
  }
  if (!from_server(probe, from, from_length)) return {DatagramKind::kNotOurs, {}, {}, 0};
  const uint64_t receive_time = system_time_now();
  const ReplyEvaluation reply =
      evaluate_reply(bytes, error == 0 ? static_cast<size_t>(length) : kNtpPacketSize, probe->request_nonce,
                     probe->send_time, receive_time, kEarliestServerTime, system_clock_step());
  if (reply.kind == DatagramKind::kNotAnAnswer) return {reply.kind, reply.verdict, {}, 0};
  show_status(window, "%s", kStatusReceiving);
  if (error != 0) {
    set_item_error(item, error);
    return {DatagramKind::kUnreadable, ReplyVerdict::kNone, {}, 0};
  }
  probe->receive_time = receive_time;
  if (reply.kind == DatagramKind::kUnreadable) {  // too short: nothing is written but the reason
    report_unusable_reply(item, reply, length);
    return {reply.kind, reply.verdict, {}, 0};
  }
  write_server_info(item, reply.info);
  hear_verdict(item, reply, length);
  return {reply.kind, reply.verdict, {reply.offset, reply.round_trip}, 0};
}

bool server_backed_off(CheckItem* item, uint32_t address) {
  const uint64_t now = monotonic_ms();
  Backoff backoff;
  if (!server_backoff_holds(address, htons(item->probe->options.port), now, &backoff)) return false;
  report_backoff(item, backoff, now);
  return true;
}

void report_unconfirmed_step(CheckItem* item, int64_t first, int64_t second) {
  char text[kReasonSize];
  format_unconfirmed_step(first, second, text, sizeof text);
  set_item_error_text(item, text);
}

void write_server_info(CheckItem* item, const ServerInfo& info) {
  char* text = alloc_text(kServerInfoStringSize);
  if (text != nullptr) format_server_info(info, text, kServerInfoStringSize);
  replace_text(&item->server_info, text);
}

CheckResult apply_offset(CheckItem* item, int64_t offset) {
  const ItemOptions& options = item->probe->options;
  const bool measure_only = options.measure_only != 0;
  if (!measure_only && decide_move(offset, options.skip_small_offsets, options.sync_threshold_ms,
                                   item->offset_text) != ClockAction::kMove) {
    return CHECK_OK_QUIET;
  }
  char offset_text[kOffsetTextSize];
  if (!format_offset_text(offset, offset_text, sizeof offset_text)) {
    // Centuries apart: a clock that far off is not ours to move blindly.
    set_item_error_text(item, kOffsetTooLargeText);
    return CHECK_FAILED;
  }
  if (measure_only) {
    // The clock is never set: every usable reply writes the offset it
    // measured, and the host announces one whose size reaches the threshold.
    replace_text(&item->offset_text, text_block(offset_text, kOffsetTextSize));
    return offset_reaches(offset, options.sync_threshold_ms) ? CHECK_CHANGED : CHECK_OK_QUIET;
  }
  if (!adjust_clock(offset)) {
    set_item_error(item, static_cast<int>(GetLastError()));
    return CHECK_FAILED;
  }
  replace_text(&item->changed_text, local_time_text());
  replace_text(&item->offset_text, text_block(offset_text, kOffsetTextSize));
  return options.quiet_update ? CHECK_OK_QUIET : CHECK_CHANGED;
}

bool adjust_clock(int64_t offset) {
  // FileTimeToSystemTime drops what is below a millisecond: the new time is
  // rounded to the nearest one, so that a step lands as near as it can.
  const uint64_t target = system_time_now() + static_cast<uint64_t>(offset) + kUnitsPerMs / 2;
  const FILETIME utc = to_filetime(target);
  SYSTEMTIME utc_time, local_time;
  // SetLocalTime converts with the daylight-saving setting in force when it
  // is called, which setting the time has just made the new time's. So the
  // local time it is given is that of the new instant by the rules for its
  // own date (which SystemTimeToTzSpecificLocalTime applies, whatever the
  // clock says now). Both times are ready before either is set: a conversion
  // that fails leaves the clock as it was.
  if (!FileTimeToSystemTime(&utc, &utc_time)) return false;
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc_time, &local_time)) return false;
  if (!SetSystemTime(&utc_time)) return false;
  if (!SetLocalTime(&local_time)) return false;
  PostMessageA(HWND_BROADCAST, WM_TIMECHANGE, 0, 0);
  return true;
}

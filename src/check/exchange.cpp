#include "check/exchange.h"

#include <windows.h>
#include <winsock.h>

#include "check/ntp.h"
#include "check/reply_texts.h"
#include "plugin/global_text.h"
#include "plugin/report.h"
#include "settings/settings.h"

namespace {

uint64_t from_filetime(const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

FILETIME to_filetime(uint64_t t) {
  return FILETIME{static_cast<DWORD>(t & 0xFFFFFFFFu), static_cast<DWORD>(t >> 32)};
}

enum class Datagram { kReply, kNotOurs, kFailed };

bool from_server(const ProbeState* probe, const sockaddr_in& from, int from_length) {
  return from_length >= static_cast<int>(sizeof from) && from.sin_family == AF_INET &&
         from.sin_addr.s_addr == probe->server_addr && from.sin_port == probe->server_port;
}

// Reads one datagram of at most 48 bytes. Notifications are only hints: one
// may come with nothing to read (say, queued for a closed socket whose
// handle a new check now uses), and anyone can send a datagram to our port.
// Only the server's own datagram is the reply; others are read and dropped
// so that they can neither set the clock nor end the check.
Datagram receive_reply(CheckItem* item, uint8_t* bytes, int* length) {
  sockaddr_in from{};
  int from_length = sizeof from;
  const int n = recvfrom(item->socket, reinterpret_cast<char*>(bytes), static_cast<int>(kNtpPacketSize), 0,
                         reinterpret_cast<sockaddr*>(&from), &from_length);
  if (n == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return Datagram::kNotOurs;
    // A datagram longer than a message still names its sender.
    if (error == WSAEMSGSIZE && !from_server(item->probe, from, from_length)) return Datagram::kNotOurs;
    set_item_error(item, error);
    return Datagram::kFailed;
  }
  if (!from_server(item->probe, from, from_length)) return Datagram::kNotOurs;
  *length = n;
  return Datagram::kReply;
}

void report_unusable_reply(CheckItem* item, const ReplyEvaluation& evaluation, int length) {
  char text[256];
  format_reply_problem(evaluation, static_cast<size_t>(length), text, sizeof text);
  set_item_error_text(item, text);
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

}  // namespace

uint64_t system_time_now() {
  // Looked up at each use (a few times per check) so the module still loads
  // on systems without the precise clock.
  using PreciseClock = VOID(WINAPI*)(LPFILETIME);
  FILETIME now;
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  FARPROC precise = kernel != nullptr ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
  if (precise != nullptr) {
    reinterpret_cast<PreciseClock>(reinterpret_cast<void*>(precise))(&now);
  } else {
    GetSystemTimeAsFileTime(&now);
  }
  return from_filetime(now);
}

bool send_request(CheckItem* item, uint32_t address, uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  item->probe->server_addr = address;
  item->probe->server_port = to.sin_port;
  uint8_t request[kNtpPacketSize];
  build_request(request);
  if (sendto(item->socket, reinterpret_cast<const char*>(request), static_cast<int>(kNtpPacketSize), 0,
             reinterpret_cast<const sockaddr*>(&to), sizeof to) == SOCKET_ERROR) {
    set_item_error(item, WSAGetLastError());
    return false;
  }
  return true;
}

ReplyOutcome read_reply(CheckItem* item) {
  ProbeState* probe = item->probe;
  uint8_t bytes[kNtpPacketSize];
  int length = 0;
  switch (receive_reply(item, bytes, &length)) {
    case Datagram::kNotOurs:
      return {ReplyKind::kNotOurs, 0};
    case Datagram::kFailed:
      return {ReplyKind::kFailedRead, 0};
    case Datagram::kReply:
      break;
  }
  probe->receive_time = system_time_now();
  const ReplyEvaluation reply = evaluate_reply(bytes, static_cast<size_t>(length), probe->send_time,
                                               probe->receive_time);
  if (reply.verdict == ReplyVerdict::kTooShort) {  // a failed read: nothing is written but the reason
    report_unusable_reply(item, reply, length);
    return {ReplyKind::kFailedRead, 0};
  }
  write_server_info(item, reply.info);
  if (reply.verdict != ReplyVerdict::kUsable) {
    report_unusable_reply(item, reply, length);
    return {ReplyKind::kUnusable, 0};
  }
  return {ReplyKind::kUsable, reply.offset};
}

CheckResult apply_offset(CheckItem* item, int64_t offset) {
  const ItemOptions& options = item->probe->options;
  if (decide_move(offset, options.skip_small_offsets, options.sync_threshold_ms, item->offset_text) !=
      ClockAction::kMove) {
    return CHECK_OK_QUIET;
  }
  char offset_text[kOffsetTextSize];
  if (!format_offset_text(offset, offset_text, sizeof offset_text)) {
    // Centuries apart: a clock that far off is not ours to move blindly.
    set_item_error_text(item, kOffsetTooLargeText);
    return CHECK_FAILED;
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
  const FILETIME utc = to_filetime(system_time_now() + static_cast<uint64_t>(offset));
  FILETIME local;
  SYSTEMTIME utc_time, local_time;
  if (!FileTimeToSystemTime(&utc, &utc_time) || !FileTimeToLocalFileTime(&utc, &local) ||
      !FileTimeToSystemTime(&local, &local_time)) {
    return false;
  }
  if (!SetSystemTime(&utc_time)) return false;
  if (!SetLocalTime(&local_time)) return false;
  PostMessageA(HWND_BROADCAST, WM_TIMECHANGE, 0, 0);
  return true;
}

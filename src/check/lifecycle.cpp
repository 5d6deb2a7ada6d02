// The item operations the host calls to run one check: start, lookup done,
// socket event, timer tick, and the end that releases everything. A check
// never blocks; it continues in whichever of these the host calls next.
//
// This file owns the check's phase (ProbeState::phase): it alone moves a
// check from starting through looking up and awaiting the reply to over, and
// it alone ends a check with MSG_CHECK_END. A start begins a new check in
// any phase and the end releases one in any phase; the lookup completion,
// the socket event and the tick each begin with one guard that reads it.
#include <windows.h>
#include <winsock.h>

#include "check/address_cache.h"
#include "check/clock.h"
#include "check/exchange.h"
#include "check/probe_state.h"
#include "check/reply_texts.h"
#include "plugin/error_and_status.h"
#include "plugin/exports.h"
#include "resource.h"
#include "settings/item_settings.h"

namespace {

// The third tick without a sign of life ends the check.
constexpr int32_t kTimeoutTicks = 3;
// What the host reads in tick_count once a check has timed out or its lookup
// could not start. Only the host reads it: the lifecycle goes by the phase,
// which is over by then.
constexpr int32_t kNotCounting = -1;

// Where the item's check stands; without a working record it runs none.
CheckPhase phase_of(const CheckItem* item) {
  return item->probe != nullptr ? item->probe->phase : CheckPhase::kIdle;
}

// Marks the check over, so that nothing more happens for it, and sends
// MSG_CHECK_END with `result`. The host may end the check inside its
// handler, so this is the caller's last act on the item.
void end_check(HWND window, CheckItem* item, CheckResult result) {
  if (item->probe != nullptr) item->probe->phase = CheckPhase::kOver;
  SendMessageA(window, MSG_CHECK_END, result, reinterpret_cast<LPARAM>(item));
}

// The check's last status line and MSG_CHECK_END, once its reply is handled.
int finish_check(HWND window, CheckItem* item, CheckResult result) {
  show_status(window, "%s", kStatusDone);
  end_check(window, item, result);
  return kOpCheckOver;
}

// An operation fails with -1, its cause already in error_text. The check
// stays where it was (a reply may still end a check that awaits one), but
// its time-out keeps that cause: a host that goes on ticking must not read
// "no answer" where a lookup or a send failed.
int fail(CheckItem* item) {
  if (item->probe != nullptr) item->probe->failure_shown = item->probe->failure_written = 1;
  return kOpFailed;
}

void cancel_lookup(CheckItem* item) {
  if (item->lookup_handle == 0) return;
  WSACancelAsyncRequest(reinterpret_cast<HANDLE>(item->lookup_handle));
  item->lookup_handle = 0;
}

void close_check_socket(CheckItem* item) {
  if (item->socket == kNoSocket) return;
  closesocket(static_cast<SOCKET>(item->socket));
  item->socket = kNoSocket;
}

// The server's address without a lookup: from its dotted form, or from an
// earlier lookup of the same name (which the record notes); INADDR_NONE when
// neither has it.
uint32_t known_address(ProbeState* probe) {
  uint32_t address = inet_addr(probe->server_name);
  probe->address_cached = 0;
  if (address == INADDR_NONE) {
    address = address_cache_lookup(probe->server_name);
    probe->address_cached = address != INADDR_NONE;
  }
  return address;
}

// Names such as a pool's stand for servers that come and go: when an
// address of the cache gets no usable answer (none at all, or a refusal),
// or cannot be sent to, the cache forgets it and the next check looks the
// name up again, whether this check took the address from the cache or its
// own lookup has just added it.
void forget_cached_address(const ProbeState* probe) {
  if (probe->address_cached) address_cache_forget(probe->server_name, probe->server_addr);
}

bool request_read_notifications(HWND window, CheckItem* item) {
  if (WSAAsyncSelect(static_cast<SOCKET>(item->socket), window, MSG_SOCKET_EVENT, FD_READ) == SOCKET_ERROR) {
    set_item_error(item, WSAGetLastError());
    return false;
  }
  return true;
}

// The send time is read just before the request goes out and kept once it
// has. Read after sendto returns it can fall after the server's receive time
// (on loopback the call may take longer than the trip), which biases the
// offset and lets its error exceed half the round-trip delay, the limit that
// holds while T1 precedes the server's T2. Only a request that went out
// makes the check await a reply: a datagram that comes when the send failed
// has nothing to be measured against. A request that went out supersedes a
// failure shown before it: the check's end tells of this request.
// The nonce is drawn before the send time is read, so that drawing it adds
// nothing to the measured round trip.
bool send_and_note_time(CheckItem* item, uint32_t address) {
  ProbeState* probe = item->probe;
  if (!draw_request_nonce(item)) return false;
  const uint64_t send_time = system_time_now();
  const uint64_t sent_at = monotonic_ms();
  if (!send_request(item, address, probe->options.port)) {
    forget_cached_address(probe);
    return false;
  }
  probe->send_time = send_time;
  probe->request_sent_at = sent_at;
  ++probe->requests_sent;
  probe->failure_shown = 0;
  probe->phase = CheckPhase::kAwaitingReply;
  return true;
}

// A sample was taken and the check will ask the server again: no request
// leaves until kRequestSpacingMs after the last one (a server that limits
// its clients' rate would refuse it), and SNTP_Timer sends it on the first
// tick after that. Meanwhile the nonce is zero, which no datagram answers.
void wait_to_ask_again(ProbeState* probe, AskReason why) {
  ZeroMemory(probe->request_nonce, sizeof probe->request_nonce);
  probe->asking_why = why;
  probe->phase = CheckPhase::kWaitingToAsk;
}

// The status line of a request the check sends again: why it asks.
const char* asking_again_status(AskReason why) {
  switch (why) {
    case AskReason::kLateReply:
      return kStatusAskingAgainLate;
    case AskReason::kNearThreshold:
      return kStatusAskingAgainNearThreshold;
    case AskReason::kNone:
    case AskReason::kConfirmBigStep:
      break;
  }
  return kStatusSending;
}

// Sends the request the check waits to send, once the spacing allows it,
// and returns what the tick returns: 0 while the check waits or once the
// request is out, 2 when it could not go out and the check ended as failed,
// its cause in error_text.
int ask_again_when_spaced(HWND window, CheckItem* item) {
  ProbeState* probe = item->probe;
  if (monotonic_ms() - probe->request_sent_at < kRequestSpacingMs) return kOpNoFailure;
  show_status(window, "%s", asking_again_status(probe->asking_why));
  item->tick_count = 0;  // the time-out counts from this request
  if (send_and_note_time(item, probe->server_addr)) return kOpNoFailure;
  return finish_check(window, item, CHECK_FAILED);
}

// RFC 5905 section 7.4: a server that asked to be left alone gets no
// request until its back-off ends; the check fails at once and says until
// when. The address is not remembered for the name, so that the next check
// may find another server behind it.
bool refuse_backed_off(HWND window, CheckItem* item, uint32_t address) {
  if (!server_backed_off(item, address)) return false;
  forget_cached_address(item->probe);
  finish_check(window, item, CHECK_FAILED);
  return true;
}

// A reply the server gave. One that refuses (a kiss code, an unsynchronised
// or misbehaving server, a time from before the module's release) ends the
// check as failed and makes the cache forget the address. A usable one is a
// sample, and next_step says what follows it: decide on a sample (move the
// clock as the item's options say), ask again, or fail a big step that the
// samples do not confirm.
int handle_reply(HWND window, CheckItem* item, const ReplyOutcome& reply) {
  ProbeState* probe = item->probe;
  if (reply.verdict != ReplyVerdict::kUsable) {
    forget_cached_address(probe);
    return finish_check(window, item, CHECK_FAILED);
  }
  const uint64_t now = monotonic_ms();
  probe->samples[probe->sample_count++] = reply.sample;
  const NextStep step =
      next_step(probe->samples, probe->sample_count, probe->options, item->offset_text,
                server_usual_round_trip(probe->server_addr, probe->server_port, now));
  server_round_trip_note(probe->server_addr, probe->server_port, reply.sample.round_trip, now, false);
  switch (step.kind) {
    case StepKind::kAskAgain:
      wait_to_ask_again(probe, step.why);
      return kOpNoFailure;
    case StepKind::kFail:
      report_unconfirmed_step(item, probe->samples[step.sample].offset, probe->samples[step.other].offset);
      forget_cached_address(probe);
      return finish_check(window, item, CHECK_FAILED);
    case StepKind::kDecide:
      break;
  }
  const Sample& decided = probe->samples[step.sample];
  if (step.usual_outdated) {
    server_round_trip_note(probe->server_addr, probe->server_port, decided.round_trip, now, true);
  }
  if (probe->failure_written) set_item_error(item, 0);  // apply_offset writes its own failure
  return finish_check(window, item, apply_offset(item, decided.offset));
}

int start_lookup(HWND window, CheckItem* item) {
  ProbeState* probe = item->probe;
  probe->phase = CheckPhase::kLookingUp;
  show_status(window, "%s", kStatusLookingUp);
  ZeroMemory(probe->lookup_buffer, sizeof probe->lookup_buffer);
  HANDLE lookup = WSAAsyncGetHostByName(window, MSG_GETHOST_DONE, probe->server_name,
                                        reinterpret_cast<char*>(probe->lookup_buffer), sizeof probe->lookup_buffer);
  item->lookup_handle = reinterpret_cast<uintptr_t>(lookup);
  if (lookup != nullptr) return kOpNoFailure;  // the check goes on in SNTP_Gethost
  item->tick_count = kNotCounting;
  set_item_error(item, WSAGetLastError());
  end_check(window, item, CHECK_FAILED);
  return kOpFailed;
}

// The first address of the host entry a lookup wrote, or INADDR_NONE when
// the entry lists none.
uint32_t first_address(const ProbeState* probe) {
  const auto* entry = reinterpret_cast<const hostent*>(probe->lookup_buffer);
  if (entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr || entry->h_length != 4) return INADDR_NONE;
  uint32_t address;
  CopyMemory(&address, entry->h_addr_list[0], sizeof address);
  return address;
}

}  // namespace

extern "C" int WINAPI SNTP_Initialize(HWND, CheckItem* item) {
  if (item == nullptr) return kOpNoFailure;
  set_item_error(item, 0);
  item->tick_count = 0;
  item->reserved_counter = 0;
  return kOpNoFailure;
}

// Removes the "*" the host appends to a text it has announced.
static void remove_mark(char* text) {
  if (text == nullptr) return;
  const int length = lstrlenA(text);
  if (length > 0 && text[length - 1] == '*') text[length - 1] = '\0';
}

extern "C" int WINAPI SNTP_InitItem(HWND, CheckItem* item) {
  if (item == nullptr) return kOpNoFailure;
  set_item_error(item, 0);
  if ((item->flags & kKeepMarks) == 0) {
    remove_mark(item->offset_text);
    remove_mark(item->changed_text);
  }
  return kOpNoFailure;
}

extern "C" int WINAPI SNTP_Start(HWND window, CheckItem* item) {
  if (item == nullptr) return kOpFailed;
  // Whatever the phase, a start begins a new check. A record the host did not
  // release is taken as it is (its settings are not loaded again); its
  // time-out counts from here (a count left at -1 by an earlier time-out
  // would never end it), the earlier lookup is abandoned so that its
  // completion cannot pass for this check's, and a socket left over would
  // otherwise leak.
  ProbeState* probe = item->probe;
  if (probe == nullptr) {
    probe = new_probe_state();
    if (probe == nullptr) return kOpFailed;
    item->probe = probe;
    load_settings(item, probe->server_name, sizeof probe->server_name, &probe->options);
  }
  probe->phase = CheckPhase::kStarting;
  probe->non_answers_ignored = 0;
  probe->network_report = 0;
  probe->failure_shown = 0;
  probe->failure_written = 0;
  probe->requests_sent = 0;
  probe->sample_count = 0;
  probe->asking_why = AskReason::kNone;
  item->tick_count = 0;
  cancel_lookup(item);
  close_check_socket(item);
  // "sntp://" alone names no server: looked up, "" would be this machine.
  if (probe->server_name[0] == '\0') {
    set_item_error_text(item, kNoServerNameText);
    return fail(item);
  }
  item->socket = socket(AF_INET, SOCK_DGRAM, 0);
  if (item->socket == kNoSocket) {
    set_item_error(item, WSAGetLastError());
    return fail(item);
  }
  const uint32_t address = known_address(probe);
  if (address == INADDR_NONE) return start_lookup(window, item);
  probe->server_addr = address;
  if (refuse_backed_off(window, item, address)) return kOpFailed;
  if (!request_read_notifications(window, item)) return fail(item);
  show_status(window, "%s", kStatusSending);
  if (!send_and_note_time(item, address)) return fail(item);
  return kOpNoFailure;
}

extern "C" int WINAPI SNTP_Gethost(HWND window, WPARAM wparam, LPARAM lparam, CheckItem* item) {
  if (item == nullptr) return kOpFailed;
  const CheckPhase phase = phase_of(item);
  // The message's wParam is the handle of the lookup it completes. One that
  // is not the pending lookup's belongs to a lookup this check abandoned (a
  // start over a pending lookup cancels it, and its message may already be
  // queued): it says nothing about the pending one, whose entry is not
  // written yet.
  if (item->lookup_handle != 0 && static_cast<uintptr_t>(wparam) != item->lookup_handle) return kOpNoFailure;
  // A lookup that completes after the check is over (timed out, say) sends
  // nothing. One that completes after the host released the check (no
  // record, no socket, no lookup) was queued before the release: it is
  // stale and ends nothing a second time.
  if (phase == CheckPhase::kOver) {
    item->lookup_handle = 0;
    return kOpNoFailure;
  }
  if (phase == CheckPhase::kIdle && item->socket == kNoSocket && item->lookup_handle == 0) return kOpNoFailure;
  if (item->lookup_handle == 0) {
    // Windows Sockets' last error belongs to whatever call came before, most
    // often 0, which would clear the text of a failed check: say what went
    // wrong instead.
    set_item_error_text(item, kNoLookupPendingText);
    end_check(window, item, CHECK_FAILED);
    return kOpFailed;
  }
  item->lookup_handle = 0;
  if (phase == CheckPhase::kIdle) return kOpFailed;
  ProbeState* probe = item->probe;
  if (WSAGETASYNCERROR(lparam) != 0) {
    set_item_error(item, WSAGETASYNCERROR(lparam));
    return fail(item);
  }
  const uint32_t address = first_address(probe);
  if (address == INADDR_NONE) {
    set_item_error(item, WSANO_DATA);
    return fail(item);
  }
  item->tick_count = 0;
  probe->server_addr = address;
  if (refuse_backed_off(window, item, address)) return kOpFailed;
  address_cache_add(probe->server_name, address);
  probe->address_cached = 1;
  if (!request_read_notifications(window, item)) return fail(item);
  if (!send_and_note_time(item, address)) return fail(item);
  return kOpNoFailure;
}

extern "C" int WINAPI SNTP_Select(HWND window, WPARAM, LPARAM lparam, CheckItem* item) {
  if (item == nullptr) return kOpFailed;
  switch (phase_of(item)) {
    case CheckPhase::kIdle:
      // A check the host released (no record, no socket) may still have a
      // notification queued: it is stale and ends nothing a second time. A
      // socket without a record is no check of ours; the host is told so.
      if (item->socket == kNoSocket) return kOpNoFailure;
      end_check(window, item, CHECK_FAILED);
      return kOpFailed;
    case CheckPhase::kStarting:
    case CheckPhase::kLookingUp:
    case CheckPhase::kOver:
      // Before the request is out there is no reply to read: a notification
      // then was queued for an earlier socket, or comes although the send
      // failed. A late or duplicated datagram after the check ended changes
      // nothing either.
      return kOpNoFailure;
    case CheckPhase::kAwaitingReply:
    case CheckPhase::kWaitingToAsk:  // no datagram answers then; read and dropped
      break;
  }
  if (WSAGETSELECTERROR(lparam) != 0) {
    set_item_error(item, WSAGETSELECTERROR(lparam));
    return fail(item);
  }
  // Only reads were asked for: any other event is a stray notification, no
  // failure of the check and no sign of life; the check keeps waiting.
  if (WSAGETSELECTEVENT(lparam) != FD_READ) return kOpNoFailure;
  const int32_t ticks = item->tick_count;
  item->tick_count = 0;
  const ReplyOutcome reply = read_reply(window, item);
  switch (reply.kind) {
    case DatagramKind::kNotOurs:
    case DatagramKind::kNotAnAnswer:
    case DatagramKind::kNetworkReport:
      // Nothing for this check (a stranger's datagram, or no datagram) is no
      // sign of life: the time-out still ends a check the server never
      // answers. It says what came instead: datagrams that did not answer
      // the request (forged, from a server that does not echo it, or the
      // first reply again while the check asks again), or an ICMP report,
      // after which the check waits on for a genuine reply, as chrony and
      // ntpd do.
      if (reply.kind == DatagramKind::kNotAnAnswer) item->probe->non_answers_ignored = 1;
      if (reply.kind == DatagramKind::kNetworkReport) item->probe->network_report = reply.report;
      item->tick_count = ticks;
      return kOpNoFailure;
    case DatagramKind::kUnreadable:
      // An answer from the server that is no message: the address it came
      // from is forgotten, as after any reply that cannot be used.
      forget_cached_address(item->probe);
      [[fallthrough]];
    case DatagramKind::kReadFailed:
      // No sign of life either, so that a host that ticks on still ends a
      // check that only ever fails to read; until then the check keeps
      // waiting, since the server's proper reply may still come.
      item->tick_count = ticks;
      return fail(item);
    case DatagramKind::kReply:
      return handle_reply(window, item, reply);
  }
  return kOpFailed;
}

extern "C" int WINAPI SNTP_Timer(HWND window, CheckItem* item) {
  if (item == nullptr) return kOpNoFailure;
  // Only a running check can time out: ticks for an item that never started
  // one, has released it, or has ended it do nothing.
  const CheckPhase phase = phase_of(item);
  if (phase == CheckPhase::kIdle || phase == CheckPhase::kOver) return kOpNoFailure;
  // A check that waits to ask again is waiting on its own: its ticks are no
  // ticks without a sign of life. The request goes on the first tick the
  // spacing allows, and a failure to send it ends the check.
  if (phase == CheckPhase::kWaitingToAsk) return ask_again_when_spaced(window, item);
  if (++item->tick_count < kTimeoutTicks) return kOpNoFailure;
  item->tick_count = kNotCounting;
  const ProbeState* probe = item->probe;
  // Only a request that went out was unanswered at its address; a failed
  // send has already made the cache forget the address it could not reach.
  if (phase == CheckPhase::kAwaitingReply) forget_cached_address(probe);
  // A failure that returned -1 keeps its own text: the check ends as failed.
  if (probe->failure_shown) {
    end_check(window, item, CHECK_FAILED);
    return kOpCheckOver;
  }
  // What the check saw says best why no reply came.
  if (phase == CheckPhase::kAwaitingReply && probe->requests_sent > 1) {
    set_item_error_string(item, probe->asking_why == AskReason::kConfirmBigStep ? IDS_CONFIRMATION_UNANSWERED
                                                                                 : IDS_RECHECK_UNANSWERED);
  } else if (probe->network_report == WSAECONNRESET) {
    set_item_error_string(item, IDS_PORT_UNREACHABLE);
  } else if (probe->network_report == WSAENETRESET) {
    set_item_error_string(item, IDS_TIME_EXCEEDED);
  } else if (probe->non_answers_ignored) {
    set_item_error_string(item, IDS_ONLY_NON_ANSWERS);
  } else {
    set_item_error(item, WSAETIMEDOUT);
  }
  end_check(window, item, CHECK_TIMEOUT);
  return kOpCheckOver;
}

// Also exported as SNTP_Cancel: ending and abandoning a check are one operation.
extern "C" int WINAPI SNTP_ItemCheckEnd(HWND window, CheckItem* item) {
  if (item == nullptr) return kOpNoFailure;
  if (item->probe != nullptr) {  // a check in any phase, over or not
    if (item->socket != kNoSocket) WSAAsyncSelect(static_cast<SOCKET>(item->socket), window, 0, 0);
    cancel_lookup(item);
    free_probe_state(item->probe);
    item->probe = nullptr;
  }
  close_check_socket(item);
  return kOpNoFailure;
}

// The ProbeState: the working record of one running check, owned by the
// check (a running check reaches it through its item's `probe` field), and
// the working copy of an open property sheet, which makes one of its own and
// never hangs it on the item. Allocated zero-filled from the global heap.
//
// Who writes which field:
//   server_name, options  the settings loader, for the check at its first
//                         start and for the sheet when it opens; the sheet's
//                         General and Options pages then write options back
//                         on OK (from which the sheet writes the option text)
//   host_version          the sheet only, when it opens
//   every other field     the check only (the lifecycle and the exchange);
//                         phase the lifecycle alone
#pragma once

#include <cstdint>

#include "check/samples.h"
#include "plugin/host_contract.h"
#include "settings/item_settings.h"
#include "settings/option_text.h"

// Size of the buffer that receives the host entry of an asynchronous lookup
// (MAXGETHOSTSTRUCT of Windows Sockets).
constexpr int kLookupBufferSize = 1024;
// server_name holds at most this many characters and a terminating zero.
constexpr int kServerNameSize = 512;

// Where a check stands. Only the check lifecycle (check/lifecycle.cpp) moves
// a record from one phase to the next. A zero-filled record is idle, and so
// is an item without a record.
enum class CheckPhase : int32_t {
  kIdle,           // no check runs on this record (the property sheet's own)
  kStarting,       // started: the socket opened, no read notifications asked for yet
  kLookingUp,      // the server's name is being looked up (or its lookup failed)
  // The request is out, with its send time noted, and read notifications
  // were asked for (which also makes the socket non-blocking). Before this
  // phase a read notification can only be a stale one (queued for a closed
  // socket whose handle this check's socket now has, or one that comes
  // although the request could not be sent): there is no send time to
  // measure a reply against, and reading could wait for a datagram that may
  // never come.
  // Every further request of the check is awaited likewise.
  kAwaitingReply,
  // A sample was taken and the check asks the same server again (asking_why
  // says why), with a fresh nonce, once kRequestSpacingMs have passed since
  // the last request left: on the first host tick after that. Until then
  // the nonce is zero, so that no datagram (the reply again, say) answers
  // anything, and ticks are no ticks without a sign of life.
  kWaitingToAsk,
  kOver,           // MSG_CHECK_END sent: later notifications and ticks do nothing
};

struct ProbeState {
  alignas(8) uint8_t lookup_buffer[kLookupBufferSize];  // host entry of the name lookup
  char server_name[kServerNameSize];  // host name or dotted address
  uint64_t send_time;     // FILETIME just before the request went out (T1)
  uint8_t request_nonce[8];  // the request's transmit timestamp, which an answer echoes
  uint64_t receive_time;  // FILETIME just after the reply was read (T4)
  ItemOptions options;    // the server's port and the clock options (the OptionString's fields)
  HostVersion host_version;    // the host's version: the property sheet's record only

  // Where the request went, so that only the server's own datagram counts as
  // the reply (network byte order).
  uint32_t server_addr;
  uint16_t server_port;
  // The server's address is one the address cache holds: the cache gave it,
  // or this check's lookup added it. A check that gets no answer there, or
  // cannot send there, makes the cache forget it.
  int32_t address_cached;
  // Datagrams from the server's address and port that did not answer the
  // request were ignored: a time-out then says so rather than "no answer".
  int32_t non_answers_ignored;
  // The Windows Sockets code of the last ICMP report Windows gave instead of
  // a datagram (port unreachable, or time to live exceeded: reports anyone
  // can forge, so the check waited on), 0 for none: a time-out then says so.
  int32_t network_report;
  // An operation returned -1 with the failure's cause in error_text: later
  // ticks keep that text, and the third ends the check as failed. The next
  // request that goes out supersedes it.
  int32_t failure_shown;
  // This check wrote a failure's text (a failed read, say) and went on: a
  // reply that then decides the check clears it, so that the item does not
  // show a failure beside the check's success.
  int32_t failure_written;
  // Requests this check sent, and when the last one left (monotonic ms).
  int32_t requests_sent;
  uint64_t request_sent_at;
  // The usable replies this check took, in order, and why it asks again.
  Sample samples[kMaxRequests];
  int32_t sample_count;
  AskReason asking_why;
  CheckPhase phase;
};

// A zero-filled ProbeState from the global heap, or null when memory is short.
ProbeState* new_probe_state();
void free_probe_state(ProbeState* probe);

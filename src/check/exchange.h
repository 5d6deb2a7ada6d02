// The SNTP exchange of one check: the request, the reply and what it turned
// out to be, the clock offset, the clock change, and the texts and result the
// host receives. The exchange never ends a check; the lifecycle does, from
// the outcome it is given.
#pragma once

#include <windows.h>

#include <cstdint>

#include "check/ntp.h"
#include "check/samples.h"
#include "plugin/host_contract.h"

// Draws the nonce of the next request into the item's ProbeState from the
// system's cryptographic random generator. False, with the error text
// stored, when the generator fails: a request never goes out with a nonce a
// stranger could predict.
bool draw_request_nonce(CheckItem* item);

// Sends the request, with the nonce drawn last, from the item's socket to `address` (IPv4, network byte
// order) and `port`, and remembers both in the item's ProbeState: only a
// datagram from there is taken as the reply. On failure stores the error
// text and returns false.
bool send_request(CheckItem* item, uint32_t address, uint16_t port);

// What the datagram waiting on the item's socket turned out to be, and what
// was written for it:
//   kNotOurs, kNotAnAnswer: dropped, nothing written (a datagram that does not
//     echo the request's nonce is one from the server's address and port);
//   kNetworkReport: nothing written (the time-out tells of it);
//   kUnreadable, kReadFailed: error_text says why;
//   kReply: server_info written, and error_text too when the verdict is not
//     kUsable. A kiss code that backs the server off starts its back-off, and
//     a usable reply to a request sent after it ends one.
struct ReplyOutcome {
  DatagramKind kind;
  ReplyVerdict verdict;  // a reply's only
  Sample sample;         // a usable reply's: offset (positive when the local clock is behind) and round trip
  int32_t report;        // a network report's Windows Sockets code
};

// Whether the server the check is about to send to (`address`, and the
// item's port) is backed off: then error_text says until when, and nothing
// may be sent there.
bool server_backed_off(CheckItem* item, uint32_t address);

// Writes why a step of `first` was refused when the confirming exchange
// measured `second`.
void report_unconfirmed_step(CheckItem* item, int64_t first, int64_t second);

// Reads the datagram the item's socket has for it (no request sent yet, no
// datagram, one from another sender, or one that does not echo the nonce is
// no reply) and evaluates it.
// The status line "receiving" is shown for the server's reply only.
ReplyOutcome read_reply(HWND window, CheckItem* item);

// Replaces the item's server_info with what the server said about itself
// (the ServerInfoString); left null when memory is short.
void write_server_info(CheckItem* item, const ServerInfo& info);

// Moves the clock by a usable reply's offset as the item's options say,
// writes the texts of a move, and gives the check's result: the clock moved
// (announced, or quietly), left alone, or a move that failed (error text
// stored). An item that measures only never moves the clock: the offset is
// written and the result is 1 when its size reaches the threshold, else 0.
CheckResult apply_offset(CheckItem* item, int64_t offset);

// Steps the system clock by `offset` 100-ns units: sets it at once to now
// plus the offset (SetSystemTime, then SetLocalTime with the local time of
// that instant; nothing is slewed) and tells every top-level window
// (WM_TIMECHANGE). False when the system refuses; GetLastError then says
// why.
bool adjust_clock(int64_t offset);

// The plug-in's working record for one running check or one open property
// sheet. Allocated zero-filled from the global heap; a running check reaches
// it through its item's `probe` field.
#pragma once

#include <cstdint>

#include "plugin/host_contract.h"
#include "settings/option_text.h"

// Size of the buffer that receives the host entry of an asynchronous lookup
// (MAXGETHOSTSTRUCT of Windows Sockets).
constexpr int kLookupBufferSize = 1024;
// server_name holds at most this many characters and a terminating zero.
constexpr int kServerNameSize = 512;
constexpr uint16_t kDefaultNtpPort = 123;

struct ProbeState {
  alignas(8) uint8_t lookup_buffer[kLookupBufferSize];  // host entry of the name lookup
  char server_name[kServerNameSize];  // host name or dotted address
  uint64_t send_time;     // FILETIME just before the request went out (T1)
  uint64_t receive_time;  // FILETIME just after the reply was read (T4)
  ItemOptions options;    // the server's port and the clock options (the OptionString's four fields)
  HostVersion host_version;    // set by the property sheet only

  // Where the request went, so that only the server's own datagram counts as
  // the reply (network byte order).
  uint32_t server_addr;
  uint16_t server_port;
  // Set once MSG_CHECK_END has been sent: later notifications and ticks for
  // this check do nothing more.
  int32_t check_over;
  // Set once read notifications were asked for, which also makes the socket
  // non-blocking. Before that a read notification can only be a stale one
  // (queued for a closed socket whose handle this check's socket now has),
  // and reading would wait for a datagram that may never come.
  int32_t reading;
};

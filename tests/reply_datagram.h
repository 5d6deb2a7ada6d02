// SNTP reply datagrams as the tests' servers send them: the one builder for
// the native unit tests, the Windows tests and the benchmark. Pure code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "check/ntp.h"

// The NTP timestamp of a FILETIME count, in whichever era it falls. The
// fraction is rounded up, so that the plug-in converts it back to the same
// count.
inline NtpTimestamp ntp_time(uint64_t filetime) {
  constexpr uint64_t kSeconds1601To1900 = 9'435'484'800;
  const uint64_t units = static_cast<uint64_t>(kUnitsPerSecond);
  const uint64_t rest = filetime % units;
  return NtpTimestamp{static_cast<uint32_t>(filetime / units - kSeconds1601To1900),
                      static_cast<uint32_t>(((rest << 32) + units - 1) / units)};
}

// The nonce a reply built here echoes until a test's server copies the real
// request's nonce over it (echo_nonce).
constexpr uint8_t kTestNonce[kNonceSize] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};

// Copies a request's transmit timestamp into a reply's originate timestamp,
// as a server does; a reply too short to hold one is left as it is.
inline void echo_nonce(std::vector<uint8_t>& reply, const uint8_t* request) {
  if (reply.size() >= 32) std::memcpy(reply.data() + 24, request + 40, kNonceSize);
}

// A reply of `size` bytes: `first` octet, `stratum`, poll 6, precision -26,
// root delay 1.5 s, root dispersion -2 (raw), the reference identifier's four
// octets (wire order), reference timestamp zero, kTestNonce as the originate
// timestamp, `receive` as T2 and `transmit` as T3; zeros after the 48 octets
// of the message.
inline std::vector<uint8_t> reply_datagram(NtpTimestamp receive, NtpTimestamp transmit, uint8_t first = 0x24,
                                           uint8_t stratum = 2, const char* reference = "\x7f\x7f\x01\x01",
                                           size_t size = kNtpPacketSize) {
  std::vector<uint8_t> b(size < kNtpPacketSize ? kNtpPacketSize : size, 0);
  const uint8_t head[] = {first, stratum, 6, 0xE6, 0x00, 0x01, 0x80, 0x00, 0xFF, 0xFF, 0xFF, 0xFE};
  std::memcpy(b.data(), head, sizeof head);
  std::memcpy(b.data() + 12, reference, 4);
  std::memcpy(b.data() + 24, kTestNonce, kNonceSize);
  auto put = [&b](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  };
  put(32, receive.seconds);
  put(36, receive.fraction);
  put(40, transmit.seconds);
  put(44, transmit.fraction);
  b.resize(size);
  return b;
}

// The same with the server's times as FILETIME counts.
inline std::vector<uint8_t> reply_datagram(uint64_t receive, uint64_t transmit, uint8_t first = 0x24,
                                           uint8_t stratum = 2, const char* reference = "\x7f\x7f\x01\x01") {
  return reply_datagram(ntp_time(receive), ntp_time(transmit), first, stratum, reference);
}

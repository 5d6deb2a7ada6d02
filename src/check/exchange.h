// The SNTP exchange of one check: the request, the reply, the clock offset,
// the clock change, and the texts and result the host receives.
#pragma once

#include <windows.h>

#include <cstdint>

#include "plugin/host_contract.h"

// The system time as a FILETIME count: from the precise clock where the
// system has one, since the coarse one may tick only every 15.6 ms.
uint64_t system_time_now();

// Sends the request from the item's socket to `address` (IPv4, network byte
// order) and `port`, and remembers both in the item's ProbeState: only a
// datagram from there is taken as the reply. On failure stores the error
// text and returns false.
bool send_request(CheckItem* item, uint32_t address, uint16_t port);

// Reads the datagram the item's socket has for it. Returns 2 when the reply
// was handled and MSG_CHECK_END sent (the item must not be touched
// afterwards), -1 when the read failed (error text stored, no message), or 0
// when there was nothing for this check (no request sent yet, no datagram, or
// one from another sender, which is dropped): the check keeps waiting.
int handle_reply(HWND window, CheckItem* item);

// Moves the system clock by `offset` 100-ns units. False when the system
// refuses; GetLastError then says why.
bool adjust_clock(int64_t offset);

// Marks the item's check over, so that nothing more happens for it, and
// sends MSG_CHECK_END with `result`. The host may end the check inside its
// handler, so this is the caller's last act on the item.
void end_check(HWND window, CheckItem* item, CheckResult result);

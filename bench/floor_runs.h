// The floor a check is measured against: bare SNTP-sized round trips to the
// same responder, through the same socket API (a new datagram socket,
// WSAAsyncSelect read notifications to a window, sendto, recvfrom) and the
// same message loop as the host's, with nothing else around them.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <vector>

#include "measure.h"

struct FloorTrip {
  SOCKET socket = INVALID_SOCKET;
  int64_t sent = 0;      // ticks after sendto returned
  int64_t notified = 0;  // ticks when the read notification was dispatched
  int64_t read = 0;      // ticks after the reply was read; 0 until then
};

struct FloorRig {
  HWND window = nullptr;
  sockaddr_in server{};
  std::vector<FloorTrip> trips;  // the round trips under way
  size_t done = 0;
};

bool open_floor(FloorRig* rig, uint16_t port);
void close_floor(FloorRig* rig);

struct TripTiming {
  bool done = false;
  double total_us = 0;  // socket() called to the reply read
  double setup_us = 0;  // socket, WSAAsyncSelect and sendto
  double wait_us = 0;   // sendto returned to the read notification
  double read_us = 0;   // the notification to the reply read
};

// One round trip on a new socket.
TripTiming run_trip(FloorRig* rig, DWORD timeout_ms = 10000);

// `count` round trips started at once, each on its own socket.
BatchTiming run_trips_at_once(FloorRig* rig, size_t count, DWORD timeout_ms);

#include "floor_runs.h"

#include "host_side.h"

namespace {

const char kFloorClass[] = "SntpBenchFloorWindow";

void read_reply(FloorRig* rig, SOCKET s) {
  // Found by a linear search, as the host finds the item of a notification.
  for (FloorTrip& trip : rig->trips) {
    if (trip.socket != s || trip.read != 0) continue;
    trip.notified = ticks_now();
    char bytes[48];
    sockaddr_in from{};
    int from_length = sizeof from;
    const int n = recvfrom(s, bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
    if (n == static_cast<int>(sizeof bytes) && from.sin_addr.s_addr == rig->server.sin_addr.s_addr &&
        from.sin_port == rig->server.sin_port) {
      trip.read = ticks_now();
      ++rig->done;
    }
    return;
  }
}

LRESULT CALLBACK floor_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* rig = reinterpret_cast<FloorRig*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (rig != nullptr && message == MSG_SOCKET_EVENT) {
    if (WSAGETSELECTERROR(lparam) == 0 && WSAGETSELECTEVENT(lparam) == FD_READ) read_reply(rig, wparam);
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

// Opens a socket, asks for read notifications and sends a 48-byte request,
// as a check does; false when any step fails.
bool start_trip(FloorRig* rig, FloorTrip* trip) {
  trip->socket = socket(AF_INET, SOCK_DGRAM, 0);
  if (trip->socket == INVALID_SOCKET) return false;
  if (WSAAsyncSelect(trip->socket, rig->window, MSG_SOCKET_EVENT, FD_READ) == SOCKET_ERROR) return false;
  char request[48] = {0x1B};  // a version-3 client request, as a check sends
  if (sendto(trip->socket, request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&rig->server),
             sizeof rig->server) == SOCKET_ERROR) {
    return false;
  }
  trip->sent = ticks_now();
  return true;
}

void close_trips(FloorRig* rig) {
  for (FloorTrip& trip : rig->trips) {
    if (trip.socket == INVALID_SOCKET) continue;
    WSAAsyncSelect(trip.socket, rig->window, 0, 0);
    closesocket(trip.socket);
  }
  rig->trips.clear();
  rig->done = 0;
}

}  // namespace

bool open_floor(FloorRig* rig, uint16_t port) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = floor_proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = kFloorClass;
  RegisterClassA(&wc);
  rig->window = CreateWindowExA(0, kFloorClass, "", 0, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
  if (rig->window == nullptr) return false;
  SetWindowLongPtrA(rig->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(rig));
  rig->server.sin_family = AF_INET;
  rig->server.sin_port = htons(port);
  rig->server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return true;
}

void close_floor(FloorRig* rig) {
  close_trips(rig);
  if (rig->window != nullptr) DestroyWindow(rig->window);
  rig->window = nullptr;
}

TripTiming run_trip(FloorRig* rig, DWORD timeout_ms) {
  close_trips(rig);
  rig->trips.resize(1);
  FloorTrip& trip = rig->trips[0];
  const int64_t started = ticks_now();
  const bool sent = start_trip(rig, &trip);
  if (sent) pump_messages_until([&] { return rig->done >= 1; }, timeout_ms);
  TripTiming t;
  t.done = rig->done >= 1;
  if (t.done) {
    t.total_us = ticks_to_us(trip.read - started);
    t.setup_us = ticks_to_us(trip.sent - started);
    t.wait_us = ticks_to_us(trip.notified - trip.sent);
    t.read_us = ticks_to_us(trip.read - trip.notified);
  }
  close_trips(rig);
  return t;
}

BatchTiming run_trips_at_once(FloorRig* rig, size_t count, DWORD timeout_ms) {
  close_trips(rig);
  rig->trips.resize(count);
  const double cpu_before = thread_cpu_us();
  const int64_t started = ticks_now();
  for (FloorTrip& trip : rig->trips) start_trip(rig, &trip);
  pump_messages_until([&] { return rig->done >= count; }, timeout_ms);
  BatchTiming b;
  b.cpu_us = thread_cpu_us() - cpu_before;
  int64_t last = started;
  for (const FloorTrip& trip : rig->trips) last = trip.read > last ? trip.read : last;
  b.total_ms = ticks_to_us(last - started) / 1000.0;
  b.answered = rig->done;
  close_trips(rig);
  return b;
}

#include "responder.h"

#include "reply_datagram.h"

#include <algorithm>
#include <cstring>

namespace {

SOCKET bound_socket(const char* address, uint16_t* port) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return s;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = inet_addr(address);
  if ((ntohl(a.sin_addr.s_addr) >> 24) != 127 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  int length = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
  *port = ntohs(a.sin_port);
  return s;
}

}  // namespace

bool Responder::start(const char* address) {
  uint16_t other_port = 0;
  server_ = bound_socket(address, &port_);
  other_ = bound_socket(address, &other_port);
  if (server_ == INVALID_SOCKET || other_ == INVALID_SOCKET) return false;
  // Room for a burst of requests (a benchmark starts a thousand checks at
  // once); the system may grant less.
  const int receive_buffer = 4 << 20;
  setsockopt(server_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer), sizeof receive_buffer);
  thread_ = std::thread([this] { serve(); });
  return true;
}

void Responder::stop() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    sockaddr_in self{};
    int length = sizeof self;
    getsockname(server_, reinterpret_cast<sockaddr*>(&self), &length);
    sendto(other_, "q", 1, 0, reinterpret_cast<sockaddr*>(&self), sizeof self);
    thread_.join();
  }
  for (SOCKET* s : {&server_, &other_}) {
    if (*s != INVALID_SOCKET) closesocket(*s);
    *s = INVALID_SOCKET;
  }
}

void Responder::answer_next(std::vector<Datagram> answers) {
  std::lock_guard<std::mutex> lock(mutex_);
  scripts_.push_back(std::move(answers));
}

void Responder::answer_each(AnswerFn answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_each_ = std::move(answer);
}

void Responder::send_to(Datagram datagram, const ReceivedRequest& request) {
  if (datagram.echo_nonce && request.bytes.size() >= 48) echo_nonce(datagram.bytes, request.bytes.data());
  SOCKET from = datagram.from_other_port ? other_ : server_;
  sendto(from, reinterpret_cast<const char*>(datagram.bytes.data()), static_cast<int>(datagram.bytes.size()), 0,
         reinterpret_cast<const sockaddr*>(&request.from), sizeof request.from);
}

void Responder::send(const Datagram& datagram) {
  ReceivedRequest last;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (requests_.empty()) return;
    last = requests_.back();
  }
  send_to(datagram, last);
}

void Responder::limit_rate(RateLimit limit, std::function<uint32_t()> clock_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  limit_ = limit;
  limit_clock_ = std::move(clock_ms);
  clients_.clear();
}

// ntp_monitor()'s arithmetic in whole seconds: a headway of 2^3 s, a bucket
// of 8 headways, a minimum of 2 s with a second's grace. A refusal fills
// the bucket, and is answered with the kiss only when it was not full.
// Called with the lock held.
Responder::Admission Responder::admit(const ReceivedRequest& request) {
  constexpr int kHead = 8, kLimit = 8 * kHead, kMinimum = 2;
  const uint32_t now = limit_clock_();
  const uint32_t address = request.from.sin_addr.s_addr;
  auto client = std::find_if(clients_.begin(), clients_.end(), [&](const Client& c) { return c.address == address; });
  if (client == clients_.end()) {  // a new client's first packet passes
    clients_.push_back({address, now, 0});
    return Admission::kPass;
  }
  const int interval = static_cast<int>((now - client->last_ms + 500) / 1000);
  client->last_ms = now;
  client->leak = std::max(0, client->leak - interval);
  const int leak = client->leak + kHead;
  if (interval + 1 >= kMinimum && leak < kLimit) {
    client->leak = leak - 2;
    return Admission::kPass;
  }
  if (client->leak >= kLimit) return Admission::kDrop;
  client->leak = kLimit + kHead;
  return limit_ == RateLimit::kKod ? Admission::kKiss : Admission::kDrop;
}

// fast_xmit()'s RATE kiss: the request with leap indicator 3, server mode,
// stratum 0, poll at least 3, "RATE", and its transmit timestamp in every
// timestamp field.
static std::vector<uint8_t> rate_kiss(std::vector<uint8_t> kiss) {
  kiss.resize(48);
  kiss[0] = static_cast<uint8_t>(0xC0 | (kiss[0] & 0x38) | 4);
  kiss[1] = 0;
  kiss[2] = static_cast<uint8_t>(std::max<int8_t>(static_cast<int8_t>(kiss[2]), 3));
  std::memcpy(kiss.data() + 12, "RATE", 4);
  for (size_t at : {16, 24, 32}) std::memcpy(kiss.data() + at, kiss.data() + 40, 8);
  return kiss;
}

std::vector<ReceivedRequest> Responder::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool Responder::wait_for_requests(size_t count, DWORD timeout_ms) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < timeout_ms; Sleep(2)) {
    if (requests().size() >= count) return true;
  }
  return requests().size() >= count;
}

void Responder::serve() {
  for (;;) {
    uint8_t buffer[2048];
    sockaddr_in from{};
    int from_length = sizeof from;
    int n = recvfrom(server_, reinterpret_cast<char*>(buffer), sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                     &from_length);
    std::vector<Datagram> answers;
    AnswerFn answer;
    ReceivedRequest request{};
    Admission admission = Admission::kPass;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      if (n < 0) continue;
      request = {std::vector<uint8_t>(buffer, buffer + n), from};
      requests_.push_back(request);
      if (limit_ != RateLimit::kNone) admission = admit(request);
      if (admission != Admission::kPass) {  // refused: no script is taken
      } else if (!scripts_.empty()) {
        answers = std::move(scripts_.front());
        scripts_.pop_front();
      } else {
        answer = answer_each_;
      }
    }
    if (admission == Admission::kKiss) answers = {Datagram{rate_kiss(request.bytes), false, false}};
    if (answer) answers = answer(request);
    for (const Datagram& d : answers) send_to(d, request);
  }
}

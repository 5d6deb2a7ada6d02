// A scripted SNTP server on loopback for the Windows tests and the
// benchmark: a thread with a blocking UDP socket that answers each request
// with exactly the datagrams it was told to send (or that a function
// computes when the request arrives), from the port it was told to use, or
// not at all. Windows Sockets must be started before start().
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

struct Datagram {
  std::vector<uint8_t> bytes;
  bool from_other_port = false;  // from a second socket: same address, another port
  // Sent with the request's nonce copied into its originate timestamp, as a
  // server does; false sends the bytes as they are (a forger's datagram).
  bool echo_nonce = true;
};

struct ReceivedRequest {
  std::vector<uint8_t> bytes;
  sockaddr_in from;
};

// Computes the answers to a request on the responder's thread, when it
// arrives: it may read the clock then, or wait to play a slow network.
using AnswerFn = std::function<std::vector<Datagram>(const ReceivedRequest&)>;

// Each client address's rate limited as ntpd 4.2.8 does under `restrict
// default limited` (ntpd/ntp_monitor.c): the interval since its last packet
// rounded to whole seconds must reach 2 s less a second's grace, and a
// bucket of 8 s a packet must not overflow. A refused request is dropped,
// or with `kod` answered as ntp_proto.c's fast_xmit does (kKod).
enum class RateLimit { kNone, kDrop, kKod };

class Responder {
 public:
  ~Responder() { stop(); }
  // Binds the server socket and the second one to `address`, which must be
  // in 127.0.0.0/8, on ports the system chooses. False when that fails.
  bool start(const char* address = "127.0.0.1");
  void stop();
  uint16_t port() const { return port_; }
  // The answers to the next request that arrives; later requests take later
  // scripts, and a request without one goes unanswered.
  void answer_next(std::vector<Datagram> answers);
  // Answers each request that finds no script waiting with what `answer`
  // returns (an empty function leaves such requests unanswered again).
  void answer_each(AnswerFn answer);
  // Sends a datagram now to the sender of the last request, or of `request`
  // (from any thread).
  void send(const Datagram& datagram);
  void send_to(Datagram datagram, const ReceivedRequest& request);
  // Limits each client's rate from now on, timing arrivals on `clock_ms` (a
  // test passes the plug-in's counter, which it moves on instead of
  // sleeping). Refused requests take no script.
  void limit_rate(RateLimit limit, std::function<uint32_t()> clock_ms);
  std::vector<ReceivedRequest> requests();
  bool wait_for_requests(size_t count, DWORD timeout_ms);

 private:
  void serve();
  enum class Admission { kPass, kKiss, kDrop };
  Admission admit(const ReceivedRequest& request);

  SOCKET server_ = INVALID_SOCKET;
  SOCKET other_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::deque<std::vector<Datagram>> scripts_;
  AnswerFn answer_each_;
  std::vector<ReceivedRequest> requests_;
  bool stopping_ = false;
  RateLimit limit_ = RateLimit::kNone;
  std::function<uint32_t()> limit_clock_;
  struct Client {
    uint32_t address;
    uint32_t last_ms;
    int leak;  // the bucket, in seconds
  };
  std::vector<Client> clients_;
};

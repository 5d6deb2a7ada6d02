// sntp_bench: how fast and how accurate checks through the real sntp.dll
// are, each figure beside a floor measured in the same run (bare loopback
// round trips through the same socket API and message loop), so that the
// ratios hold on a busy machine. Everything runs on 127.0.0.1 against the
// scripted responder in this process; the module's clock changes are
// recorded, never made.
//
//   sntp_bench [--quick] [--profile] [--checks N] [--items N] [--rounds N]
//              [--accuracy-checks N] [--delayed-checks N] [--late-checks N] [--lookup-checks N]
//              [--cache-lookups N] [--chrony-port N]
//
// With --chrony-port the latency is measured once more against the SNTP
// server listening on that port of 127.0.0.1 (scripts/bench starts chronyd).
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cache_runs.h"
#include "check/exchange.h"
#include "check/ntp.h"
#include "check/probe_state.h"
#include "floor_runs.h"
#include "measure.h"
#include "plugin/error_and_status.h"
#include "plugin_runs.h"
#include "reply_datagram.h"
#include "responder.h"
#include "settings/fields.h"

namespace {

struct Options {
  int checks = 1000;           // check latency: checks, and as many bare round trips
  int items = 1000;            // items started at once
  int rounds = 7;              // of the items started at once, and of their floor
  int accuracy_checks = 1000;  // per accuracy case without delay
  int delayed_checks = 1000;   // per accuracy case with a delay
  int late_checks = 1000;      // per mode, with one reply in ten held up
  int lookup_checks = 200;     // checks that look up "localhost" (the module is reloaded for each)
  int cache_lookups = 100;     // per kind and size of the address cache
  int chrony_port = 0;         // an SNTP server on 127.0.0.1 to measure against as well (0: none)
  bool profile = false;        // also where a check's time goes
};

constexpr int64_t kMs = kUnitsPerMs;
// Options of an item that moves the clock only by a second or more, as an
// item usually is set up; offsets on loopback are far below that.
const char kSkipSmallOffsets[] = "1;1000;0;";
// Options of an item that moves the clock by every offset.
const char kAlwaysMove[] = "0;0;0;";

std::string format(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* f, ...) {
  char text[256];
  va_list args;
  va_start(args, f);
  std::vsnprintf(text, sizeof text, f, args);
  va_end(args);
  return text;
}

std::string duration(double us) { return us < 1000 ? format("%.1f us", us) : format("%.2f ms", us / 1000); }
std::string ratio(double a, double b) { return b > 0 ? format("%.2f", a / b) : "-"; }
std::string count(size_t n) {
  const auto u = static_cast<unsigned>(n);
  return u >= 1000 ? format("%u,%03u", u / 1000, u % 1000) : format("%u", u);
}

// ---- the table

struct Row {
  std::string figure, n, measured, beside, ratio;
};
std::vector<Row> g_rows;
int g_failures = 0;  // checks or round trips that did not end as they should

void row(std::string figure, size_t n, std::string measured, std::string beside, std::string r) {
  g_rows.push_back({std::move(figure), count(n), std::move(measured), std::move(beside), std::move(r)});
}
void heading(std::string title) { g_rows.push_back({std::move(title), "", "", "", ""}); }

void print_table(const std::vector<Row>& rows, const Row& header) {
  size_t w[5] = {};
  auto widen = [&](const Row& r) {
    if (r.n.empty() && r.measured.empty()) return;  // a heading spans the table
    const std::string* cells[] = {&r.figure, &r.n, &r.measured, &r.beside, &r.ratio};
    for (int i = 0; i < 5; ++i) w[i] = std::max(w[i], cells[i]->size());
  };
  widen(header);
  for (const Row& r : rows) widen(r);
  auto print = [&](const Row& r) {
    if (r.n.empty() && r.measured.empty()) {
      std::printf("%s\n", r.figure.c_str());
      return;
    }
    std::printf("  %-*s  %*s  %-*s  %-*s  %s\n", int(w[0]), r.figure.c_str(), int(w[1]), r.n.c_str(), int(w[2]),
                r.measured.c_str(), int(w[3]), r.beside.c_str(), r.ratio.c_str());
  };
  print(header);
  std::printf("  %s\n", std::string(w[0] + w[1] + w[2] + w[3] + w[4] + 8, '-').c_str());
  for (const Row& r : rows) print(r);
}

// ---- the responder's answers

// The responder's clock runs `offset` ahead of the local one; a request
// takes `out_ms` to reach it and its reply `back_ms` to come back (played
// by waiting on the responder's thread before T2 and after T3).
struct ServerClock {
  int64_t offset = 0;
  DWORD out_ms = 0;
  DWORD back_ms = 0;
};

std::mutex g_reply_mutex;
std::vector<uint8_t> g_last_reply;

void serve(Responder* responder, ServerClock clock) {
  responder->answer_each([clock](const ReceivedRequest&) {
    if (clock.out_ms != 0) Sleep(clock.out_ms);
    const uint64_t receive = system_now() + clock.offset;
    const uint64_t transmit = system_now() + clock.offset;
    std::vector<uint8_t> bytes = reply_datagram(receive, transmit);
    {
      std::lock_guard<std::mutex> lock(g_reply_mutex);
      g_last_reply = bytes;
    }
    if (clock.back_ms != 0) Sleep(clock.back_ms);
    return std::vector<Datagram>{Datagram{std::move(bytes)}};
  });
}

std::vector<uint8_t> last_reply() {
  std::lock_guard<std::mutex> lock(g_reply_mutex);
  return g_last_reply;
}

uint64_t read_timestamp(const std::vector<uint8_t>& bytes, size_t at) {
  auto word = [&](size_t i) {
    return uint32_t{bytes[i]} << 24 | uint32_t{bytes[i + 1]} << 16 | uint32_t{bytes[i + 2]} << 8 | bytes[i + 3];
  };
  return ntp_to_filetime(NtpTimestamp{word(at), word(at + 4)});
}

bool check_failed(const CheckTiming& t) {
  const bool failed = !t.ended || (t.result != CHECK_OK_QUIET && t.result != CHECK_CHANGED);
  g_failures += failed;
  return failed;
}

// ---- the figures

struct Segments {
  Samples total, first, wait, last;
};

// Check latency, one check at a time, each beside a bare round trip; and
// checks that move the clock (recorded) among them.
void latency(PluginRig* rig, FloorRig* floor, const Options& o, Segments* check, Segments* trip) {
  CheckItem* item = add_item(rig, "127.0.0.1", kSkipSmallOffsets);
  CheckItem* moving = add_item(rig, "127.0.0.1", kAlwaysMove);
  for (int i = 0; i < 20; ++i) {  // warm up: caches, the first clock move, Wine's first calls
    run_check(rig, item);
    run_check(rig, moving);
    run_trip(floor);
  }
  Samples moves;
  for (int i = 0; i < o.checks; ++i) {
    const CheckTiming c = run_check(rig, item);
    const TripTiming t = run_trip(floor);
    const CheckTiming m = run_check(rig, moving);
    if (!check_failed(c)) {
      check->total.add(c.total_us);
      check->first.add(c.start_us);
      check->wait.add(c.wait_us);
      check->last.add(c.reply_us);
    }
    if (!check_failed(m)) moves.add(m.total_us);
    if (t.done) {
      trip->total.add(t.total_us);
      trip->first.add(t.setup_us);
      trip->wait.add(t.wait_us);
      trip->last.add(t.read_us);
    } else {
      ++g_failures;
    }
  }
  // CPU time over spans of a hundred checks and a hundred round trips in
  // turn, three times as many as above: GetThreadTimes counts in coarse
  // steps (10 ms under Wine), too coarse to add up check by check.
  double check_cpu = 0, trip_cpu = 0;
  const int cpu_checks = 3 * o.checks;
  for (int done = 0; done < cpu_checks;) {
    const int span = std::min(100, cpu_checks - done);
    double before = thread_cpu_us();
    for (int i = 0; i < span; ++i) run_check(rig, item);
    check_cpu += thread_cpu_us() - before;
    before = thread_cpu_us();
    for (int i = 0; i < span; ++i) run_trip(floor);
    trip_cpu += thread_cpu_us() - before;
    done += span;
  }
  remove_items(rig);

  heading("Check latency: SNTP_Start to MSG_CHECK_END, one check at a time, beside a bare round trip");
  row("median", check->total.size(), duration(check->total.median()), duration(trip->total.median()) + " round trip",
      ratio(check->total.median(), trip->total.median()));
  row("99th percentile", check->total.size(), duration(check->total.percentile(99)),
      duration(trip->total.percentile(99)) + " round trip",
      ratio(check->total.percentile(99), trip->total.percentile(99)));
  row("median when the check moves the clock", moves.size(), duration(moves.median()),
      duration(trip->total.median()) + " round trip", ratio(moves.median(), trip->total.median()));
  row("host thread CPU per check", static_cast<size_t>(cpu_checks), duration(check_cpu / cpu_checks),
      duration(trip_cpu / cpu_checks) + " per round trip", ratio(check_cpu, trip_cpu));

  // The nonce every request carries, drawn by the module's own code (part of
  // the figures above: one draw per check).
  ProbeState probe{};
  CheckItem drawing{};
  drawing.probe = &probe;
  Samples nonce;
  for (int i = 0; i < o.checks; ++i) {
    const int64_t start = ticks_now();
    if (!draw_request_nonce(&drawing)) ++g_failures;
    nonce.add(ticks_to_us(ticks_now() - start));
  }
  row("drawing the request's nonce (median)", nonce.size(), duration(nonce.median()),
      duration(check->total.median()) + " whole check", ratio(nonce.median(), check->total.median()));
}

// Check latency against a real SNTP server on loopback, beside bare round
// trips to it.
void chrony_latency(PluginRig* rig, const Options& o) {
  const auto port = static_cast<uint16_t>(o.chrony_port);
  FloorRig floor;
  if (!open_floor(&floor, port)) {
    ++g_failures;
    return;
  }
  CheckItem* item = add_item(rig, "127.0.0.1", kSkipSmallOffsets, port);
  for (int i = 0; i < 20; ++i) {
    run_check(rig, item);
    run_trip(&floor);
  }
  Samples checks, trips;
  for (int i = 0; i < o.checks; ++i) {
    const CheckTiming c = run_check(rig, item);
    const TripTiming t = run_trip(&floor);
    if (!check_failed(c)) checks.add(c.total_us);
    if (t.done) {
      trips.add(t.total_us);
    } else {
      ++g_failures;
    }
  }
  remove_items(rig);
  close_floor(&floor);
  heading(format("The same against chronyd on 127.0.0.1:%d, beside bare round trips to it", o.chrony_port));
  row("median", checks.size(), duration(checks.median()), duration(trips.median()) + " round trip",
      ratio(checks.median(), trips.median()));
  row("99th percentile", checks.size(), duration(checks.percentile(99)),
      duration(trips.percentile(99)) + " round trip", ratio(checks.percentile(99), trips.percentile(99)));
}

// Many items started at once from one host window, beside as many bare
// round trips started at once.
void many_items(PluginRig* rig, FloorRig* floor, const Options& o) {
  for (int i = 0; i < o.items; ++i) add_item(rig, "127.0.0.1", kSkipSmallOffsets);
  run_all_at_once(rig, 30000);  // warm up: the first clock move of each item
  // Each round's ratio of times is taken between neighbours in time, and the
  // figure is their median: the machine may change pace between rounds.
  Samples checks, trips, ratios;
  double check_cpu = 0, trip_cpu = 0;
  size_t unanswered = 0;
  for (int r = 0; r < o.rounds; ++r) {
    const BatchTiming c = run_all_at_once(rig, 30000);
    const BatchTiming t = run_trips_at_once(floor, static_cast<size_t>(o.items), 30000);
    checks.add(c.total_ms);
    trips.add(t.total_ms);
    if (t.total_ms > 0) ratios.add(c.total_ms / t.total_ms);
    check_cpu += c.cpu_us;
    trip_cpu += t.cpu_us;
    unanswered += (o.items - c.answered) + (o.items - t.answered);
  }
  g_failures += static_cast<int>(unanswered);
  remove_items(rig);

  const double n = static_cast<double>(o.items) * o.rounds;
  heading(format("%s items started at once from one host window (medians of %d round%s), beside as many bare round trips",
                 count(o.items).c_str(), o.rounds, o.rounds == 1 ? "" : "s"));
  row("until the last MSG_CHECK_END", o.items, duration(checks.median() * 1000),
      duration(trips.median() * 1000) + " until the last reply", format("%.2f", ratios.median()));
  row("host thread CPU per check", static_cast<size_t>(n), duration(check_cpu / n),
      duration(trip_cpu / n) + " per round trip", ratio(check_cpu, trip_cpu));
  if (unanswered != 0) row("checks or round trips without an answer", unanswered, "", "", "");
}

struct AccuracyCase {
  const char* name;
  ServerClock clock;
  int checks;
};

// How far the measured offset falls from the one the responder plays,
// beside half the round trip the module measured.
void accuracy(PluginRig* rig, Responder* responder, const Options& o) {
  const AccuracyCase cases[] = {
      {"server 250 ms ahead, no delay", {250 * kMs, 0, 0}, o.accuracy_checks},
      {"server 1500 ms behind, no delay", {-1500 * kMs, 0, 0}, o.accuracy_checks},
      {"server 250 ms ahead, 10 ms each way", {250 * kMs, 10, 10}, o.delayed_checks},
      {"server 1500 ms behind, 20 ms out, 0 back", {-1500 * kMs, 20, 0}, o.delayed_checks},
  };
  heading("Accuracy: measured offset minus the server's offset, beside half the round trip (RTT/2)");
  CheckItem* item = add_item(rig, "127.0.0.1", kAlwaysMove);
  ClockReadings clock(rig);
  for (const AccuracyCase& c : cases) {
    serve(responder, c.clock);
    // A server whose replies all come later than before (a new route): the
    // first check asks four times and takes the new round trip as the usual.
    run_check(rig, item);
    Samples raw_error, text_error, bound;
    size_t raw_within = 0, text_within = 0, asked_again = 0;
    for (int i = 0; i < c.checks; ++i) {
      clock.clear();
      const CheckTiming t = run_check(rig, item);
      const std::vector<uint64_t> readings = clock.readings();
      const std::vector<uint8_t> reply = last_reply();
      if (check_failed(t)) continue;
      // A late reply, asked again: its T1 and T4 are not the first readings.
      if (std::count(rig->host.status_lines.begin(), rig->host.status_lines.end(), kStatusReceiving) > 1) {
        ++asked_again;
        continue;
      }
      if (readings.size() < 2 || reply.size() != kNtpPacketSize) {
        ++g_failures;
        continue;
      }
      // T1 and T4 are the module's own readings: just before sending, and after reading.
      const uint64_t t1 = readings[0], t4 = readings[1];
      const ReplyEvaluation e = evaluate_reply(reply.data(), reply.size(), kTestNonce, t1, t4, 0);
      const int64_t rtt = static_cast<int64_t>(t4 - t1) -
                          static_cast<int64_t>(read_timestamp(reply, 40) - read_timestamp(reply, 32));
      const double half_rtt_ms = static_cast<double>(rtt) / 2 / kMs;
      const double raw_ms = static_cast<double>(e.offset - c.clock.offset) / kMs;
      // The text must be the module's own offset in whole milliseconds: that
      // the readings taken here are its T1 and T4.
      int32_t text_ms = 0;
      if (!read_scanf_int(item->offset_text, &text_ms) || text_ms != e.offset / kMs) {
        ++g_failures;
        continue;
      }
      const double text_off_ms = text_ms - static_cast<double>(c.clock.offset / kMs);
      raw_error.add(raw_ms);
      text_error.add(text_off_ms);
      bound.add(half_rtt_ms);
      raw_within += std::fabs(raw_ms) <= half_rtt_ms;
      text_within += std::fabs(text_off_ms) <= half_rtt_ms + 1;  // the text counts whole milliseconds
    }
    const std::string rtt = format("RTT/2 median %.3f ms, max %.3f ms", bound.median(), bound.percentile(100));
    row(std::string(c.name) + ": raw offset", raw_error.size(),
        format("median %+.3f ms, worst %+.3f ms", raw_error.median(), raw_error.worst()), rtt,
        format("%u within RTT/2", static_cast<unsigned>(raw_within)));
    row(std::string(c.name) + ": offset_text", text_error.size(),
        format("median %+.0f ms, worst %+.0f ms", text_error.median(), text_error.worst()),
        asked_again != 0 ? format("%s asked again, not counted", count(asked_again).c_str()) : "",
        format("%u within RTT/2 + 1 ms", static_cast<unsigned>(text_within)));
  }
  serve(responder, ServerClock{});
  remove_items(rig);
}

// Replies held up on their way back: a thread of the benchmark sends each
// when it is due, so that the responder serves other requests meanwhile.
// Every delay is the same, so they fall due in the order they were held.
class HeldReplies {
 public:
  explicit HeldReplies(Responder* responder) : responder_(responder), thread_([this] { send_when_due(); }) {}
  ~HeldReplies() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    SetEvent(added_);
    thread_.join();
    CloseHandle(added_);
  }
  void hold(Datagram reply, const ReceivedRequest& request, DWORD ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.push_back({GetTickCount64() + ms, std::move(reply), request});
    SetEvent(added_);
  }

 private:
  struct Held {
    ULONGLONG due;
    Datagram reply;
    ReceivedRequest request;
  };
  void send_when_due() {
    for (;;) {
      DWORD wait = INFINITE;
      Held due{};
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        if (!held_.empty()) {
          const ULONGLONG now = GetTickCount64();
          wait = held_.front().due > now ? static_cast<DWORD>(held_.front().due - now) : 0;
          if (wait == 0) {
            due = std::move(held_.front());
            held_.pop_front();
          }
        }
      }
      if (wait == 0) {
        responder_->send_to(std::move(due.reply), due.request);
      } else {
        WaitForSingleObject(added_, wait);
      }
    }
  }
  Responder* responder_;
  HANDLE added_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::mutex mutex_;
  std::deque<Held> held_;
  bool stopping_ = false;
  std::thread thread_;  // last: it starts once the rest is made
};

// One reply in ten held up 200 ms on its way back, the server's clock the
// same as ours: how often a check alerts from nothing, how many requests a
// check sends, and how far it would step the clock. The checks start 2 ms
// apart, each reply handled as it comes, and run together; the host ticks
// every 250 ms, so that the 2 s before a second request costs seconds, not
// minutes.
void late_replies(PluginRig* rig, Responder* responder, FloorRig* floor, const Options& o) {
  Samples bare;
  for (int i = 0; i < 100; ++i) {
    const TripTiming t = run_trip(floor);
    if (t.done) bare.add(t.total_us);
  }
  const double limit_ms = bare.percentile(0.01) / 1000 / 2 + 1;  // the shortest round trip / 2 + 1 ms
  // What the server saw, by the port each item's socket sends from: the
  // requests, and the replies it held up.
  struct Seen {
    std::mutex mutex;
    unsigned served = 0;
    std::map<u_short, int> requests, held;
  };
  auto seen = std::make_shared<Seen>();
  HeldReplies held(responder);
  responder->answer_each([seen, &held](const ReceivedRequest& request) {
    const uint64_t now = system_now();
    Datagram reply{reply_datagram(now, now)};
    std::lock_guard<std::mutex> lock(seen->mutex);
    ++seen->requests[request.from.sin_port];
    if (seen->served++ % 10 != 9) return std::vector<Datagram>{reply};
    ++seen->held[request.from.sin_port];
    held.hold(std::move(reply), request, 200);
    return std::vector<Datagram>{};
  });
  set_tick_period(rig, 250);
  heading("One reply in ten 200 ms late on its way back, the server's clock the same: checks started one after another");
  const struct {
    const char* name;
    const char* options;
    bool measures;
  } modes[] = {{"measuring only, threshold 50 ms", "0;50;0;1;", true},
               {"setting the clock, threshold 0", "0;0;0;", false}};
  for (const auto& mode : modes) {
    for (int i = 0; i < o.late_checks; ++i) add_item(rig, "127.0.0.1", mode.options);
    take_step_errors();
    const size_t ended = rig->ended, first_end = rig->host.check_ends.size();
    std::map<const CheckItem*, u_short> ports;  // each check's socket sends from its own port
    for (CheckItem* item : rig->host.items) {
      rig->api.initialize(rig->host.window, item);
      rig->api.init_item(rig->host.window, item);
      rig->api.start(rig->host.window, item);
      sockaddr_in mine{};
      int length = sizeof mine;
      getsockname(static_cast<SOCKET>(item->socket), reinterpret_cast<sockaddr*>(&mine), &length);
      ports[item] = mine.sin_port;
      // A host checks its items in turn, not all in one instant: each reply
      // is handled as it comes, not after the host's own work on the next.
      pump_messages_until([] { return false; }, 2);
    }
    pump_messages_until([&] { return rig->ended >= ended + rig->host.items.size(); }, 60000);
    size_t alarms = 0, requests = 0, prompt = 0, prompt_requests = 0;
    for (CheckItem* item : rig->host.items) {
      int ends = 0;
      for (size_t e = first_end; e < rig->host.check_ends.size(); ++e) {
        if (rig->host.check_ends[e].item != item) continue;
        ++ends;
        alarms += rig->host.check_ends[e].result == CHECK_CHANGED;
      }
      g_failures += ends != 1;
      std::lock_guard<std::mutex> lock(seen->mutex);
      const auto asked = static_cast<size_t>(seen->requests[ports[item]]);
      const bool late = seen->held[ports[item]] != 0;
      requests += asked;
      prompt += !late;
      prompt_requests += late ? 0 : asked;
    }
    {
      std::lock_guard<std::mutex> lock(seen->mutex);  // ports are used again by the next sockets
      seen->requests.clear();
      seen->held.clear();
    }
    const size_t n = rig->host.items.size();
    remove_items(rig);
    const std::string requests_row = format("requests per check, %s", mode.name);
    row(requests_row, n, format("%.2f", static_cast<double>(requests) / static_cast<double>(n)),
        format("%.2f where no reply was late (%s checks)",
               prompt != 0 ? static_cast<double>(prompt_requests) / static_cast<double>(prompt) : 0.0,
               count(prompt).c_str()),
        "");
    if (mode.measures) {
      row(format("false alarms, %s", mode.name), n, format("%s of %s", count(alarms).c_str(), count(n).c_str()),
          format("%s checks had a late reply", count(n - prompt).c_str()), "");
      continue;
    }
    Samples error;
    for (int64_t e : take_step_errors()) error.add(std::fabs(static_cast<double>(e) / kMs));
    row(format("step error p50 / p99, %s", mode.name), error.size(),
        format("%.3f / %.3f ms", error.median(), error.percentile(99)),
        format("%.3f ms: the shortest round trip / 2 + 1 ms", limit_ms), ratio(error.percentile(99), limit_ms));
  }
  set_tick_period(rig, 1000);
  serve(responder, ServerClock{});  // before `held` goes, whose replies the old answers send
}

// The address cache: its own lookups, and a check whose server is found in
// it beside one that has to look the name up.
void address_cache(PluginRig* rig, const Options& o) {
  heading("Address cache: one lookup (median), the cache's objects linked into this program");
  for (const CacheLookupCost& c : measure_address_cache({10, 1000, 10000}, o.cache_lookups)) {
    row(format("%s names", count(c.names).c_str()), static_cast<size_t>(o.cache_lookups),
        format("first %s, last %s, absent %s", duration(c.first_us).c_str(), duration(c.last_us).c_str(),
               duration(c.miss_us).c_str()),
        format("%.3f us per name passed", (c.miss_us - c.first_us) / static_cast<double>(c.names - 1)), "");
  }

  // A new module for each check that looks the name up: its cache starts
  // empty. The next check finds the name in the cache.
  CheckItem* named = add_item(rig, "localhost", kSkipSmallOffsets);
  CheckItem* dotted = add_item(rig, "127.0.0.1", kSkipSmallOffsets);
  Samples lookup, cached, plain;
  for (int i = 0; i < o.lookup_checks; ++i) {
    std::string error;
    if (!reload_plugin(rig, &error)) {  // nothing more can run without the module
      std::fprintf(stderr, "sntp_bench: %s\n", error.c_str());
      std::exit(1);
    }
    const CheckTiming first = run_check(rig, named);
    const CheckTiming second = run_check(rig, named);
    const CheckTiming third = run_check(rig, dotted);
    if (!check_failed(first)) lookup.add(first.total_us);
    if (!check_failed(second)) cached.add(second.total_us);
    if (!check_failed(third)) plain.add(third.total_us);
  }
  remove_items(rig);
  heading("Checks of \"localhost\" (SNTP_Start to MSG_CHECK_END, medians), beside checks of 127.0.0.1");
  row("found in the cache", cached.size(), duration(cached.median()), duration(plain.median()) + " dotted address",
      ratio(cached.median(), plain.median()));
  row("looked up first", lookup.size(), duration(lookup.median()), duration(cached.median()) + " found in the cache",
      ratio(lookup.median(), cached.median()));
}

// Where a check's time goes: the segments of the latency run beside the
// floor's; the time inside the module's imports, wrapped through its import
// table; and single calls of the kind a status line makes, from the host.
void profile(PluginRig* rig, const Options& o, const Segments& check, const Segments& trip) {
  std::vector<Row> segments;
  auto add = [&](const char* what, const Samples& c, const char* floor_what, const Samples& t) {
    segments.push_back({what, count(c.size()), duration(c.median()),
                        std::string(floor_what) + " " + duration(t.median()), ratio(c.median(), t.median())});
  };
  add("SNTP_Start until it returns", check.first, "socket, WSAAsyncSelect, sendto", trip.first);
  add("its return to the reply's notification", check.wait, "sendto to the notification", trip.wait);
  add("the notification to MSG_CHECK_END", check.last, "recvfrom", trip.last);
  add("whole check", check.total, "whole round trip", trip.total);
  std::printf("\nWhere a check's time goes (medians of the latency run)\n");
  print_table(segments, Row{"segment", "n", "sntp.dll", "floor", "ratio"});

  // The same checks twice: leaving the clock alone, and moving it.
  std::vector<ImportCost> costs[2];
  Samples wrapped[2];
  const char* options[2] = {kSkipSmallOffsets, kAlwaysMove};
  for (int kind = 0; kind < 2; ++kind) {
    CheckItem* item = add_item(rig, "127.0.0.1", options[kind]);
    run_check(rig, item);
    ImportProfile imports(rig);
    for (int i = 0; i < o.checks; ++i) {
      const CheckTiming t = run_check(rig, item);
      if (!check_failed(t)) wrapped[kind].add(t.total_us);
    }
    costs[kind] = imports.costs();
    remove_items(rig);
  }
  std::vector<Row> imports;
  double inside[2] = {};
  for (size_t i = 0; i < costs[0].size() && i < costs[1].size(); ++i) {
    const double alone = costs[0][i].total_us / o.checks, moved = costs[1][i].total_us / o.checks;
    inside[0] += alone;
    inside[1] += moved;
    imports.push_back({costs[0][i].name,
                       format("%.1f / %.1f", static_cast<double>(costs[0][i].calls) / o.checks,
                              static_cast<double>(costs[1][i].calls) / o.checks),
                       duration(alone), duration(moved), ""});
  }
  imports.push_back({"all of the above", "", duration(inside[0]), duration(inside[1]), ""});
  imports.push_back({"whole check, imports wrapped (median)", "", duration(wrapped[0].median()),
                     duration(wrapped[1].median()), ""});
  std::printf("\nTime inside the module's imports per check, SNTP_Start to SNTP_ItemCheckEnd (mean of %s checks)\n",
              count(static_cast<size_t>(o.checks)).c_str());
  print_table(imports, Row{"import", "calls", "clock left alone", "clock moved", ""});

  // What a status line and the module's other small habits cost, timed from
  // the host thread with the same calls.
  const HWND window = rig->host.window;
  const char line[] = "status";
  const struct {
    const char* what;
    std::function<void()> call;
  } pieces[] = {
      {"GetDlgItem(host window, 103)", [&] { GetDlgItem(window, STATUS_BAR_ID); }},
      {"SendMessageA(status bar, SB_SETTEXTA)",
       [&] { SendMessageA(rig->host.status_bar, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(line)); }},
      {"SendDlgItemMessageA(host window, 103, SB_SETTEXTA)",
       [&] { SendDlgItemMessageA(window, STATUS_BAR_ID, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(line)); }},
      {"GlobalAlloc of 8 KiB zero-filled, GlobalFree", [] { GlobalFree(GlobalAlloc(GPTR, 8192)); }},
  };
  std::vector<Row> calls;
  for (const auto& piece : pieces) {
    Samples s;
    for (int i = 0; i < o.checks; ++i) {
      const int64_t start = ticks_now();
      piece.call();
      s.add(ticks_to_us(ticks_now() - start));
    }
    calls.push_back({piece.what, count(s.size()), duration(s.median()), "", ""});
  }
  rig->host.status_lines.clear();
  std::printf("\nSingle calls from the host thread (medians)\n");
  print_table(calls, Row{"call", "n", "time", "", ""});
}

bool read_count(const char* text, int* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 1 || v > 1000000) return false;
  *out = static_cast<int>(v);
  return true;
}

bool parse(int argc, char** argv, Options* o) {
  const struct {
    const char* name;
    int* value;
  } counts[] = {
      {"--checks", &o->checks},
      {"--items", &o->items},
      {"--rounds", &o->rounds},
      {"--accuracy-checks", &o->accuracy_checks},
      {"--delayed-checks", &o->delayed_checks},
      {"--late-checks", &o->late_checks},
      {"--lookup-checks", &o->lookup_checks},
      {"--cache-lookups", &o->cache_lookups},
      {"--chrony-port", &o->chrony_port},
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      *o = Options{20, 50, 1, 5, 3, 20, 3, 3, o->chrony_port, o->profile};
      continue;
    }
    if (arg == "--profile") {
      o->profile = true;
      continue;
    }
    bool known = false;
    for (const auto& c : counts) {
      if (arg != c.name) continue;
      if (i + 1 >= argc || !read_count(argv[++i], c.value)) return false;
      known = true;
    }
    if (!known) return false;
  }
  return o->chrony_port <= 65535;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: sntp_bench [--quick] [--profile] [--checks N] [--items N] [--rounds N]\n"
                 "                  [--accuracy-checks N] [--delayed-checks N] [--late-checks N] [--lookup-checks N]\n"
                 "                  [--cache-lookups N] [--chrony-port N]\n");
    return 2;
  }
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(1, 1), &wsa) != 0) {
    std::fprintf(stderr, "sntp_bench: Windows Sockets did not start\n");
    return 1;
  }
  Responder responder;
  PluginRig rig;
  FloorRig floor;
  std::string error;
  if (!responder.start()) error = "the responder cannot bind 127.0.0.1";
  if (error.empty()) serve(&responder, ServerClock{});
  if (error.empty() && !open_rig(&rig, responder.port(), &error)) error = "sntp.dll: " + error;
  if (error.empty() && !open_floor(&floor, responder.port())) error = "cannot create the floor's window";
  if (!error.empty()) {
    std::fprintf(stderr, "sntp_bench: %s\n", error.c_str());
    return 1;
  }
  std::printf("sntp_bench: %s, responder on 127.0.0.1:%u in this process\n\n", plugin_path().c_str(),
              static_cast<unsigned>(responder.port()));
  std::fflush(stdout);

  Segments check, trip;
  latency(&rig, &floor, o, &check, &trip);
  if (o.chrony_port != 0) chrony_latency(&rig, o);
  many_items(&rig, &floor, o);
  accuracy(&rig, &responder, o);
  late_replies(&rig, &responder, &floor, o);
  address_cache(&rig, o);
  print_table(g_rows, Row{"figure", "n", "sntp.dll", "beside it", "ratio"});
  if (o.profile) profile(&rig, o, check, trip);

  close_floor(&floor);
  close_rig(&rig);
  responder.stop();
  WSACleanup();
  std::printf("\nclock changes asked for (recorded, none made): %u\n", static_cast<unsigned>(rig.clock_moves));
  if (g_failures != 0) std::printf("checks or round trips that did not end as they should: %d\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}

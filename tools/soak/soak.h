// The soak's shared state and its parts: traffic.cpp (the SMT clients that
// load the agent), watch.cpp (the watched file and the collector of result
// files), ledger.h (which hits count as lost, twice or unexpected) and
// main.cpp (the agent, its figures, the report and the verdict). The threads
// share one Soak: counters and flags are atomics, the ledger and the failure
// list guard themselves with their mutexes.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "tools/soak/conn.h"
#include "tools/soak/ledger.h"

namespace soak {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// A line may take a scan, a reload and a rotation to reach a fetched result
// file, with room for a slow (sanitizer) build.
const Ms kHitBound((2 * (kRfilettl + kFacilityupdt) + 15) * 1000);

// clang-format off
enum Stat {
  // replies received, by request
  kEcho, kEchoV1, kUnknownVerb, kLwlistf, kLwreadf, kLwwritef, kLwremovef, kLwlistlog, kLwgetlog,
  kHostileServed, kProberServed,
  // closes by design
  kBusy, kBusyHostile, kIdleClosed, kMalformedClosed, kVanished, kUnauthorized,
  // errors
  kErrConnect, kErrNoReply, kErrReply, kErrAnswered, kErrKeptOpen, kErrSlowRefusal, kStatCount
};
const int kFirstClosed = kBusy, kFirstError = kErrConnect;
inline const char* const kStatNames[kStatCount] = {
    "echo", "echo (SMTF )", "unknown verb", "lwlistf", "lwreadf", "lwwritef", "lwremovef",
    "lwlistlog", "lwgetlog", "hostile, well-formed", "surplus, let in",
    "server too busy", "server too busy (hostile)", "idle", "malformed", "vanished mid-frame",
    "unauthorized",
    "connect failed", "no reply", "wrong reply", "malformed frame answered",
    "malformed frame left open", "refusal not at once"};
// clang-format on

struct Soak {
  uint16_t port = 0;
  int seconds = 60;
  std::string watched, soak_facility;  // the watched file, the facility's text

  std::atomic<bool> traffic_stop{false};  // the clients end
  std::atomic<bool> writer_done{false};   // the collector ends after the writer
  std::atomic<bool> abort{false};         // the agent is gone: everything ends
  std::atomic<unsigned long long> stats[kStatCount] = {};
  std::atomic<unsigned long long> bytes_written{0}, slowest_refusal_ms{0};
  Ledger ledger;

  std::mutex mu;
  std::vector<std::string> failures;  // the first three texts of each kind of error
  int samples[kStatCount] = {};

  void count(Stat s) { stats[s].fetch_add(1, std::memory_order_relaxed); }
  unsigned long long get(int s) const { return stats[s].load(std::memory_order_relaxed); }
  void error(Stat s, const std::string& what) {
    count(s);
    std::lock_guard<std::mutex> lock(mu);
    if (++samples[s] <= 3) failures.push_back(kStatNames[s] + (": " + what));
  }
  void fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(mu);
    failures.push_back(why);
  }
  bool aborted() const { return abort.load(std::memory_order_acquire); }
  bool traffic_over() const { return traffic_stop.load(std::memory_order_acquire) || aborted(); }
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void sleep_ms(int ms);
// Text that the agent passes through as it is: letters, digits, blanks,
// punctuation, '%' (hits are formatted with it), a tab and UTF-8.
std::string filler(std::mt19937_64& rng, size_t n);
// A request closed unanswered: the first of a connection was refused by a
// full pool, one after half a second of silence may have been idle too long.
void no_reply(Soak& k, Outcome o, bool first, double silent_ms, const std::string& what);

// traffic.cpp: the pool of 10 holds the mixed clients, the collector and the
// hostile clients; the prober is the one too many.
const int kMixedClients = 7, kHostileClients = 2;
void mixed_client(Soak& k, int id);
void hostile_client(Soak& k, int id);
void prober(Soak& k);
// watch.cpp
void collector(Soak& k);
void writer(Soak& k);

}  // namespace soak

// The soak's shared state and its parts: traffic.cpp (the SMT clients that
// load the agent), watch.cpp (the watched file and the fetch of result
// files), ledger.h (which hits count as lost, twice or unexpected) and
// main.cpp (the agent, the figures, the report and the verdict). The threads
// share one Soak: counters and flags are atomics, the ledger and the failure
// list guard themselves with their mutexes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "tools/soak/conn.h"
#include "tools/soak/ledger.h"

namespace soak {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// The agent's short periods: result files rotate every 2 s, facility files
// are reloaded every second.
const int kRfilettl = 2;
const int kFacilityupdt = 1;
// How long a line may take from the watched file into a fetched result file:
// a scan, a reload, a rotation, with room for a slow (sanitizer) build.
const Ms kHitBound((2 * (kRfilettl + kFacilityupdt) + 15) * 1000);

// clang-format off
enum Stat {
  // replies received, by request
  kEcho, kEchoV1, kUnknownVerb, kLwlistf, kLwreadf, kLwwritef, kLwremovef, kLwlistlog, kLwgetlog,
  kHostileServed, kProberServed,
  // closes by design
  kBusy, kBusyHostile, kIdleClosed, kMalformedClosed, kVanished, kUnauthorized,
  // errors
  kErrConnect, kErrClosed, kErrTimeout, kErrFrame, kErrReply, kErrAnswered, kErrKeptOpen,
  kErrResultGone, kErrSlowRefusal, kStatCount
};
const int kFirstClosed = kBusy, kFirstError = kErrConnect;

inline const char* const kStatNames[kStatCount] = {
    "echo", "echo (SMTF )", "unknown verb", "lwlistf", "lwreadf", "lwwritef", "lwremovef",
    "lwlistlog", "lwgetlog", "hostile, well-formed", "surplus, let in",
    "server too busy", "server too busy (hostile)", "idle", "malformed", "vanished mid-frame",
    "unauthorized",
    "connect failed", "closed without reply", "no reply in time", "reply frame unreadable",
    "wrong reply", "malformed frame answered", "malformed frame left open",
    "listed result file gone", "refusal not at once"};
// clang-format on

struct Soak {
  uint16_t port = 0;
  int seconds = 60;
  std::string watched;        // the watched file
  std::string soak_facility;  // content of soak.facility

  std::atomic<bool> traffic_stop{false};  // the clients end
  std::atomic<bool> writer_done{false};   // the collector ends after the writer
  std::atomic<bool> abort{false};         // the agent is gone: everything ends
  std::atomic<uint64_t> stats[kStatCount] = {};
  std::atomic<uint64_t> bytes_written{0};
  std::atomic<uint64_t> slowest_refusal_ms{0};  // of a surplus connection

  Ledger ledger;

  std::mutex mu;
  std::vector<std::string> failures;
  std::map<int, int> samples;  // errors kept as text, by kind

  void count(Stat s) { stats[s].fetch_add(1, std::memory_order_relaxed); }
  uint64_t get(int s) const { return stats[s].load(std::memory_order_relaxed); }
  void fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(mu);
    if (failures.size() < 40) failures.push_back(why);
  }
  // An error of a kind that is counted; the first three texts are kept.
  void error(Stat s, const std::string& what) {
    count(s);
    std::lock_guard<std::mutex> lock(mu);
    if (++samples[s] <= 3) failures.push_back(kStatNames[s] + (": " + what));
  }
  bool aborted() const { return abort.load(std::memory_order_acquire); }
  bool traffic_over() const { return traffic_stop.load(std::memory_order_acquire) || aborted(); }
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void sleep_ms(int ms);
// Text that the agent passes through as it is: letters, digits, blanks,
// punctuation, '%' (hits are formatted with it), a tab and UTF-8.
std::string filler(std::mt19937_64& rng, size_t n);
Stat error_of(Outcome o);

// traffic.cpp: the pool of 10 is filled by kMixedClients, the collector and
// kHostileClients; the prober is the one too many.
const int kMixedClients = 7;
const int kHostileClients = 2;
void mixed_client(Soak& k, int id);
void hostile_client(Soak& k, int id);
void prober(Soak& k);

// watch.cpp
enum class Collected { kDone, kNoListing, kBroken };
Collected collect(Soak& k, Conn& c);
// A request closed unanswered: the first of a connection was refused by a
// full pool, one after half a second of silence may have been idle too long.
void no_reply(Soak& k, Outcome o, bool first, double silent_ms, const std::string& what);
void collector(Soak& k);
void writer(Soak& k);

}  // namespace soak

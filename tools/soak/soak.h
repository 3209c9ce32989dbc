// The soak's shared state and its parts: traffic.cpp (the SMT clients that
// load the agent), watch.cpp (the watched file, its result files and the
// ledger that judges them) and main.cpp (the agent, its figures, the report
// and the verdict). The threads share one Soak: counters and flags are
// atomics, the failure list guards itself with its mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/soak/conn.h"
#include "tools/soak/ledger.h"

namespace soak {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// clang-format off
enum Stat {
  kServed, kHostileServed, kProberServed,  // replies as due
  kBusy, kBusyHostile, kIdleClosed, kMalformedClosed, kVanished, kUnauthorized,  // closes by design
  kErrors, kStatCount
};
inline const char* const kStatNames[kStatCount] = {
    "mixed", "hostile", "surplus", "server too busy", "too busy (hostile)", "idle", "malformed",
    "vanished mid-frame", "unauthorized", "errors"};
// clang-format on

struct Soak {
  uint16_t port = 0;
  int seconds = 60;
  std::string watched, soak_facility;  // the watched file, the facility's text

  std::atomic<bool> traffic_stop{false};  // the clients end
  std::atomic<bool> watch_done{false};    // the watch saw its final line (or gave up)
  std::atomic<bool> abort{false};         // the agent is gone: everything ends
  std::atomic<unsigned long long> stats[kStatCount] = {};
  std::atomic<unsigned long long> bytes_written{0};
  Ledger ledger;  // the watch thread's until it ends

  std::mutex mu;
  std::vector<std::string> failures;

  void count(Stat s) { stats[s].fetch_add(1, std::memory_order_relaxed); }
  unsigned long long get(int s) const { return stats[s].load(std::memory_order_relaxed); }
  // Counted, the first ten texts kept.
  void error(const std::string& what) {
    std::lock_guard<std::mutex> lock(mu);
    if (stats[kErrors].fetch_add(1) < 10) failures.push_back(what);
  }
  bool aborted() const { return abort.load(std::memory_order_acquire); }
  bool traffic_over() const { return traffic_stop.load(std::memory_order_acquire) || aborted(); }
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
inline void sleep_ms(int ms) {
  std::this_thread::sleep_for(Ms(ms));
}
// Text that the agent passes through as it is: letters, digits, blanks,
// punctuation, '%' (hits are formatted with it), a tab and UTF-8.
std::string filler(std::mt19937_64& rng, size_t n);
// One request and its reply. The first request of a connection closed
// unanswered was refused by a full pool; anything else unanswered is an
// error.
bool ask(Soak& k, Conn& c, const std::string& head, const std::string& body = "",
         uint8_t version = 2);

// traffic.cpp: the pool of 10 holds the mixed clients, the watch's
// collecting connection and the hostile clients; the prober is one too many.
const int kMixedClients = 7, kHostileClients = 2;
void mixed_client(Soak& k, int id);
void hostile_client(Soak& k, int id);
void prober(Soak& k);
// watch.cpp: writes the watched file and fetches the result files until
// its final line was reported.
void watch(Soak& k);

}  // namespace soak

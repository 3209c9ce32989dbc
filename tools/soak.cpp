// vardo-soak: keeps a live agent busy for a given time with well-formed,
// malformed and surplus SMT connections while a watched file grows and is
// rotated by truncation, then checks that the agent is still alive, gave back
// its descriptors, threads and memory, and reported every line that matched
// its filter exactly once. See usage() and the README's "Soak test".
//
// Threads of this program: the main thread (agent start and stop, figures,
// final checks), one writer of the watched file, one collector of result
// files, the mixed-request clients, the hostile clients and the surplus
// prober. They share the Soak record: counters are atomics, the hit ledger
// and the failure list are guarded by their mutexes.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "klib/kerror.h"
#include "klib/kstring.h"
#include "net/ksocket.h"
#include "net/smt_frame.h"
#include "tests/support/live_agent.h"
#include "tools/soak_ledger.h"

namespace {

using soak::Ledger;
using soak::split_lines;
namespace fs = std::filesystem;
using liveagent::read_text;
using liveagent::write_text;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

const int kExitPass = 0;
const int kExitFail = 1;
const int kExitUsage = 2;

// The agent's pool holds 10 connections: 7 mixed clients, the collector and
// 2 hostile clients fill it; the prober is the one too many.
const int kMixedClients = 7;
const int kHostileClients = 2;
const uint32_t kIoTimeoutMs = 10000;  // a reply later than this is an error
const uint32_t kPage = 4096;
// Settings of a self-started agent: short periods, so that result files
// rotate every 2 s and facility files are reloaded every second.
const int kOwnRfilettl = 2;
const int kOwnFacilityupdt = 1;
const double kDefaultRssBoundMib = 24;

void usage(FILE* out) {
  fprintf(out,
          "usage: vardo-soak [-d SECONDS] [-m MIB] [-s SECONDS] [-k] -x EXE\n"
          "       vardo-soak [-d SECONDS] [-m MIB] [-s SECONDS] [-T TTL] [-U UPDT] [-w DIR]\n"
          "                  -p PID HOST:PORT\n"
          "\n"
          "Runs SMT traffic against an agent for SECONDS (default 60): %d connections\n"
          "of mixed requests (echo, lwlistf, lwreadf, lwwritef, lwremovef), one that\n"
          "fetches result files (lwlistlog, lwgetlog), %d that send malformed, truncated,\n"
          "slow and abandoned frames, and one more that keeps trying to get in while\n"
          "the pool of 10 is full. Meanwhile a watched file grows (lines with unique\n"
          "sequence numbers, a quarter of them matching the facility \"soak\") and is\n"
          "rotated by truncation. Then it reports requests served, errors by kind, the\n"
          "agent's descriptors, threads and RSS at start and end, and the hits written\n"
          "against the lines that should have matched.\n"
          "\n"
          "  -x EXE      copy EXE into a temporary directory with its own vardo.conf\n"
          "              (listener 127.0.0.1:0, lwatch.rfilettl = %d, lwatch.facilityupdt =\n"
          "              %d), start it, and stop it with SIGINT at the end\n"
          "  -p PID      soak the running agent PID, listening on HOST:PORT; its\n"
          "              result files are fetched (and so deleted), and the facility\n"
          "              files soak and soakmix0..%d are written and removed\n"
          "  -T TTL      the running agent's lwatch.rfilettl (default 60)\n"
          "  -U UPDT     the running agent's lwatch.facilityupdt (default 5)\n"
          "  -w DIR      directory for the watched file of a running agent (default\n"
          "              $TMPDIR or /tmp); the agent must be able to read it\n"
          "  -d SECONDS  length of the traffic (default 60)\n"
          "  -m MIB      bound on the agent's RSS growth from start to end (default %g)\n"
          "  -s SECONDS  how long idle connections get to close before the end figures\n"
          "              are taken (default 10)\n"
          "  -k          keep the temporary directory\n"
          "  -h          print this text\n"
          "\n"
          "Exit status 0 when everything held; 1 with the reasons when the agent\n"
          "crashed or exited, held more descriptors or threads at the end than at the\n"
          "start, grew its RSS by more than the bound, lost or duplicated a hit,\n"
          "answered wrongly or not at all, logged a critical or an unexpected warning\n"
          "line, or (with -x) did not exit 0 on SIGINT; 2 for wrong arguments or a\n"
          "failed setup.\n",
          kMixedClients, kHostileClients, kOwnRfilettl, kOwnFacilityupdt, kMixedClients - 1,
          kDefaultRssBoundMib);
}

struct Options {
  std::string exe;  // -x
  pid_t pid = 0;    // -p
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  int seconds = 60;
  double rss_bound_mib = kDefaultRssBoundMib;
  int settle_seconds = 10;
  int rfilettl = 60;
  int facilityupdt = 5;
  std::string watch_dir;
  bool keep = false;
};

// ---- counters ----

enum Stat {
  // replies received, by request
  kEcho,
  kEchoV1,
  kUnknownVerb,
  kLwlistf,
  kLwreadf,
  kLwwritef,
  kLwremovef,
  kLwlistlog,
  kLwgetlog,
  kHostileServed,
  kProberServed,
  // expected refusals and closes
  kBusyMixed,
  kBusyProber,
  kBusyHostile,
  kIdleClosed,
  kMalformedClosed,
  kVanished,
  kUnauthorized,
  // connections made
  kConnMixed,
  kConnCollector,
  kConnHostile,
  kConnProber,
  // errors
  kErrConnect,
  kErrClosed,
  kErrTimeout,
  kErrFrame,
  kErrReply,
  kErrAnswered,
  kErrKeptOpen,
  kErrResultGone,
  kErrSlowRefusal,
  kStatCount
};

const char* const kStatNames[kStatCount] = {
    "echo",
    "echo (SMTF )",
    "unknown verb",
    "lwlistf",
    "lwreadf",
    "lwwritef",
    "lwremovef",
    "lwlistlog",
    "lwgetlog",
    "hostile, well-formed",
    "surplus, let in",
    "mixed",
    "surplus",
    "hostile",
    "idle connections closed",
    "malformed frames closed",
    "peers vanished mid-frame",
    "unauthorized peers closed",
    "mixed",
    "collector",
    "hostile",
    "surplus",
    "connect failed",
    "closed without reply",
    "no reply in time",
    "reply frame unreadable",
    "wrong reply",
    "malformed frame answered",
    "malformed frame left open",
    "listed result file gone",
    "refusal not at once",
};

const int kFirstServed = kEcho, kLastServed = kProberServed;
const int kFirstError = kErrConnect;

// ---- the figures of a process, from /proc ----

struct Figures {
  int fds = -1;
  int threads = -1;
  long rss_kib = -1;
};

Figures read_figures(pid_t pid) {
  Figures f;
  std::string base = "/proc/" + std::to_string(pid);
  if (DIR* d = opendir((base + "/fd").c_str())) {
    int n = 0;
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
    f.fds = n;
  }
  f.threads = static_cast<int>(liveagent::proc_status(pid, "Threads:"));
  f.rss_kib = liveagent::proc_status(pid, "VmRSS:");
  return f;
}

double mib(long kib) {
  return kib / 1024.0;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[1024];
  va_list args;
  va_start(args, fmt);
  vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

// ---- shared state ----

struct Soak {
  Options opt;
  bool live = false;
  uint16_t port = 0;
  pid_t pid = 0;
  std::string dir;            // temporary directory
  std::string watched;        // the watched file
  std::string soak_facility;  // content of soak.facility
  int rfilettl = 0, facilityupdt = 0;

  std::atomic<bool> traffic_stop{false};  // mixed, hostile and surplus clients end
  std::atomic<bool> writer_done{false};   // the collector ends after the writer
  std::atomic<bool> abort{false};         // the agent is gone: everything ends
  std::atomic<uint64_t> stats[kStatCount] = {};

  // Watched-file figures, written by the writer thread only.
  std::atomic<uint64_t> bytes_written{0};
  std::atomic<uint32_t> rotations{0};
  // The longest time from connecting to the close of a refused surplus
  // connection; written by the prober only.
  std::atomic<uint64_t> slowest_refusal_ms{0};

  Ledger ledger;

  std::mutex fail_mu;
  std::vector<std::string> failures;
  std::map<std::string, uint64_t> error_samples;

  void count(Stat s, uint64_t n = 1) { stats[s].fetch_add(n, std::memory_order_relaxed); }
  uint64_t get(Stat s) const { return stats[s].load(std::memory_order_relaxed); }
  void fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(fail_mu);
    if (failures.size() < 40) failures.push_back(why);
  }
  // An error of a kind that is counted; the first few texts are kept.
  void error(Stat s, const std::string& what) {
    count(s);
    std::lock_guard<std::mutex> lock(fail_mu);
    if (++error_samples[kStatNames[s]] <= 3) failures.push_back(kStatNames[s] + (": " + what));
  }
  bool aborted() const { return abort.load(std::memory_order_acquire); }
  bool traffic_over() const { return traffic_stop.load(std::memory_order_acquire) || aborted(); }
  // How long a line may take from the watched file into a fetched result
  // file: a scan, a reload, a rotation, with room for a slow (sanitizer) build.
  Ms hit_bound() const { return Ms((2 * (rfilettl + facilityupdt) + 15) * 1000); }
};

void sleep_ms(int ms) {
  std::this_thread::sleep_for(Ms(ms));
}

// ---- one SMT connection ----

enum class Outcome { kReply, kClosed, kTimeout, kBadFrame };

class Conn {
 public:
  Conn() {
    ksocket_init(&sock_);
    smt_message_init(&req_);
    smt_message_init(&rep_);
  }
  ~Conn() {
    close();
    smt_message_free(&rep_);
    smt_message_free(&req_);
  }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  bool is_open() const { return open_; }

  // Connects (from the local address from, when given); false when refused
  // or not done within the time-out.
  bool connect(const Soak& k, const char* from = nullptr) {
    close();
    kstring host;
    kstring_init(&host);
    kstring_assign_cstr(&host, k.opt.host.c_str());
    uint32_t rc = ksocket_create_tcp(&sock_);
    if (rc == 0 && from) {
      kstring local;
      kstring_init(&local);
      kstring_assign_cstr(&local, from);
      rc = ksocket_bind(&sock_, &local, 0);
      kstring_free(&local);
      if (rc) ksocket_close(&sock_);
    }
    if (rc == 0) {
      ksocket_set_nonblocking(&sock_);
      rc = ksocket_connect(&sock_, &host, k.port);
      if (rc == KERR_INPROGRESS || rc == KERR_WOULDBLOCK) {
        rc = ksocket_wait(&sock_, KSOCKET_WRITE, kIoTimeoutMs);
        // Writable also means failed: only a connected socket has a peer.
        kstring peer;
        kstring_init(&peer);
        uint16_t peer_port = 0;
        if (rc == 0) rc = ksocket_peer_name(&sock_, &peer, &peer_port);
        kstring_free(&peer);
      }
      if (rc) ksocket_close(&sock_);
    }
    kstring_free(&host);
    open_ = rc == 0;
    requests_ = 0;
    return open_;
  }

  // A reset closes at once, unread data or not, as a peer that crashed.
  void close(bool reset = false) {
    if (!open_) return;
    if (reset) ksocket_set_linger(&sock_, 0);
    ksocket_close(&sock_);
    open_ = false;
  }

  // One request and its reply.
  Outcome ask(const std::string& head, const std::string& body = "", uint8_t version = 2) {
    smt_message_clear(&req_);
    req_.version = version;
    kstring_assign_bytes(&req_.head, head.data(), static_cast<uint32_t>(head.size()));
    kstring_assign_bytes(&req_.body, body.data(), static_cast<uint32_t>(body.size()));
    ++requests_;
    uint32_t rc = smt_frame_write(&req_, &sock_, kIoTimeoutMs);
    if (rc == 0) return read_reply();
    close();
    return rc == KERR_TIMEOUT ? Outcome::kTimeout : Outcome::kClosed;
  }

  Outcome read_reply() {
    smt_message_clear(&rep_);
    uint32_t rc = smt_frame_read(&rep_, &sock_, kIoTimeoutMs);
    if (rc == 0) return Outcome::kReply;
    close();
    if (rc == KERR_TIMEOUT) return Outcome::kTimeout;
    if (rc == KERR_SMT_FRAME || rc == KERR_SMT_SIZE || rc == KERR_NOMEM) return Outcome::kBadFrame;
    return Outcome::kClosed;
  }

  bool send_raw(const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
      if (ksocket_wait(&sock_, KSOCKET_WRITE, kIoTimeoutMs) != 0) return false;
      uint32_t n = static_cast<uint32_t>(bytes.size() - at);
      if (ksocket_send(&sock_, bytes.data() + at, &n) != 0) return false;
      at += n;
    }
    return true;
  }

  // Waits up to ms for the peer to close; bytes that arrive meanwhile go to
  // *data. True when it closed.
  bool wait_closed(uint32_t ms, std::string* data) {
    auto end = Clock::now() + Ms(ms);
    char buf[4096];
    for (;;) {
      auto left = std::chrono::duration_cast<Ms>(end - Clock::now()).count();
      if (left <= 0) return false;
      uint32_t rc = ksocket_wait(&sock_, KSOCKET_READ, static_cast<uint32_t>(left));
      if (rc == KERR_TIMEOUT) return false;
      uint32_t n = sizeof buf;
      if (rc != 0 || ksocket_recv(&sock_, buf, &n) != 0) {
        close();
        return true;
      }
      data->append(buf, n);
    }
  }

  std::string status() const { return std::string(kstring_text(&rep_.head), rep_.head.length); }
  std::string body() const { return std::string(kstring_text(&rep_.body), rep_.body.length); }
  uint8_t reply_version() const { return rep_.version; }
  int requests() const { return requests_; }

 private:
  ksocket sock_;
  bool open_ = false;
  int requests_ = 0;
  smt_message req_;
  smt_message rep_;
};

std::string frame(int version, const std::string& head, const std::string& body,
                  size_t announced_body = SIZE_MAX) {
  char header[40];
  size_t body_len = announced_body == SIZE_MAX ? body.size() : announced_body;
  snprintf(header, sizeof header, "%s%05zu%0*zu", version == 1 ? "SMTF " : "SMTF2", head.size(),
           version == 1 ? 5 : 8, body_len);
  return header + head + body;
}

// Text that the agent passes through as it is: letters, digits, blanks,
// punctuation, '%' (the hit is formatted with it), a tab and UTF-8.
std::string filler(std::mt19937_64& rng, size_t n) {
  static const char kChars[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789    .,:;=-_/()%\t";
  std::string s;
  s.reserve(n + 2);
  while (s.size() < n) {
    if (rng() % 200 == 0) {
      s += "\xc3\xa9";  // é
      continue;
    }
    s += kChars[rng() % (sizeof kChars - 1)];
  }
  return s;
}

// ---- result collection ----

enum class Collected { kDone, kNoListing, kBroken };

// Lists the finished result files and fetches each one not yet taken. A
// listing that got no reply is left to the caller to judge (a refusal of a
// full pool, or an error); a fetch that got none is counted as an error.
Collected collect(Soak& k, Conn& c) {
  uint64_t listing = k.ledger.listing_started();
  if (c.ask("lwlistlog") != Outcome::kReply) return Collected::kNoListing;
  if (c.status() != "200 OK") {
    k.error(kErrReply, "lwlistlog: " + c.status());
    return Collected::kDone;
  }
  k.count(kLwlistlog);
  for (const std::string& id : split_lines(c.body())) {
    if (!k.ledger.claim(id, listing)) continue;
    Outcome o = c.ask("lwgetlog " + id);
    if (o != Outcome::kReply) {
      k.ledger.fetched(id);
      k.error(o == Outcome::kTimeout    ? kErrTimeout
              : o == Outcome::kBadFrame ? kErrFrame
                                        : kErrClosed,
              "lwgetlog " + id);
      return Collected::kBroken;
    }
    if (c.status() == "200 OK") {
      k.count(kLwgetlog);
      k.ledger.add_result(c.body(), k.live);
    } else {
      k.error(kErrResultGone, "lwgetlog " + id + ": " + c.status());
    }
    k.ledger.fetched(id);
  }
  return Collected::kDone;
}

void collector(Soak& k) {
  Conn c;
  while (!k.aborted() && !k.writer_done.load(std::memory_order_acquire)) {
    if (!c.is_open()) {
      if (!c.connect(k)) {
        k.error(kErrConnect, "collector");
        sleep_ms(200);
        continue;
      }
      k.count(kConnCollector);
    }
    bool first = c.requests() == 0;
    if (collect(k, c) == Collected::kNoListing) {
      if (first)
        k.count(kBusyMixed);  // the pool was full
      else
        k.error(kErrClosed, "collector: lwlistlog");
      c.close();
      sleep_ms(50);
      continue;
    }
    // Well within the agent's one second of patience with an idle peer.
    sleep_ms(250);
  }
}

// ---- mixed clients ----

struct Scratch {
  std::string name;
  bool exists = false;
  std::string content;
  int revision = 0;
};

std::string scratch_content(const Soak& k, Scratch& s, std::mt19937_64& rng) {
  std::string text = format("# scratch facility of the soak, revision %d\nscan = 1\nfile = %s\n",
                            ++s.revision, k.watched.c_str());
  // Lines of other facilities: their hits are counted apart. Now and then
  // a pattern the agent refuses.
  text += "filter = q;k=7\n";
  if (rng() % 8 == 0) text += "filter = bad;(unclosed\n";
  return text;
}

bool has_line(const std::string& body, const std::string& line) {
  for (const std::string& l : split_lines(body))
    if (l == line) return true;
  return false;
}

void mixed_client(Soak& k, int id) {
  std::mt19937_64 rng(0x50a4 + id * 7919 + static_cast<uint64_t>(time(nullptr)));
  Scratch scratch;
  scratch.name = "soakmix" + std::to_string(id);
  Conn c;
  int budget = 0;
  auto last_reply = Clock::now();
  uint64_t n = 0;
  while (!k.traffic_over()) {
    if (!c.is_open()) {
      if (!c.connect(k)) {
        k.error(kErrConnect, scratch.name);
        sleep_ms(200);
        continue;
      }
      k.count(kConnMixed);
      budget = 20 + static_cast<int>(rng() % 400);  // then the pool slot turns over
    }
    if (c.requests() >= budget) {
      c.close();
      continue;
    }
    // Now and then the client falls silent: the agent closes the
    // connection after a second.
    if (c.requests() > 0 && rng() % 3000 == 0) {
      sleep_ms(1300);
      std::string data;
      if (!c.wait_closed(5000, &data))
        k.error(kErrKeptOpen, "idle connection not closed within 6.3 s");
      else if (!data.empty())
        k.error(kErrReply, "bytes on an idle connection");
      else
        k.count(kIdleClosed);
      c.close();
      continue;
    }

    bool first = c.requests() == 0;
    auto sent = Clock::now();
    double gap_ms = std::chrono::duration<double, std::milli>(sent - last_reply).count();
    unsigned pick = static_cast<unsigned>(rng() % 100);
    std::string head, body, expect_status = "200 OK", expect_body;
    bool check_body = true;
    uint8_t version = 2;
    Stat served = kEcho;
    enum { kPlain, kRead, kWrite, kRemove, kList, kCollect } action = kPlain;
    ++n;
    if (pick < 40) {
      head = format("echo %s %llu %s", scratch.name.c_str(), static_cast<unsigned long long>(n),
                    filler(rng, rng() % 40).c_str());
      unsigned size = static_cast<unsigned>(rng() % 100);
      if (size >= 95)
        body = filler(rng, rng() % 65536);
      else if (size >= 70)
        body = filler(rng, rng() % 4096);
      if (rng() % 10 == 0) {
        version = 1;
        served = kEchoV1;
        if (body.size() > 99999) body.resize(99999);
      }
      expect_body = head;
    } else if (pick < 45) {
      head = "nosuch " + scratch.name;
      expect_status = "400 Cannot serve this request";
      served = kUnknownVerb;
    } else if (pick < 55) {
      head = "lwlistf";
      action = kList;
      served = kLwlistf;
    } else if (pick < 65) {
      head = "lwreadf " + scratch.name;
      action = kRead;
      served = kLwreadf;
      if (!scratch.exists) {
        expect_status = "400 Cannot open file";
      } else {
        expect_body = scratch.content;
      }
    } else if (pick < 72) {
      head = "lwreadf soak";
      expect_body = k.soak_facility;
      served = kLwreadf;
    } else if (pick < 80) {
      head = "lwwritef " + scratch.name;
      body = scratch_content(k, scratch, rng);
      action = kWrite;
      served = kLwwritef;
    } else if (pick < 83) {
      head = "lwremovef " + scratch.name;
      action = kRemove;
      served = kLwremovef;
    } else if (pick < 86) {
      // Names that would leave the directory, and files that are not there.
      static const char* const kRefused[] = {"lwgetlog ../lw000000000000", "lwreadf ../soak",
                                             "lwgetlog 000000000000", "lwwritef a/b"};
      head = kRefused[rng() % 4];
      expect_status = "400 Cannot open file";
      served = head[2] == 'g' ? kLwgetlog : head[2] == 'r' ? kLwreadf : kLwwritef;
    } else {
      action = kCollect;
    }

    if (action == kCollect) {
      Collected r = collect(k, c);
      if (r == Collected::kNoListing) {
        if (first)
          k.count(kBusyMixed);
        else if (gap_ms >= 500)
          k.count(kIdleClosed);
        else
          k.error(kErrClosed, scratch.name + ": lwlistlog");
      }
      if (r != Collected::kDone) {
        c.close();
        continue;
      }
      last_reply = Clock::now();
      continue;
    }

    Outcome o = c.ask(head, body, version);
    if (o != Outcome::kReply) {
      if (o == Outcome::kClosed && first) {
        k.count(kBusyMixed);  // the pool was full: closed at once
      } else if (o == Outcome::kClosed && gap_ms >= 500) {
        // Silent for a while on this side: the agent may have timed it out.
        k.count(kIdleClosed);
      } else {
        Stat s = o == Outcome::kTimeout    ? kErrTimeout
                 : o == Outcome::kBadFrame ? kErrFrame
                                           : kErrClosed;
        k.error(s, format("%s after %.0f ms of silence: %s", scratch.name.c_str(), gap_ms,
                          head.substr(0, 60).c_str()));
      }
      c.close();
      sleep_ms(static_cast<int>(rng() % 30));
      continue;
    }
    last_reply = Clock::now();
    std::string status = c.status();
    std::string reply_body = c.body();
    bool ok = status == expect_status && c.reply_version() == 2;
    if (ok && action == kList) {
      ok = has_line(reply_body, "soak") && has_line(reply_body, scratch.name) == scratch.exists;
      check_body = false;
    }
    if (ok && check_body && expect_status == "200 OK" && action != kWrite && action != kRemove &&
        reply_body != expect_body)
      ok = false;
    if (ok && (expect_status != "200 OK" || action == kWrite || action == kRemove) &&
        !reply_body.empty())
      ok = false;
    if (!ok) {
      k.error(kErrReply, format("%s -> %s (%zu body bytes)", head.substr(0, 60).c_str(),
                                status.c_str(), reply_body.size()));
      continue;
    }
    k.count(served);
    if (action == kWrite) {
      scratch.exists = true;
      scratch.content = body;
    } else if (action == kRemove) {
      scratch.exists = false;
    }
  }
  // The scratch facilities go; the agent drops them at its next reload.
  if (!k.aborted() && (c.is_open() || c.connect(k))) {
    if (c.ask("lwremovef " + scratch.name) == Outcome::kReply) k.count(kLwremovef);
  }
}

// ---- hostile clients ----

enum Hostile {
  kBadMagic,
  kLowerMagic,
  kHeadTooLong,
  kBodyTooLong,
  kNegativeLength,
  kCutHeader,
  kCutHead,
  kCutBodyReset,
  kStallThenFinish,
  kTrickle,
  kPipelined,
  kVanishBeforeReply,
  kLargestHead,
  kGoodThenGarbage,
  kSilent,
  kConnectAndGo,
  kUnauthorizedPeer,
  kLargestBody,
  kHostileKinds
};

// Expects the agent to close the connection without a byte of reply.
void expect_closed(Soak& k, Conn& c, const char* what) {
  std::string data;
  if (!c.wait_closed(6000, &data)) {
    k.error(kErrKeptOpen, what);
  } else if (!data.empty()) {
    k.error(kErrAnswered, format("%s: %zu bytes", what, data.size()));
  } else {
    k.count(kMalformedClosed);
  }
}

// Expects one echo reply whose body is head; a close before any reply is a
// refusal of a full pool.
void expect_echo(Soak& k, Conn& c, const std::string& head, const char* what, bool first) {
  Outcome o = c.read_reply();
  if (o == Outcome::kClosed && first) {
    k.count(kBusyHostile);
  } else if (o != Outcome::kReply) {
    k.error(o == Outcome::kTimeout    ? kErrTimeout
            : o == Outcome::kBadFrame ? kErrFrame
                                      : kErrClosed,
            what);
  } else if (c.status() != "200 OK" || c.body() != head) {
    k.error(kErrReply, format("%s -> %s", what, c.status().c_str()));
  } else {
    k.count(kHostileServed);
  }
}

void hostile_round(Soak& k, Conn& c, Hostile kind, std::mt19937_64& rng) {
  const std::string echo = "echo hostile";
  switch (kind) {
    case kBadMagic:
      c.send_raw("XMTF20000400000000echo");
      expect_closed(k, c, "bad magic");
      break;
    case kLowerMagic:
      c.send_raw("smtf20000400000000echo");
      expect_closed(k, c, "magic in lower case");
      break;
    case kHeadTooLong:
      c.send_raw("SMTF26553700000000" + std::string(100, 'x'));
      expect_closed(k, c, "head length 65537");
      break;
    case kBodyTooLong:
      c.send_raw("SMTF20000401048577echo" + std::string(1000, 'x'));
      expect_closed(k, c, "body length 1048577");
      break;
    case kNegativeLength:
      c.send_raw("SMTF2-000100000000echo");
      expect_closed(k, c, "negative head length");
      break;
    case kCutHeader:
      c.send_raw("SMTF2000");
      sleep_ms(static_cast<int>(rng() % 200));
      c.close();
      k.count(kVanished);
      break;
    case kCutHead:
      c.send_raw(std::string("SMTF20010000000000") + "echo cut");
      sleep_ms(static_cast<int>(rng() % 600));
      c.close();
      k.count(kVanished);
      break;
    case kCutBodyReset: {
      std::string f = frame(2, echo, filler(rng, 20000), 50000);
      c.send_raw(f);
      sleep_ms(static_cast<int>(rng() % 400));
      c.close(true);
      k.count(kVanished);
      break;
    }
    case kStallThenFinish: {
      // A slow peer holds its pool slot, but is served in the end.
      std::string f = frame(2, echo, filler(rng, 3000));
      size_t cut = 1 + rng() % (f.size() - 1);
      c.send_raw(f.substr(0, cut));
      sleep_ms(300 + static_cast<int>(rng() % 1200));
      c.send_raw(f.substr(cut));
      expect_echo(k, c, echo, "frame finished after a stall", true);
      break;
    }
    case kTrickle: {
      std::string f = frame(2, echo, "");
      bool sent = true;
      for (size_t i = 0; i < f.size() && sent; ++i) {
        sent = c.send_raw(f.substr(i, 1));
        sleep_ms(15);
      }
      expect_echo(k, c, echo, "frame sent byte by byte", true);
      break;
    }
    case kPipelined: {
      // Three requests in one send: each is answered, in order.
      std::string heads[3] = {"echo one", "echo two", "echo three"};
      c.send_raw(frame(2, heads[0], "x") + frame(1, heads[1], "") + frame(2, heads[2], "yz"));
      for (int i = 0; i < 3 && c.is_open(); ++i)
        expect_echo(k, c, heads[i], "pipelined requests", i == 0);
      break;
    }
    case kVanishBeforeReply:
      c.send_raw(frame(2, "lwlistf", ""));
      c.close(true);
      k.count(kVanished);
      break;
    case kLargestHead: {
      std::string head = "echo " + filler(rng, 65536 - 5);
      c.send_raw(frame(2, head, ""));
      expect_echo(k, c, head, "head of 65536 bytes", true);
      break;
    }
    case kGoodThenGarbage:
      c.send_raw(frame(2, echo, ""));
      expect_echo(k, c, echo, "request before garbage", true);
      if (c.is_open()) {
        c.send_raw("GET / HTTP/1.0\r\n\r\n");
        expect_closed(k, c, "garbage after a request");
      }
      break;
    case kSilent: {
      std::string data;
      if (!c.wait_closed(6000, &data))
        k.error(kErrKeptOpen, "silent connection");
      else if (!data.empty())
        k.error(kErrAnswered, "silent connection got bytes");
      else
        k.count(kIdleClosed);
      break;
    }
    case kConnectAndGo:
      c.close(rng() % 2 == 0);
      k.count(kVanished);
      break;
    case kUnauthorizedPeer:
      // Connected from 127.0.0.2 (see hostile_client): served nothing.
      c.send_raw(frame(2, echo, ""));
      {
        std::string data;
        if (!c.wait_closed(6000, &data))
          k.error(kErrKeptOpen, "unauthorized peer");
        else if (!data.empty())
          k.error(kErrAnswered, "unauthorized peer got a reply");
        else
          k.count(kUnauthorized);
      }
      break;
    case kLargestBody: {
      std::string body(1048576, 'b');
      c.send_raw(frame(2, echo, body));
      expect_echo(k, c, echo, "body of 1048576 bytes", true);
      break;
    }
    case kHostileKinds:
      break;
  }
  c.close();
}

void hostile_client(Soak& k, int id) {
  std::mt19937_64 rng(0xbad + id * 104729 + static_cast<uint64_t>(time(nullptr)));
  Conn c;
  for (uint64_t round = 0; !k.traffic_over(); ++round) {
    Hostile kind = static_cast<Hostile>(rng() % kHostileKinds);
    // The largest body grows a pool record's storage by 1 MiB for good:
    // rarely, so that the RSS bound judges leaks rather than buffers.
    if (kind == kLargestBody && rng() % 8 != 0) kind = kLargestHead;
    // Only a self-started agent is known to serve 127.0.0.1 alone.
    if (kind == kUnauthorizedPeer && k.live) kind = kBadMagic;
    if (!c.connect(k, kind == kUnauthorizedPeer ? "127.0.0.2" : nullptr)) {
      k.error(kErrConnect, "hostile");
      sleep_ms(200);
      continue;
    }
    k.count(kConnHostile);
    // Most hostile peers take their time before the bad bytes: the pool is
    // then full more often, and the surplus connection is refused.
    if (kind != kSilent && kind != kConnectAndGo) sleep_ms(static_cast<int>(rng() % 500));
    hostile_round(k, c, kind, rng);
    sleep_ms(static_cast<int>(rng() % 10));
  }
}

// ---- the surplus connection ----

// One connection at a time beyond the ten: while the pool is full it must be
// closed at once; when a slot is free it is served.
void prober(Soak& k) {
  std::mt19937_64 rng(0x9e37 + static_cast<uint64_t>(time(nullptr)));
  Conn c;
  while (!k.traffic_over()) {
    if (!c.connect(k)) {
      k.error(kErrConnect, "surplus");
      sleep_ms(200);
      continue;
    }
    k.count(kConnProber);
    auto t0 = Clock::now();
    Outcome o = c.ask("echo surplus");
    uint64_t took =
        static_cast<uint64_t>(std::chrono::duration_cast<Ms>(Clock::now() - t0).count());
    if (o == Outcome::kReply && c.status() == "200 OK" && c.body() == "echo surplus") {
      k.count(kProberServed);
    } else if (o == Outcome::kClosed) {
      k.count(kBusyProber);
      if (took > k.slowest_refusal_ms.load()) k.slowest_refusal_ms.store(took);
      // At once: it holds a request, so it is no silent peer that the agent
      // lets wait a second; the bound leaves room for a slow (sanitizer)
      // build on a busy machine.
      if (took > 2000)
        k.error(kErrSlowRefusal,
                format("closed after %llu ms", static_cast<unsigned long long>(took)));
    } else {
      k.error(o == Outcome::kTimeout ? kErrTimeout : kErrReply, "surplus connection");
    }
    c.close();
    sleep_ms(30 + static_cast<int>(rng() % 120));
  }
}

// ---- the watched file ----

// Grows the watched file in segments and rotates it by truncation, so that
// every line that matches is one the agent must report:
// - the agent reads a file only when its modification time (whole seconds)
//   moves forward, so while the writer waits for a line to be reported it
//   touches the file every second;
// - a truncation is seen only when the file is smaller at the next check,
//   and a file that grows past its old size first is read from the old
//   offset: so a segment ends with a marker line, the file is truncated only
//   once that marker was reported (the agent has read the whole tail), in a
//   second later than its last change, and it grows again only once the
//   marker that starts the next segment was reported;
// - a read may see a line cut short while it is being written: every line
//   that matches is written with one call that stays inside one page, and
//   lines that do not match cannot become matches by being cut.
class Writer {
 public:
  explicit Writer(Soak& k) : k_(k), rng_(0x11e + static_cast<uint64_t>(time(nullptr))) {}
  ~Writer() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool open() {
    fd_ = ::open(k_.watched.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    struct stat st;
    if (fd_ >= 0 && fstat(fd_, &st) == 0) offset_ = static_cast<uint64_t>(st.st_size);
    return fd_ >= 0;
  }

  void run() {
    if (!handshake()) return;
    uint32_t segment = 0;
    auto grow_for = Ms(std::clamp(k_.opt.seconds * 1000 / 8, 2000, 30000));
    for (;;) {
      auto end = Clock::now() + grow_for;
      while (Clock::now() < end && !k_.traffic_over()) {
        batch(segment);
        sleep_ms(20 + static_cast<int>(rng_() % 60));
      }
      if (k_.aborted()) return;
      bool last = k_.traffic_over();
      if (last) later_second();
      uint64_t marker = match(format("%s seg=%u", last ? "final" : "end", segment));
      if (!wait_reported(marker, last ? "the final line" : "a segment's end marker")) return;
      if (last) return;
      // Rotation: the agent has read the whole tail.
      later_second();
      if (ftruncate(fd_, 0) != 0) {
        k_.fail(format("cannot truncate %s: %s", k_.watched.c_str(), strerror(errno)));
        return;
      }
      offset_ = 0;
      k_.rotations.fetch_add(1, std::memory_order_relaxed);
      ++segment;
      marker = match(format("start seg=%u", segment));
      if (!wait_reported(marker, "a segment's start marker after a truncation")) return;
    }
  }

 private:
  // Probe lines, one a second, until the agent reports one: from then on it
  // follows the file, and every line that matches counts.
  bool handshake() {
    auto deadline = Clock::now() + k_.hit_bound() + Ms(k_.facilityupdt * 1000);
    auto next_probe = Clock::now();
    while (!k_.ledger.tracking()) {
      if (k_.aborted()) return false;
      if (Clock::now() > deadline) {
        k_.fail("no probe line of the watched file was reported: the facility never took it up");
        return false;
      }
      if (Clock::now() >= next_probe) {
        match("probe", false, Ledger::kProbe);
        next_probe = Clock::now() + Ms(1000);
      }
      quiet(rng_() % 3);
      k_.ledger.wait_change(Ms(100));
    }
    return true;
  }

  void batch(uint32_t segment) {
    int lines = 1 + static_cast<int>(rng_() % 12);
    for (int i = 0; i < lines; ++i) {
      unsigned pick = static_cast<unsigned>(rng_() % 100);
      if (pick < 25)
        match(format("line seg=%u %s", segment, filler(rng_, rng_() % 200).c_str()), true);
      else if (pick < 26)
        long_line();
      else
        quiet(1);
    }
  }

  // A line that matches; its seq. Its text as the agent reports it has no
  // CR: some lines end in CR LF, some hold a CR.
  uint64_t match(const std::string& what, bool crs = false, Ledger::Kind kind = Ledger::kMatch) {
    uint64_t seq = next_seq_++;
    std::string text = format("S%llu soak-alert ", static_cast<unsigned long long>(seq)) + what;
    std::string line = text;
    if (crs && rng_() % 8 == 0) {
      size_t at = text.size() / 2;
      line = text.substr(0, at) + "\r" + text.substr(at);
    }
    line += crs && rng_() % 4 == 0 ? "\r\n" : "\n";
    k_.ledger.written(seq, kind, text);
    // Inside one page: pad the rest of the page with a blank-free line.
    uint64_t in_page = offset_ % kPage;
    if (in_page + line.size() > kPage) put(std::string(kPage - in_page - 1, '~') + "\n");
    put(line);
    return seq;
  }

  void quiet(int count) {
    for (int i = 0; i < count; ++i) {
      uint64_t seq = next_seq_++;
      k_.ledger.written(seq, Ledger::kQuiet, "");
      put(format("S%llu quiet k=%d %s\n", static_cast<unsigned long long>(seq),
                 static_cast<int>(rng_() % 10), filler(rng_, rng_() % 120).c_str()));
    }
  }

  // Longer than the agent's read block of 128 KiB.
  void long_line() {
    uint64_t seq = next_seq_++;
    k_.ledger.written(seq, Ledger::kQuiet, "");
    std::string line = format("S%llu quiet-long ", static_cast<unsigned long long>(seq));
    line += std::string(150000 + rng_() % 150000, 'L') + "\n";
    put(line);
  }

  void put(const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
      ssize_t n = ::write(fd_, bytes.data() + at, bytes.size() - at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        k_.fail(format("cannot write %s: %s", k_.watched.c_str(), strerror(errno)));
        k_.abort.store(true, std::memory_order_release);
        return;
      }
      at += static_cast<size_t>(n);
    }
    offset_ += bytes.size();
    k_.bytes_written.fetch_add(bytes.size(), std::memory_order_relaxed);
  }

  // Waits until the clock's second is past the file's modification time.
  void later_second() {
    struct stat st;
    if (fstat(fd_, &st) != 0) return;
    for (;;) {
      timespec now;
      clock_gettime(CLOCK_REALTIME, &now);
      // The file system's clock may lag a few milliseconds behind.
      if (now.tv_sec > st.st_mtime + 1 || (now.tv_sec == st.st_mtime + 1 && now.tv_nsec > 20000000))
        return;
      sleep_ms(20);
    }
  }

  bool wait_reported(uint64_t seq, const char* what) {
    auto deadline = Clock::now() + k_.hit_bound();
    auto touched = Clock::now();
    while (!k_.ledger.seen(seq)) {
      if (k_.aborted()) return false;
      if (Clock::now() > deadline) {
        k_.fail(format("%s (line S%llu) was not reported within %lld s", what,
                       static_cast<unsigned long long>(seq),
                       static_cast<long long>(k_.hit_bound().count() / 1000)));
        return false;
      }
      // Written in the second of the agent's last check: only a later
      // change moves the modification time forward.
      if (Clock::now() - touched >= Ms(1000)) {
        futimens(fd_, nullptr);
        touched = Clock::now();
      }
      k_.ledger.wait_change(Ms(100));
    }
    return true;
  }

  Soak& k_;
  std::mt19937_64 rng_;
  int fd_ = -1;
  uint64_t offset_ = 0;
  uint64_t next_seq_ = 1;
};

void writer_main(Soak& k) {
  Writer w(k);
  if (w.open())
    w.run();
  else
    k.fail(format("cannot open %s: %s", k.watched.c_str(), strerror(errno)));
  k.writer_done.store(true, std::memory_order_release);
}

// ---- the agent ----

// Copies the executable into k.dir beside its own configuration, starts
// it and waits until it serves and watches.
bool start_agent(Soak& k, liveagent::Agent* agent) {
  if (!agent->install(k.opt.exe, k.dir, {"fac", "res", "watch"})) {
    fprintf(stderr, "vardo-soak: cannot copy %s\n", k.opt.exe.c_str());
    return false;
  }
  std::string conf =
      "# written by vardo-soak\n"
      "service.loglevel = 2\n"
      "vardo.listener = 127.0.0.1:0\n"
      "smtsvr.addressmask = 127.0.0.1\n"
      "smtsvr.disableverb = exec\nsmtsvr.disableverb = read\nsmtsvr.disableverb = cperf\n" +
      format("lwatch.facilityupdt = %d\nlwatch.rfilettl = %d\n", kOwnFacilityupdt, kOwnRfilettl) +
      "lwatch.facilitydir = " + k.dir + "/fac\nlwatch.resultdir = " + k.dir +
      "/res\nlwatch.journaldir = " + k.dir + "/nojournal\n";
  if (!agent->start(conf, true)) {
    fprintf(stderr, "vardo-soak: the agent did not come up\n");
    return false;
  }
  k.pid = agent->pid();
  k.port = agent->port();
  return true;
}

std::string describe_status(int st) {
  if (WIFEXITED(st)) return format("exit code %d", WEXITSTATUS(st));
  if (WIFSIGNALED(st))
    return format("killed by signal %d (%s)", WTERMSIG(st), strsignal(WTERMSIG(st)));
  return format("status %d", st);
}

bool live_alive(pid_t pid) {
  return kill(pid, 0) == 0 || errno == EPERM;
}

// ---- checks on the agent's own log ----

struct LogFindings {
  size_t too_busy = 0, unauthorized = 0, filter_errors = 0;
  std::vector<std::string> critical, other_warnings;
};

// How many warnings a line stands for: a rate-limited warning's period ends
// with "<last line> (N more suppressed)".
size_t warnings_of(const std::string& line) {
  size_t at = line.rfind(" (");
  unsigned long more = 0;
  if (at != std::string::npos && sscanf(line.c_str() + at, " (%lu more suppressed)", &more) == 1)
    return 1 + more;
  return 1;
}

LogFindings scan_log(const std::string& text) {
  LogFindings f;
  for (const std::string& line : split_lines(text)) {
    if (line.find("[CRITICAL]") != std::string::npos) {
      f.critical.push_back(line);
    } else if (line.find("[WARNING]") != std::string::npos) {
      if (line.find("closed, server too busy") != std::string::npos)
        f.too_busy += warnings_of(line);
      else if (line.find("connection not authorized from 127.0.0.2:") != std::string::npos)
        f.unauthorized += warnings_of(line);
      else if (line.find("error in filter '(unclosed'") != std::string::npos)
        ++f.filter_errors;
      else if (line.find("SMTCLI shutdown") == std::string::npos)
        f.other_warnings.push_back(line);
    }
  }
  return f;
}

std::string tail(const std::string& text, size_t lines) {
  size_t at = text.size();
  for (size_t n = 0; n <= lines && at > 0; ++n) {
    at = text.rfind('\n', at - 1);
    if (at == std::string::npos) return text;
  }
  return text.substr(at + 1);
}

// ---- the run ----

std::atomic<bool> g_interrupted{false};

void on_interrupt(int) {
  g_interrupted.store(true);
}

// One request on a connection of its own, for setup and clean-up.
bool ask_once(Soak& k, const std::string& head, const std::string& body, std::string* status) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    Conn c;
    if (c.connect(k) && c.ask(head, body) == Outcome::kReply) {
      *status = c.status();
      return true;
    }
    sleep_ms(100);
  }
  return false;
}

// The lowest of a few samples: a log line or a scan may hold a descriptor
// for a moment.
Figures quiet_figures(pid_t pid) {
  Figures low = read_figures(pid);
  for (int i = 0; i < 4; ++i) {
    sleep_ms(100);
    Figures f = read_figures(pid);
    low.fds = std::min(low.fds, f.fds);
    low.threads = std::min(low.threads, f.threads);
    low.rss_kib = std::min(low.rss_kib, f.rss_kib);
  }
  return low;
}

bool parse_endpoint(const std::string& text, Options* opt) {
  size_t colon = text.find(':');
  opt->host = text.substr(0, colon);
  kstring host;
  kstring_init(&host);
  kstring_assign_cstr(&host, opt->host.c_str());
  bool ok = ksocket_is_address(&host) != 0;
  kstring_free(&host);
  int port = colon == std::string::npos ? 9000 : atoi(text.c_str() + colon + 1);
  opt->port = static_cast<uint16_t>(port);
  return ok && port > 0 && port < 65536;
}

int run(Soak& k) {
  liveagent::Agent agent;
  if (!k.live) {
    if (!start_agent(k, &agent)) {
      fprintf(stderr, "%s", tail(agent.console(), 30).c_str());
      return kExitUsage;
    }
    k.watched = k.dir + "/watch/watched.log";
  } else {
    k.pid = k.opt.pid;
    k.port = k.opt.port;
    k.watched = k.dir + "/watched.log";
  }
  // The file exists before the facility names it: it is followed from its
  // end, from the first check on.
  if (!write_text(k.watched, "")) {
    fprintf(stderr, "vardo-soak: cannot create %s\n", k.watched.c_str());
    return kExitUsage;
  }
  k.soak_facility =
      "# written by vardo-soak\nscan = 1\nfile = " + k.watched + "\nfilter = hit;soak-alert\n";
  std::string status;
  if (!ask_once(k, "lwwritef soak", k.soak_facility, &status) || status != "200 OK") {
    fprintf(stderr, "vardo-soak: lwwritef soak failed (%s)\n", status.c_str());
    return kExitUsage;
  }
  for (int i = 0; i < kMixedClients; ++i)
    ask_once(k, "lwremovef soakmix" + std::to_string(i), "", &status);
  // Idle before the start figures: the set-up connections have closed and
  // the facility is loaded.
  sleep_ms(1000 + k.facilityupdt * 1000);
  Figures start = quiet_figures(k.pid);
  if (start.fds < 0 || start.threads < 0 || start.rss_kib < 0) {
    fprintf(stderr, "vardo-soak: cannot read /proc/%d (fd, status)\n", static_cast<int>(k.pid));
    return kExitUsage;
  }
  Figures peak = start;

  printf("vardo-soak: %d s against %s:%u, agent pid %d%s\n", k.opt.seconds, k.opt.host.c_str(),
         k.port, static_cast<int>(k.pid), k.live ? "" : (" (started in " + k.dir + ")").c_str());
  fflush(stdout);

  auto t0 = Clock::now();
  std::vector<std::thread> traffic;
  std::thread writer(writer_main, std::ref(k));
  std::thread collect_thread(collector, std::ref(k));
  for (int i = 0; i < kMixedClients; ++i) traffic.emplace_back(mixed_client, std::ref(k), i);
  for (int i = 0; i < kHostileClients; ++i) traffic.emplace_back(hostile_client, std::ref(k), i);
  traffic.emplace_back(prober, std::ref(k));

  std::string gone;
  auto check_alive = [&] {
    bool up = k.live ? live_alive(k.pid) : agent.running();
    if (!up && gone.empty()) {
      gone = k.live ? "the agent is gone" : "the agent exited: " + describe_status(agent.status());
      k.abort.store(true, std::memory_order_release);
    }
    return up;
  };
  auto sample = [&] {
    Figures f = read_figures(k.pid);
    peak.fds = std::max(peak.fds, f.fds);
    peak.threads = std::max(peak.threads, f.threads);
    peak.rss_kib = std::max(peak.rss_kib, f.rss_kib);
  };
  auto until = t0 + Ms(k.opt.seconds * 1000);
  while (Clock::now() < until && !g_interrupted.load() && check_alive()) {
    sample();
    sleep_ms(250);
  }
  double traffic_s = std::chrono::duration<double>(Clock::now() - t0).count();
  k.traffic_stop.store(true, std::memory_order_release);
  for (auto& t : traffic) t.join();
  // The writer ends with a final line and waits for it; the collector keeps
  // fetching until then.
  while (!k.writer_done.load(std::memory_order_acquire) && check_alive()) sleep_ms(100);
  writer.join();
  k.writer_done.store(true, std::memory_order_release);
  collect_thread.join();

  // Whatever a later rotation still brings can only be a hit twice. A
  // self-started agent writes its last result file when it stops, and that
  // file is read from the disk; a running agent gets a rotation's time.
  Figures end;
  if (check_alive()) {
    if (k.live) sleep_ms((k.rfilettl + 1) * 1000 + 500);
    Conn c;
    if (c.connect(k) && collect(k, c) == Collected::kNoListing)
      k.error(kErrClosed, "final lwlistlog");
    c.close();
    // Idle connections end within about a second of their last request.
    auto settle_end = Clock::now() + Ms(k.opt.settle_seconds * 1000);
    do {
      sleep_ms(250);
      end = read_figures(k.pid);
    } while (Clock::now() < settle_end && (end.fds > start.fds || end.threads > start.threads) &&
             check_alive());
    end = quiet_figures(k.pid);
    check_alive();
  }
  if (k.live && gone.empty()) {
    for (int i = 0; i < kMixedClients; ++i)
      ask_once(k, "lwremovef soakmix" + std::to_string(i), "", &status);
    ask_once(k, "lwremovef soak", "", &status);
  }

  // A self-started agent stops on SIGINT and exits 0; its last result file
  // is then on disk, and counted too.
  bool stopped = true;
  std::string agent_log, console;
  if (!k.live) {
    if (gone.empty()) stopped = agent.stop(20000);
    std::error_code ec;
    for (auto it = fs::directory_iterator(k.dir + "/res", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
      std::string name = it->path().filename().string();
      if (name.size() == 18 && name.compare(0, 2, "lw") == 0)
        k.ledger.add_result(read_text(it->path().string()), false);
    }
    agent_log = agent.log();
    console = agent.console();
  }

  // ---- report ----
  std::vector<std::string> reasons;
  {
    std::lock_guard<std::mutex> lock(k.fail_mu);
    reasons = k.failures;
  }
  if (!gone.empty()) reasons.insert(reasons.begin(), gone);

  uint64_t served = 0;
  for (int s = kFirstServed; s <= kLastServed; ++s) served += k.get(static_cast<Stat>(s));
  printf("requests served    %llu in %.1f s (%.0f/s)\n", static_cast<unsigned long long>(served),
         traffic_s, served / traffic_s);
  printf("                  ");
  for (int s = kFirstServed; s <= kLastServed; ++s)
    printf(" %s %llu%s", kStatNames[s],
           static_cast<unsigned long long>(k.get(static_cast<Stat>(s))),
           s == kLastServed ? "\n" : ",");
  printf("connections        mixed %llu, collector %llu, hostile %llu, surplus %llu\n",
         static_cast<unsigned long long>(k.get(kConnMixed)),
         static_cast<unsigned long long>(k.get(kConnCollector)),
         static_cast<unsigned long long>(k.get(kConnHostile)),
         static_cast<unsigned long long>(k.get(kConnProber)));
  printf(
      "closed by design   server too busy: mixed %llu, surplus %llu (closed within %llu ms), "
      "hostile %llu",
      static_cast<unsigned long long>(k.get(kBusyMixed)),
      static_cast<unsigned long long>(k.get(kBusyProber)),
      static_cast<unsigned long long>(k.slowest_refusal_ms.load()),
      static_cast<unsigned long long>(k.get(kBusyHostile)));
  LogFindings lf = scan_log(agent_log);
  if (!k.live) printf(" (agent logged %zu)", lf.too_busy);
  printf("; idle %llu; malformed %llu; unauthorized %llu; vanished mid-frame %llu\n",
         static_cast<unsigned long long>(k.get(kIdleClosed)),
         static_cast<unsigned long long>(k.get(kMalformedClosed)),
         static_cast<unsigned long long>(k.get(kUnauthorized)),
         static_cast<unsigned long long>(k.get(kVanished)));
  printf("errors            ");
  uint64_t errors = 0;
  for (int s = kFirstError; s < kStatCount; ++s) {
    uint64_t n = k.get(static_cast<Stat>(s));
    if (n) printf(" %s %llu;", kStatNames[s], static_cast<unsigned long long>(n));
    errors += n;
  }
  printf("%s\n", errors ? "" : " none");

  Ledger::Summary h = k.ledger.summary();
  printf("watched file       %llu lines (%llu to match), %.1f MiB, %u truncations\n",
         static_cast<unsigned long long>(h.lines), static_cast<unsigned long long>(h.matching),
         k.bytes_written.load() / 1048576.0, k.rotations.load());
  printf(
      "hits               %llu expected (from line S%llu), %llu reported in %llu result files: "
      "%llu lost, %llu twice, %llu unexpected; %llu of the scratch facilities\n",
      static_cast<unsigned long long>(h.expected),
      static_cast<unsigned long long>(h.first_tracked == UINT64_MAX ? 0 : h.first_tracked),
      static_cast<unsigned long long>(h.reported), static_cast<unsigned long long>(h.files),
      static_cast<unsigned long long>(h.lost), static_cast<unsigned long long>(h.twice),
      static_cast<unsigned long long>(h.unexpected), static_cast<unsigned long long>(h.other));
  printf(
      "agent              descriptors %d -> %d (peak %d), threads %d -> %d (peak %d), "
      "RSS %.1f -> %.1f MiB (peak %.1f; bound +%g MiB)\n",
      start.fds, end.fds, peak.fds, start.threads, end.threads, peak.threads, mib(start.rss_kib),
      mib(end.rss_kib), mib(peak.rss_kib), k.opt.rss_bound_mib);

  if (gone.empty()) {
    if (end.fds > start.fds)
      reasons.push_back(format("descriptors: %d at the end, %d at the start", end.fds, start.fds));
    if (end.threads > start.threads)
      reasons.push_back(
          format("threads: %d at the end, %d at the start", end.threads, start.threads));
    if (mib(end.rss_kib - start.rss_kib) > k.opt.rss_bound_mib)
      reasons.push_back(format("RSS grew by %.1f MiB (bound %g MiB)",
                               mib(end.rss_kib - start.rss_kib), k.opt.rss_bound_mib));
  }
  if (h.first_tracked == UINT64_MAX) reasons.push_back("no hit of the watched file was reported");
  if (h.lost) {
    std::string s = format("%llu hits lost:", static_cast<unsigned long long>(h.lost));
    for (uint64_t seq : h.lost_samples) s += format(" S%llu", static_cast<unsigned long long>(seq));
    reasons.push_back(s);
  }
  if (h.twice) {
    std::string s = format("%llu hits reported twice:", static_cast<unsigned long long>(h.twice));
    for (uint64_t seq : h.twice_samples)
      s += format(" S%llu", static_cast<unsigned long long>(seq));
    reasons.push_back(s);
  }
  for (const std::string& line : h.unexpected_samples) reasons.push_back("unexpected hit: " + line);
  if (!k.live) {
    for (const std::string& line : lf.critical) reasons.push_back("agent log: " + line);
    for (size_t i = 0; i < lf.other_warnings.size() && i < 5; ++i)
      reasons.push_back("agent log: " + lf.other_warnings[i]);
    // Each well-formed first request closed unanswered is a refusal of a
    // full pool or of an unauthorized peer, and each of those is logged.
    uint64_t refusals = k.get(kBusyMixed) + k.get(kBusyProber) + k.get(kUnauthorized);
    if (lf.too_busy + lf.unauthorized < refusals)
      reasons.push_back(
          format("%llu connections closed before a reply, but the agent logged only "
                 "%zu \"server too busy\" and %zu \"connection not authorized\"",
                 static_cast<unsigned long long>(refusals), lf.too_busy, lf.unauthorized));
    if (!stopped) {
      reasons.push_back("the agent did not exit within 20 s of SIGINT");
    } else if (gone.empty()) {
      printf("agent exit         %s on SIGINT\n", describe_status(agent.status()).c_str());
      if (!WIFEXITED(agent.status()) || WEXITSTATUS(agent.status()) != 0)
        reasons.push_back("the agent's " + describe_status(agent.status()) + " on SIGINT");
    }
  }
  if (k.get(kBusyProber) == 0 && k.get(kBusyMixed) == 0 && k.get(kBusyHostile) == 0)
    printf("note               the pool was never seen full: no connection was refused\n");

  if (reasons.empty()) {
    printf("result             PASS\n");
    if (!k.live && !k.opt.keep) fs::remove_all(k.dir);
    return kExitPass;
  }
  printf("result             FAIL\n");
  for (const std::string& r : reasons) printf("  - %s\n", r.c_str());
  if (!k.live) {
    printf("agent output (sanitizer reports land here), last lines:\n%s\n",
           tail(console, 80).c_str());
    printf("agent log, last lines:\n%s", tail(agent_log, 30).c_str());
    printf("kept %s\n", k.dir.c_str());
  }
  return kExitFail;
}

}  // namespace

int main(int argc, char** argv) {
  kerror_libinit();
  if (ksocket_libinit() != 0) return kExitUsage;
  Soak k;
  Options& opt = k.opt;
  int c;
  while ((c = getopt(argc, argv, "d:m:s:x:p:T:U:w:kh")) != -1) {
    switch (c) {
      case 'd':
        opt.seconds = atoi(optarg);
        break;
      case 'm':
        opt.rss_bound_mib = atof(optarg);
        break;
      case 's':
        opt.settle_seconds = atoi(optarg);
        break;
      case 'x':
        opt.exe = optarg;
        break;
      case 'p':
        opt.pid = static_cast<pid_t>(atoi(optarg));
        break;
      case 'T':
        opt.rfilettl = atoi(optarg);
        break;
      case 'U':
        opt.facilityupdt = atoi(optarg);
        break;
      case 'w':
        opt.watch_dir = optarg;
        break;
      case 'k':
        opt.keep = true;
        break;
      case 'h':
        usage(stdout);
        return kExitPass;
      default:
        usage(stderr);
        return kExitUsage;
    }
  }
  bool self = !opt.exe.empty();
  bool live = opt.pid > 0 && optind + 1 == argc && parse_endpoint(argv[optind], &opt);
  if (self == live || (self && optind != argc) || opt.seconds < 1 || opt.rss_bound_mib <= 0 ||
      opt.settle_seconds < 1 || opt.rfilettl < 1 || opt.facilityupdt < 1) {
    usage(stderr);
    return kExitUsage;
  }
  k.live = live;
  k.rfilettl = live ? opt.rfilettl : kOwnRfilettl;
  k.facilityupdt = live ? opt.facilityupdt : kOwnFacilityupdt;
  if (live && !live_alive(opt.pid)) {
    fprintf(stderr, "vardo-soak: no process %d\n", static_cast<int>(opt.pid));
    return kExitUsage;
  }
  std::string base = opt.watch_dir;
  if (base.empty()) {
    const char* t = getenv("TMPDIR");
    base = t && *t ? t : "/tmp";
  }
  std::string tmpl = base + "/vardo-soak-XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    fprintf(stderr, "vardo-soak: cannot create a directory in %s\n", base.c_str());
    return kExitUsage;
  }
  k.dir = fs::absolute(tmpl).string();

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_interrupt;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int code = run(k);
  if (live) {
    std::error_code ec;
    fs::remove_all(k.dir, ec);
  }
  return code;
}

// The soak's load on the log watch: the writer grows the watched file with
// lines of unique sequence numbers, and the collector fetches the result
// files into the ledger.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/soak/soak.h"

namespace soak {

void no_reply(Soak& k, Outcome o, bool first, double silent_ms, const std::string& what) {
  if (o == Outcome::kClosed && (first || silent_ms >= 500))
    k.count(first ? kBusy : kIdleClosed);
  else
    k.error(kErrNoReply, format("%s (%s after %.0f ms of silence)", what.c_str(),
                                o == Outcome::kTimeout    ? "time-out"
                                : o == Outcome::kBadFrame ? "bad frame"
                                                          : "closed",
                                silent_ms));
}

namespace {

// One request of the collector; true with a "200 OK".
bool fetch(Soak& k, Conn& c, const std::string& head, Stat served) {
  bool first = c.requests() == 0;
  Outcome o = c.ask(head);
  if (o != Outcome::kReply)
    no_reply(k, o, first, 0, head);
  else if (c.status() != "200 OK")
    k.error(kErrReply, head + ": " + c.status());
  else
    k.count(served);
  return o == Outcome::kReply && c.status() == "200 OK";
}

// Grows the watched file so that every line that matches is one the agent
// must report exactly once:
// - probe lines, one a second, until the agent reports one: from then on it
//   follows the file;
// - a read may see a line cut short while it is being written: every line
//   that matches is written with one call that stays inside one page, and
//   lines that do not match cannot become matches by being cut;
// - the agent reads a file only when its modification time (whole seconds)
//   moves forward, so while the writer waits for its final line to be
//   reported it touches the file every second.
// Some lines that match hold a CR or end in CR LF (reported without it);
// some that do not are longer than the agent's read block of 128 KiB.
struct Writer {
  Soak& k;
  int fd;
  std::mt19937_64 rng{0x11e + static_cast<uint64_t>(time(nullptr))};
  uint64_t offset = 0, next_seq = 1;

  void run() {
    if (!wait_reported(0, "no probe line of the watched file was reported")) return;
    while (!k.traffic_over()) {
      for (int i = 1 + static_cast<int>(rng() % 12); i > 0; --i) {
        unsigned pick = static_cast<unsigned>(rng() % 100);
        if (pick < 25)
          line(Ledger::kMatch, "line " + filler(rng, rng() % 200));
        else if (pick < 26)
          line(Ledger::kQuiet, "quiet-long " + std::string(150000 + rng() % 150000, 'L'));
        else
          line(Ledger::kQuiet,
               format("quiet k=%d ", static_cast<int>(rng() % 10)) + filler(rng, rng() % 120));
      }
      sleep_ms(20 + static_cast<int>(rng() % 60));
    }
    wait_reported(line(Ledger::kMatch, "final"), "the final line was not reported");
  }

  uint64_t line(Ledger::Kind kind, const std::string& what) {
    uint64_t seq = next_seq++;
    std::string text = format("S%llu ", static_cast<unsigned long long>(seq)) +
                       (kind == Ledger::kQuiet ? "" : "soak-alert ") + what;
    std::string bytes = text;
    if (kind == Ledger::kMatch && rng() % 8 == 0) bytes.insert(text.size() / 2, "\r");
    bytes += kind == Ledger::kMatch && rng() % 4 == 0 ? "\r\n" : "\n";
    k.ledger.written(seq, kind, text);
    // Inside one page: pad the rest of the page with a blank-free line.
    const uint64_t page = 4096, in_page = offset % page;
    if (kind != Ledger::kQuiet && in_page + bytes.size() > page)
      put(std::string(page - in_page - 1, '~') + "\n");
    put(bytes);
    return seq;
  }

  void put(const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
      ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
      if (n <= 0 && errno != EINTR) {
        k.fail(format("cannot write %s: %s", k.watched.c_str(), strerror(errno)));
        k.abort.store(true, std::memory_order_release);
        return;
      }
      at += n > 0 ? static_cast<size_t>(n) : 0;
    }
    offset += bytes.size();
    k.bytes_written.fetch_add(bytes.size(), std::memory_order_relaxed);
  }

  // Until line seq is reported, or (seq 0) until any probe line is, writing
  // one a second; false with the failure after kHitBound.
  bool wait_reported(uint64_t seq, const char* failure) {
    auto deadline = Clock::now() + kHitBound, touched = Clock::now() - Ms(1000);
    while (seq ? !k.ledger.seen(seq) : !k.ledger.tracking()) {
      if (k.aborted() || Clock::now() > deadline) {
        if (!k.aborted()) k.fail(failure);
        return false;
      }
      if (Clock::now() - touched >= Ms(1000)) {
        if (seq)
          futimens(fd, nullptr);
        else
          line(Ledger::kProbe, "probe");
        touched = Clock::now();
      }
      k.ledger.wait_change(Ms(100));
    }
    return true;
  }
};

}  // namespace

// Every 250 ms (well within the agent's second of patience with an idle
// peer) lists the finished result files and fetches each into the ledger.
void collector(Soak& k) {
  Conn c;
  while (!k.aborted() && !k.writer_done.load(std::memory_order_acquire)) {
    sleep_ms(250);
    if (!c.is_open() && !c.connect(k.port)) {
      k.error(kErrConnect, "collector");
    } else if (fetch(k, c, "lwlistlog", kLwlistlog)) {
      for (const std::string& id : split_lines(c.body()))
        if (fetch(k, c, "lwgetlog " + id, kLwgetlog))
          k.ledger.add_result(c.body());
        else if (!c.is_open())
          break;
    }
  }
}

void writer(Soak& k) {
  Writer w{k, ::open(k.watched.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC)};
  if (w.fd < 0) k.fail(format("cannot open %s: %s", k.watched.c_str(), strerror(errno)));
  if (w.fd >= 0) w.run();
  if (w.fd >= 0) ::close(w.fd);
  k.writer_done.store(true, std::memory_order_release);
}

}  // namespace soak

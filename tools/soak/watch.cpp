// The soak's log watch load: the writer grows the watched file with lines of
// unique sequence numbers, and the collector (with the mixed clients, which
// collect too) fetches the result files into the ledger.
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

// Every 250 ms (well within the agent's second of patience with an idle
// peer) lists the finished result files and fetches each into the ledger.
void collector(Soak& k) {
  Conn c;
  while (!k.aborted() && !k.writer_done.load(std::memory_order_acquire)) {
    sleep_ms(250);
    if (!c.is_open() && !c.connect(k.port)) {
      k.error(kErrConnect, "collector");
      continue;
    }
    bool first = c.requests() == 0;
    Outcome o = c.ask("lwlistlog");
    if (o != Outcome::kReply) {
      no_reply(k, o, first, 0, "lwlistlog");
      continue;
    }
    if (c.status() != "200 OK") {
      k.error(kErrReply, "lwlistlog: " + c.status());
      continue;
    }
    k.count(kLwlistlog);
    for (const std::string& id : split_lines(c.body())) {
      if ((o = c.ask("lwgetlog " + id)) != Outcome::kReply) {
        no_reply(k, o, false, 0, "lwgetlog " + id);
        break;
      }
      if (c.status() != "200 OK") {
        k.error(kErrReply, "lwgetlog " + id + ": " + c.status());
        continue;
      }
      k.count(kLwgetlog);
      k.ledger.add_result(c.body());
    }
  }
}

namespace {

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
// Some lines end in CR LF or hold a CR (reported without it), some are
// longer than the agent's read block of 128 KiB.
class Writer {
 public:
  Writer(Soak& k, int fd) : k_(k), fd_(fd) {}

  void run() {
    if (!wait_reported(0, "no probe line of the watched file was reported")) return;
    while (!k_.traffic_over()) {
      for (int i = 1 + static_cast<int>(rng_() % 12); i > 0; --i) {
        unsigned pick = static_cast<unsigned>(rng_() % 100);
        if (pick < 25)
          match(format("line %s", filler(rng_, rng_() % 200).c_str()), true);
        else if (pick < 26)
          quiet("quiet-long " + std::string(150000 + rng_() % 150000, 'L'));
        else
          quiet(format("quiet k=%d ", static_cast<int>(rng_() % 10)) + filler(rng_, rng_() % 120));
      }
      sleep_ms(20 + static_cast<int>(rng_() % 60));
    }
    wait_reported(match("final"), "the final line was not reported");
  }

 private:
  uint64_t match(const std::string& what, bool crs = false, Ledger::Kind kind = Ledger::kMatch) {
    uint64_t seq = next_seq_++;
    std::string text = format("S%llu soak-alert ", static_cast<unsigned long long>(seq)) + what;
    std::string line = text;
    if (crs && rng_() % 8 == 0) line.insert(text.size() / 2, "\r");
    line += crs && rng_() % 4 == 0 ? "\r\n" : "\n";
    k_.ledger.written(seq, kind, text);
    // Inside one page: pad the rest of the page with a blank-free line.
    const uint64_t page = 4096, in_page = offset_ % page;
    if (in_page + line.size() > page) put(std::string(page - in_page - 1, '~') + "\n");
    put(line);
    return seq;
  }

  void quiet(const std::string& what) {
    uint64_t seq = next_seq_++;
    k_.ledger.written(seq, Ledger::kQuiet, "");
    put(format("S%llu ", static_cast<unsigned long long>(seq)) + what + "\n");
  }

  void put(const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
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

  // Until line seq is reported, or (seq 0) until any probe line is, writing
  // one a second; false with the failure after kHitBound.
  bool wait_reported(uint64_t seq, const char* failure) {
    auto deadline = Clock::now() + kHitBound, touched = Clock::now() - Ms(1000);
    while (seq ? !k_.ledger.seen(seq) : !k_.ledger.tracking()) {
      if (k_.aborted()) return false;
      if (Clock::now() > deadline) {
        k_.fail(failure);
        return false;
      }
      if (Clock::now() - touched >= Ms(1000)) {
        if (seq == 0)
          match("probe", false, Ledger::kProbe);
        else
          futimens(fd_, nullptr);
        touched = Clock::now();
      }
      k_.ledger.wait_change(Ms(100));
    }
    return true;
  }

  Soak& k_;
  int fd_;
  std::mt19937_64 rng_{0x11e + static_cast<uint64_t>(time(nullptr))};
  uint64_t offset_ = 0;
  uint64_t next_seq_ = 1;
};

}  // namespace

void writer(Soak& k) {
  int fd = ::open(k.watched.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    k.fail(format("cannot open %s: %s", k.watched.c_str(), strerror(errno)));
  } else {
    Writer(k, fd).run();
    ::close(fd);
  }
  k.writer_done.store(true, std::memory_order_release);
}

}  // namespace soak

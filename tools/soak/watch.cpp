// The soak's load on the log watch: one thread grows the watched file with
// lines of unique sequence numbers and fetches the result files into the
// ledger.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/soak/soak.h"

namespace soak {
namespace {

// A line may take a scan, a reload and a rotation to reach a fetched result
// file, with room for a slow (sanitizer) build.
const Ms kHitBound((2 * (kRfilettl + kFacilityupdt) + 15) * 1000);

// Every line that matches is one the agent must report exactly once:
// - probe lines, one a second, until the agent reports one: from then on it
//   follows the file;
// - a read may see a line cut short while it is being written: every line
//   that matches is written with one call that stays inside one page, and
//   lines that do not match cannot become matches by being cut;
// - the agent reads a file only when its modification time (whole seconds)
//   moves forward, so while the watch waits for its final line to be
//   reported it touches the file every second.
// Some lines that match hold a CR or end in CR LF (reported without it);
// some that do not are longer than the agent's read block of 128 KiB.
struct Watch {
  explicit Watch(Soak& soak) : k(soak) {}
  Soak& k;
  int fd = ::open(k.watched.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  std::mt19937_64 rng{0x11e + static_cast<uint64_t>(time(nullptr))};
  uint64_t offset = 0, next_seq = 1;
  Conn c;
  Clock::time_point collected = Clock::now();

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
      collect();
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
    if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      k.error(format("cannot write %s: %s", k.watched.c_str(), strerror(errno)));
      k.abort.store(true, std::memory_order_release);
    }
    offset += bytes.size();
    k.bytes_written.fetch_add(bytes.size(), std::memory_order_relaxed);
  }

  // Every 250 ms (well within the agent's second of patience with an idle
  // peer) lists the finished result files and fetches each into the ledger.
  void collect() {
    if (Clock::now() - collected < Ms(250)) return;
    collected = Clock::now();
    if (!c.is_open() && !c.connect(k.port)) return k.error("collector: connect failed");
    if (!ask(k, c, "lwlistlog")) return;
    bool ok = c.status() == "200 OK";
    for (const std::string& id : ok ? split_lines(c.body()) : std::vector<std::string>()) {
      if (!(ok = ask(k, c, "lwgetlog " + id) && c.status() == "200 OK")) break;
      k.ledger.add_result(c.body());
    }
    if (!ok && c.is_open()) k.error("collector: " + c.status());
  }

  // Until line seq is reported, or (seq 0) until any probe line is, writing
  // one a second; false with the failure after kHitBound.
  bool wait_reported(uint64_t seq, const char* failure) {
    auto deadline = Clock::now() + kHitBound, touched = Clock::now() - Ms(1000);
    for (; seq ? !k.ledger.seen(seq) : k.ledger.first_tracked == UINT64_MAX; sleep_ms(50)) {
      if (k.aborted() || Clock::now() > deadline) {
        if (!k.aborted()) k.error(failure);
        return false;
      }
      if (Clock::now() - touched >= Ms(1000)) {
        if (seq)
          futimens(fd, nullptr);
        else
          line(Ledger::kProbe, "probe");
        touched = Clock::now();
      }
      collect();
    }
    return true;
  }
};

}  // namespace

void watch(Soak& k) {
  Watch w(k);
  if (w.fd < 0) k.error(format("cannot open %s: %s", k.watched.c_str(), strerror(errno)));
  if (w.fd >= 0) w.run(), ::close(w.fd);
  k.watch_done.store(true, std::memory_order_release);
}

}  // namespace soak

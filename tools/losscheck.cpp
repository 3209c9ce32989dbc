// vardo-losscheck: counts the hits that the log watch loses or repeats.
// For each scenario (how the watched file is written, rotated, or how the
// agent is restarted) and each value of lwatch.exact it starts an agent of
// its own in a temporary directory, writes numbered matching lines, fetches
// the result files over SMT (lwlistlog, lwgetlog) and prints lines written,
// whole hits delivered, lost and duplicated. See usage().
//
// Each run is one thread (writer and rotator in one, so that the order of
// writes and rotations is fixed) plus a collector thread; runs go side by
// side. The agent runs with its tick of one second, "scan = 1", result files
// of 2 s and facility reloads every second.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/live_agent.h"
#include "tools/soak/conn.h"

namespace {

namespace fs = std::filesystem;
using liveagent::read_text;
using liveagent::write_text;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

void sleep_ms(int ms) {
  std::this_thread::sleep_for(Ms(ms));
}

enum class Scenario { kLines, kChunks, kBursts, kRename, kRecreate, kCopyTruncate, kSigint, kKill };

struct ScenarioInfo {
  Scenario s;
  const char* name;
};
const ScenarioInfo kScenarios[] = {
    {Scenario::kLines, "whole lines"},      {Scenario::kChunks, "4 KiB chunks"},
    {Scenario::kBursts, "same-second"},     {Scenario::kRename, "rename rotation"},
    {Scenario::kRecreate, "delete+create"}, {Scenario::kCopyTruncate, "copytruncate"},
    {Scenario::kSigint, "SIGINT restart"},  {Scenario::kKill, "kill -9 restart"},
};

// The text of line seq: its number and a filler of varying length, so that
// 4 KiB chunks cut lines at every place.
std::string line_text(uint32_t seq) {
  char head[40];
  snprintf(head, sizeof head, "LOSSCHECK seq=%06u ", seq);
  return head + std::string(10 + (seq * 37) % 170, 'a' + seq % 26) + " end";
}

struct Options {
  std::string exe;
  uint32_t lines = 3000;
  bool keep = false;
  bool quick = false;
};

class Run {
 public:
  Run(const Options& opt, const ScenarioInfo& sc, int exact, const std::string& dir)
      : opt_(opt), sc_(sc), exact_(exact), dir_(dir) {}

  void main() {
    if (!setup()) return;
    std::thread collector([this] { collect_loop(); });
    write_all();
    // Done when every line came whole, or after a quiet spell of a result
    // file's life, a scan and a held line's wait, with room to spare.
    auto quiet_since = Clock::now();
    size_t last = 0;
    while (Clock::now() - quiet_since < Ms(opt_.quick ? 6000 : 8000)) {
      size_t now = received();
      if (now != last) {
        last = now;
        quiet_since = Clock::now();
      }
      if (whole_distinct() >= written_) break;
      sleep_ms(200);
    }
    done_.store(true);
    collector.join();
    if (!agent_.stop() || !agent_.clean()) fail("the agent did not exit 0 on SIGINT (console.txt)");
    // What the stop closed, and anything not fetched.
    for (auto& e : fs::directory_iterator(dir_ + "/res")) {
      std::string n = e.path().filename().string();
      if (n.size() == 18 && n.compare(0, 2, "lw") == 0 && n.compare(14, 4, ".log") == 0)
        add_result(read_text(e.path().string()));
    }
  }

  const ScenarioInfo& scenario() const { return sc_; }
  int exact() const { return exact_; }
  uint32_t written() const { return written_; }
  const std::string& error() const { return error_; }
  // Figures: distinct lines delivered whole, lost, duplicated hits, damaged
  // hits (a piece of a line), and the losses outside the copytruncate window.
  void figures(uint32_t* delivered, uint32_t* lost, uint32_t* dup, uint32_t* damaged,
               uint32_t* outside) {
    std::lock_guard<std::mutex> lock(mu_);
    *delivered = *lost = *dup = *outside = 0;
    *damaged = damaged_;
    for (uint32_t s = 0; s < written_; ++s) {
      if (hits_[s] > 0) {
        ++*delivered;
        *dup += hits_[s] - 1;
        continue;
      }
      ++*lost;
      bool inside = false;
      for (const auto& [from, to] : windows_)
        if (at_[s] >= from && at_[s] <= to) inside = true;
      if (!inside) ++*outside;
    }
  }

  // Before any run starts: a copy being written while another thread forks
  // could not be started (ETXTBSY).
  bool prepare() {
    return agent_.install(opt_.exe, dir_, {"fac", "res", "watch"}) || fail("cannot copy the agent");
  }

 private:
  bool setup() {
    if (!error_.empty()) return false;
    path_ = dir_ + "/watch/w.log";
    conf_ = soak::agent_conf(agent_, "lwatch.exact = " + std::to_string(exact_) + "\n");
    if (!write_text(path_, "") ||
        !write_text(
            dir_ + "/fac/lc.facility",
            "scan = 1\nfile = " + path_ + "\nfilter = hit;^LOSSCHECK\nfilter = sync;^SYNC\n"))
      return fail("cannot write the setup");
    if (!agent_.start(conf_, true)) return fail("the agent did not come up");
    fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd_ < 0) return fail("cannot open the watched file");
    // Following starts when a sync line comes back.
    std::thread collector([this] { collect_loop(); });
    auto deadline = Clock::now() + Ms(30000);
    for (int n = 0; !synced_.load() && Clock::now() < deadline; ++n) {
      std::string s = "SYNC " + std::to_string(n) + "\n";
      if (::write(fd_, s.data(), s.size()) < 0) break;
      for (int i = 0; i < 6 && !synced_.load(); ++i) sleep_ms(200);
    }
    done_.store(true);
    collector.join();
    done_.store(false);
    return synced_.load() ? true : fail("the agent never reported the watched file");
  }

  bool fail(const std::string& why) {
    error_ = why;
    return false;
  }

  // Paces N lines over about three seconds.
  void pace(uint32_t seq) {
    uint32_t step = written_target() / 60 + 1;
    if (seq % step == 0) sleep_ms(50);
  }
  uint32_t written_target() const { return opt_.lines; }

  static void burst_pause() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<Ms>(now).count() % 1000;
    sleep_ms(static_cast<int>(ms < 100 ? 100 - ms : ms < 900 ? 900 - ms : 1100 - ms));
  }

  void put(const std::string& text) {
    if (sc_.s == Scenario::kChunks) {
      chunk_ += text;
      while (chunk_.size() >= 4096) {
        raw(chunk_.substr(0, 4096));
        chunk_.erase(0, 4096);
      }
    } else {
      raw(text);
    }
  }
  void raw(const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
      ssize_t n = ::write(fd_, bytes.data() + at, bytes.size() - at);
      if (n <= 0) return;
      at += static_cast<size_t>(n);
    }
  }
  void line(uint32_t seq) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      at_[seq] = Clock::now();
    }
    put(line_text(seq) + "\n");
  }

  void reopen() {
    ::close(fd_);
    fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  }

  void write_all() {
    uint32_t n = written_target();
    {
      std::lock_guard<std::mutex> lock(mu_);
      hits_.assign(n, 0);
      at_.assign(n, Clock::time_point{});
    }
    written_ = n;
    for (uint32_t seq = 0; seq < n; ++seq) {
      if (seq == n / 3 || seq == 2 * n / 3) rotate(seq);
      if (seq < skip_to_) continue;  // written during the restart
      line(seq);
      if (sc_.s == Scenario::kBursts) {
        // Ten lines at once, 0.1 s and 0.9 s into each second of the clock:
        // a check between them sees the first, the second shares its time.
        if (seq % 10 == 9) burst_pause();
      } else {
        pace(seq);
      }
      if (reopen_at_ == seq) reopen();
    }
    if (!chunk_.empty()) raw(chunk_);  // the buffer's last, partial chunk
    chunk_.clear();
  }

  // Before line next is written. Lines still written to the old file, or
  // while the agent is down: tail.
  void rotate(uint32_t next) {
    const uint32_t tail = written_target() / 30 + 1;
    switch (sc_.s) {
      case Scenario::kRename: {
        // As a rotation that renames and creates the new file at once,
        // while the writer goes on in the old one until it reopens.
        std::error_code ec;
        fs::remove(path_ + ".1", ec);
        fs::rename(path_, path_ + ".1", ec);
        write_text(path_, "");
        reopen_at_ = next + tail;
        break;
      }
      case Scenario::kRecreate:
        unlink(path_.c_str());
        reopen_at_ = next + tail;
        break;
      case Scenario::kCopyTruncate: {
        // Copied, then cut while the writer goes on: lines written after
        // the agent's last read before the cut are only in the copy (or in
        // neither). The window: one scan period before the cut, and the cut.
        write_text(path_ + ".1", read_text(path_));
        auto cut = Clock::now();
        if (truncate(path_.c_str(), 0) != 0) error_ = "cannot truncate";
        windows_.push_back({cut - Ms(1300), Clock::now()});
        break;
      }
      case Scenario::kSigint:
      case Scenario::kKill: {
        if (next > written_target() / 2) break;  // once
        if (sc_.s == Scenario::kSigint) {
          if (!agent_.stop() || !agent_.clean()) error_ = "the agent did not exit 0 on SIGINT";
        } else
          agent_.kill_now();
        // Lines written while it is down.
        for (uint32_t i = 0; i < tail; ++i) {
          line(next + i);
          sleep_ms(20);
        }
        skip_to_ = next + tail;
        if (!agent_.start(conf_, true)) error_ = "the agent did not come back";
        break;
      }
      default:
        break;
    }
  }

  size_t received() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }
  uint32_t whole_distinct() {
    std::lock_guard<std::mutex> lock(mu_);
    uint32_t d = 0;
    for (int h : hits_) d += h > 0;
    return d;
  }

  void add_result(const std::string& body) {
    std::lock_guard<std::mutex> lock(mu_);
    for (const std::string& l : soak::split_lines(body)) {
      ++received_;
      if (l.compare(0, 12, "[lc,sync] SY") == 0) {
        synced_.store(true);
        continue;
      }
      const std::string head = "[lc,hit] ";
      unsigned seq = 0;
      if (l.compare(0, head.size(), head) != 0 ||
          sscanf(l.c_str() + head.size(), "LOSSCHECK seq=%u", &seq) != 1 || seq >= hits_.size() ||
          l.substr(head.size()) != line_text(seq)) {
        ++damaged_;
        continue;
      }
      ++hits_[seq];
    }
  }

  void collect_loop() {
    while (!done_.load()) {
      uint16_t port = agent_.port();
      soak::Conn c;
      auto ask = [&c](const std::string& head) {
        return c.ask(head) == soak::Outcome::kReply && c.status() == "200 OK";
      };
      if (port && c.connect(port) && ask("lwlistlog"))
        for (const std::string& id : soak::split_lines(c.body()))
          if (ask("lwgetlog " + id)) add_result(c.body());
      sleep_ms(300);
    }
  }

  const Options& opt_;
  ScenarioInfo sc_;
  int exact_;
  std::string dir_, path_, conf_;
  liveagent::Agent agent_;
  int fd_ = -1;
  std::string chunk_;
  uint32_t written_ = 0;
  uint32_t reopen_at_ = UINT32_MAX;
  uint32_t skip_to_ = 0;
  std::string error_;
  std::atomic<bool> synced_{false}, done_{false};
  std::mutex mu_;
  std::vector<int> hits_;
  std::vector<Clock::time_point> at_;
  std::vector<std::pair<Clock::time_point, Clock::time_point>> windows_;
  uint32_t damaged_ = 0;
  size_t received_ = 0;
};

void usage(FILE* out) {
  fprintf(out,
          "usage: vardo-losscheck [-n LINES] [-q] [-k] -x EXE\n"
          "\n"
          "Starts EXE (copied into a temporary directory with its own vardo.conf) once\n"
          "per scenario and value of lwatch.exact, all side by side, writes LINES numbered\n"
          "matching lines (default 3000) to its watched file, and prints per scenario the\n"
          "lines written, delivered whole, lost, hits duplicated and hits damaged (a\n"
          "piece of a line). Scenarios: whole-line writes; a writer that flushes 4 KiB\n"
          "chunks; bursts of ten lines 0.1 s and 0.9 s into each second; rotation by\n"
          "rename, by delete and create, by copytruncate (twice each); a restart by\n"
          "SIGINT and by kill -9.\n"
          "\n"
          "  -q   quick: 300 lines, shorter waits (the suite's form)\n"
          "  -k   keep the temporary directory\n"
          "\n"
          "Exit status 0 when exact following lost nothing and repeated nothing, except\n"
          "repeats after kill -9 and copytruncate losses inside its window (lines written\n"
          "in the scan period before the cut); 1 otherwise; 2 for wrong arguments or a\n"
          "failed setup.\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  int c;
  while ((c = getopt(argc, argv, "x:n:qkh")) != -1) {
    switch (c) {
      case 'x':
        opt.exe = optarg;
        break;
      case 'n':
        opt.lines = static_cast<uint32_t>(atoi(optarg));
        break;
      case 'q':
        opt.quick = true;
        opt.lines = 300;
        break;
      case 'k':
        opt.keep = true;
        break;
      case 'h':
        usage(stdout);
        return 0;
      default:
        usage(stderr);
        return 2;
    }
  }
  if (opt.exe.empty() || opt.lines < 30) {
    usage(stderr);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  ksocket_libinit();
  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vardo-losscheck-XXXXXX";
  std::string root = mkdtemp(tmpl.data()) ? tmpl : "";
  if (root.empty()) {
    fprintf(stderr, "vardo-losscheck: cannot create a temporary directory\n");
    return 2;
  }
  std::vector<std::unique_ptr<Run>> runs;
  for (int exact = 0; exact <= 1; ++exact)
    for (const ScenarioInfo& sc : kScenarios)
      runs.push_back(std::make_unique<Run>(
          opt, sc, exact, root + "/" + std::to_string(exact) + "-" + std::to_string(runs.size())));
  for (auto& r : runs) r->prepare();
  std::vector<std::thread> threads;
  for (auto& r : runs) threads.emplace_back([&r] { r->main(); });
  for (auto& t : threads) t.join();

  printf("%-16s %5s %8s %9s %6s %10s %7s\n", "scenario", "exact", "written", "delivered", "lost",
         "duplicated", "damaged");
  bool ok = true, setup_failed = false;
  for (auto& r : runs) {
    if (!r->error().empty()) {
      printf("%-16s %5d  %s\n", r->scenario().name, r->exact(), r->error().c_str());
      setup_failed = true;
      continue;
    }
    uint32_t delivered, lost, dup, damaged, outside;
    r->figures(&delivered, &lost, &dup, &damaged, &outside);
    printf("%-16s %5d %8u %9u %6u %10u %7u", r->scenario().name, r->exact(), r->written(),
           delivered, lost, dup, damaged);
    if (r->scenario().s == Scenario::kCopyTruncate)
      printf("  (%u lost outside the window)", outside);
    printf("\n");
    if (r->exact()) {
      bool copyt = r->scenario().s == Scenario::kCopyTruncate;
      bool killed = r->scenario().s == Scenario::kKill;
      if ((copyt ? outside : lost) != 0 || (!killed && dup != 0) || damaged != 0) ok = false;
    }
  }
  if (!opt.keep) {
    std::error_code ec;
    fs::remove_all(root, ec);
  } else {
    printf("kept %s\n", root.c_str());
  }
  if (setup_failed) return 2;
  return ok ? 0 : 1;
}

// vardo-soak: keeps an agent of its own busy for a given time with
// well-formed, malformed and surplus SMT connections while a watched file
// grows, then checks that the agent is still alive, gave back its
// descriptors, threads and memory, reported every line that matched its
// filter exactly once, logged nothing it should not have, and exits 0 on
// SIGINT. See usage() and the README's "Soak test".
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/support/live_agent.h"
#include "tools/soak/soak.h"

namespace soak {

std::string format(const char* fmt, ...) {
  char buf[1024];
  va_list args;
  va_start(args, fmt);
  vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

void sleep_ms(int ms) {
  std::this_thread::sleep_for(Ms(ms));
}

std::string filler(std::mt19937_64& rng, size_t n) {
  static const char kChars[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789    .,:;=-_/()%\t";
  std::string s;
  while (s.size() < n) s += rng() % 200 == 0 ? "\xc3\xa9" : std::string(1, kChars[rng() % 77]);
  return s;
}

Stat error_of(Outcome o) {
  return o == Outcome::kTimeout ? kErrTimeout : o == Outcome::kBadFrame ? kErrFrame : kErrClosed;
}

}  // namespace soak

namespace {

using namespace soak;
namespace fs = std::filesystem;

struct Figures {
  long fds = -1, threads = -1, rss_kib = -1;
};

// The lowest of a few samples (samples = 1: one): a log line or a scan may
// hold a descriptor for a moment.
Figures figures(pid_t pid, int samples = 5) {
  Figures low;
  for (int i = 0; i < samples; ++i) {
    if (i) sleep_ms(100);
    Figures f{-1, liveagent::proc_status(pid, "Threads:"), liveagent::proc_status(pid, "VmRSS:")};
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
      for (f.fds = 0; dirent* e = readdir(d);) f.fds += e->d_name[0] != '.';
      closedir(d);
    }
    low = i ? Figures{std::min(low.fds, f.fds), std::min(low.threads, f.threads),
                      std::min(low.rss_kib, f.rss_kib)}
            : f;
  }
  return low;
}

// Findings in the agent's log. A rate-limited warning's period ends with
// "<last line> (N more suppressed)".
struct LogFindings {
  size_t too_busy = 0, unauthorized = 0;
  std::vector<std::string> bad;  // critical lines and unexpected warnings
};

LogFindings scan_log(const std::string& text) {
  LogFindings f;
  for (const std::string& line : split_lines(text)) {
    unsigned long more = 0;
    size_t at = line.rfind(" (");
    if (at != std::string::npos) sscanf(line.c_str() + at, " (%lu more suppressed)", &more);
    if (line.find("[WARNING]") != std::string::npos &&
        line.find("closed, server too busy") != std::string::npos)
      f.too_busy += 1 + more;
    else if (line.find("[WARNING]") != std::string::npos &&
             line.find("connection not authorized from 127.0.0.2:") != std::string::npos)
      f.unauthorized += 1 + more;
    else if ((line.find("[WARNING]") != std::string::npos &&
              line.find("error in filter '(unclosed'") == std::string::npos &&
              line.find("SMTCLI shutdown") == std::string::npos) ||
             line.find("[CRITICAL]") != std::string::npos)
      if (f.bad.size() < 8) f.bad.push_back(line);
  }
  return f;
}

std::string tail(const std::string& text, size_t lines) {
  size_t at = text.size();
  for (size_t n = 0; n <= lines && at > 0; ++n)
    if ((at = text.rfind('\n', at - 1)) == std::string::npos) return text;
  return text.substr(at + 1);
}

std::string describe(int status) {
  if (WIFSIGNALED(status)) return format("killed by signal %d", WTERMSIG(status));
  return format("exit code %d", WEXITSTATUS(status));
}

std::atomic<bool> g_interrupted{false};

void on_interrupt(int) {
  g_interrupted.store(true);
}

int run(Soak& k, liveagent::Agent& agent, double rss_bound_mib) {
  const std::string conf =
      "# written by vardo-soak\nservice.loglevel = 2\nvardo.listener = 127.0.0.1:0\n"
      "smtsvr.addressmask = 127.0.0.1\n"
      "smtsvr.disableverb = exec\nsmtsvr.disableverb = read\nsmtsvr.disableverb = cperf\n" +
      format("lwatch.facilityupdt = %d\nlwatch.rfilettl = %d\n", kFacilityupdt, kRfilettl) +
      "lwatch.facilitydir = " + agent.path("fac") + "\nlwatch.resultdir = " + agent.path("res") +
      "\nlwatch.journaldir = " + agent.path("nojournal") + "\n";
  // The file exists before the facility names it: it is followed from its
  // end, from the first check on.
  k.watched = agent.path("watch/watched.log");
  k.soak_facility =
      "# written by vardo-soak\nscan = 1\nfile = " + k.watched + "\nfilter = hit;soak-alert\n";
  std::string status;
  if (!liveagent::write_text(k.watched, "") ||
      !liveagent::write_text(agent.path("fac/soak.facility"), k.soak_facility) ||
      !agent.start(conf, true)) {
    fprintf(stderr, "vardo-soak: the agent did not come up\n%s", tail(agent.console(), 30).c_str());
    return 2;
  }
  k.port = agent.port();
  sleep_ms(1000 + kFacilityupdt * 1000);  // idle before the start figures
  Figures start = figures(agent.pid()), peak = start, end;
  printf("vardo-soak: %d s against 127.0.0.1:%u, agent pid %d (in %s)\n", k.seconds, k.port,
         static_cast<int>(agent.pid()), agent.dir().c_str());
  fflush(stdout);

  auto t0 = Clock::now();
  std::vector<std::thread> traffic;
  std::thread watch(writer, std::ref(k)), collect_thread(collector, std::ref(k));
  for (int i = 0; i < kMixedClients; ++i) traffic.emplace_back(mixed_client, std::ref(k), i);
  for (int i = 0; i < kHostileClients; ++i) traffic.emplace_back(hostile_client, std::ref(k), i);
  traffic.emplace_back(prober, std::ref(k));
  auto alive = [&] {
    if (!agent.running()) k.abort.store(true, std::memory_order_release);
    return !k.aborted();
  };
  while (Clock::now() < t0 + Ms(k.seconds * 1000) && !g_interrupted.load() && alive()) {
    Figures f = figures(agent.pid(), 1);
    peak = {std::max(peak.fds, f.fds), std::max(peak.threads, f.threads),
            std::max(peak.rss_kib, f.rss_kib)};
    sleep_ms(250);
  }
  double traffic_s = std::chrono::duration<double>(Clock::now() - t0).count();
  k.traffic_stop.store(true, std::memory_order_release);
  for (auto& t : traffic) t.join();
  // The writer ends once its final line was reported; the collector with it.
  while (!k.writer_done.load(std::memory_order_acquire) && alive()) sleep_ms(100);
  watch.join();
  collect_thread.join();
  if (alive()) {
    // Idle connections end within about a second of their last request.
    auto settle_end = Clock::now() + Ms(10000);
    do end = figures(agent.pid(), 1);
    while ((end.fds > start.fds || end.threads > start.threads) && Clock::now() < settle_end &&
           alive() && (sleep_ms(250), true));
    end = figures(agent.pid());
  }
  // It stops on SIGINT and exits 0; its last result file is then on disk.
  bool crashed = !alive(), stopped = crashed || agent.stop(20000);
  std::error_code ec;
  for (auto it = fs::directory_iterator(agent.path("res"), ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    if (it->path().filename().string().compare(0, 2, "lw") == 0)
      k.ledger.add_result(liveagent::read_text(it->path().string()));

  // ---- report ----
  std::vector<std::string> reasons;
  if (crashed) reasons.push_back("the agent ended: " + describe(agent.status()));
  {
    std::lock_guard<std::mutex> lock(k.mu);
    reasons.insert(reasons.end(), k.failures.begin(), k.failures.end());
  }
  uint64_t served = 0;
  std::string lines[3];
  for (int s = 0; s < kStatCount; ++s) {
    int part = s < kFirstClosed ? 0 : s < kFirstError ? 1 : 2;
    if (part == 0) served += k.get(s);
    if (part < 2 || k.get(s))
      lines[part] += format("%s %s %llu", lines[part].empty() ? "" : ",", kStatNames[s],
                            static_cast<unsigned long long>(k.get(s)));
  }
  LogFindings lf = scan_log(agent.log());
  printf("requests served    %llu in %.1f s (%.0f/s):%s\n", static_cast<unsigned long long>(served),
         traffic_s, served / traffic_s, lines[0].c_str());
  printf(
      "closed by design  %s (agent logged %zu too busy, %zu unauthorized; refusal within %llu "
      "ms)\n",
      lines[1].c_str(), lf.too_busy, lf.unauthorized,
      static_cast<unsigned long long>(k.slowest_refusal_ms.load()));
  printf("errors            %s\n", lines[2].empty() ? " none" : lines[2].c_str());
  Ledger::Summary h = k.ledger.summary();
  printf("watched file       %llu lines (%llu to match), %.1f MiB\n",
         static_cast<unsigned long long>(h.lines), static_cast<unsigned long long>(h.matching),
         k.bytes_written.load() / 1048576.0);
  printf(
      "hits               %llu expected, %llu reported in %llu result files: %llu lost, %llu "
      "twice, %llu unexpected; %llu of the scratch facilities\n",
      static_cast<unsigned long long>(h.expected), static_cast<unsigned long long>(h.reported),
      static_cast<unsigned long long>(h.files), static_cast<unsigned long long>(h.lost),
      static_cast<unsigned long long>(h.twice), static_cast<unsigned long long>(h.unexpected),
      static_cast<unsigned long long>(h.other));
  printf(
      "agent              descriptors %ld -> %ld (peak %ld), threads %ld -> %ld (peak %ld), "
      "RSS %.1f -> %.1f MiB (peak %.1f; bound +%g MiB), %s\n",
      start.fds, end.fds, peak.fds, start.threads, end.threads, peak.threads,
      start.rss_kib / 1024.0, end.rss_kib / 1024.0, peak.rss_kib / 1024.0, rss_bound_mib,
      describe(agent.status()).c_str());

  if (!crashed) {
    if (end.fds > start.fds) reasons.push_back(format("descriptors: %ld at the end", end.fds));
    if (end.threads > start.threads)
      reasons.push_back(format("threads: %ld at the end", end.threads));
    if ((end.rss_kib - start.rss_kib) / 1024.0 > rss_bound_mib)
      reasons.push_back(format("RSS grew by %.1f MiB", (end.rss_kib - start.rss_kib) / 1024.0));
    if (!stopped || !agent.clean()) reasons.push_back("the agent did not exit 0 on SIGINT");
  }
  if (h.first_tracked == UINT64_MAX) reasons.push_back("no hit of the watched file was reported");
  std::string seqs;
  for (uint64_t seq : h.lost_samples)
    seqs += format(" S%llu", static_cast<unsigned long long>(seq));
  if (h.lost)
    reasons.push_back(format("%llu hits lost:", static_cast<unsigned long long>(h.lost)) + seqs);
  seqs.clear();
  for (uint64_t seq : h.twice_samples)
    seqs += format(" S%llu", static_cast<unsigned long long>(seq));
  if (h.twice)
    reasons.push_back(format("%llu hits twice:", static_cast<unsigned long long>(h.twice)) + seqs);
  for (const std::string& line : h.unexpected_samples) reasons.push_back("unexpected hit: " + line);
  for (const std::string& line : lf.bad) reasons.push_back("agent log: " + line);
  // Each well-formed first request closed unanswered is a refusal of a full
  // pool or of an unauthorized peer, and each of those is logged.
  if (lf.too_busy + lf.unauthorized < k.get(kBusy) + k.get(kUnauthorized))
    reasons.push_back("more refusals seen than the agent logged");
  if (reasons.empty()) {
    printf("result             PASS\n");
    return 0;
  }
  printf("result             FAIL\n");
  for (const std::string& r : reasons) printf("  - %s\n", r.c_str());
  printf("agent output (sanitizer reports land here), last lines:\n%s\n",
         tail(agent.console(), 80).c_str());
  printf("agent log, last lines:\n%s", tail(agent.log(), 30).c_str());
  return 1;
}

void usage(FILE* out) {
  fprintf(out,
          "usage: vardo-soak [-d SECONDS] [-m MIB] [-k] -x EXE\n"
          "\n"
          "Copies EXE into a temporary directory with its own vardo.conf, starts it and\n"
          "runs SMT traffic against it for SECONDS (default 60): 7 connections of mixed\n"
          "requests, one that fetches result files, 2 that send malformed, cut, slow and\n"
          "abandoned frames, and one more that keeps trying to get in while the pool of\n"
          "10 is full. Meanwhile a watched file grows (lines with unique sequence\n"
          "numbers, a quarter of them matching the facility \"soak\"). Then it stops the\n"
          "agent with SIGINT and reports.\n"
          "\n"
          "  -m MIB  bound on the agent's RSS growth from start to end (default 24)\n"
          "  -k      keep the temporary directory\n"
          "\n"
          "Exit status 0 when everything held; 1 with the reasons when the agent\n"
          "crashed, held more descriptors or threads at the end than at the start, grew\n"
          "its RSS by more than the bound, lost or duplicated a hit, answered wrongly or\n"
          "not at all, logged a critical or an unexpected warning line, or did not exit\n"
          "0 on SIGINT; 2 for wrong arguments or a failed setup.\n");
}

}  // namespace

int main(int argc, char** argv) {
  kerror_libinit();
  if (ksocket_libinit() != 0) return 2;
  Soak k;
  std::string exe;
  double rss_bound_mib = 24;
  bool keep = false;
  for (int c; (c = getopt(argc, argv, "d:m:x:kh")) != -1;) {
    if (c == 'd')
      k.seconds = atoi(optarg);
    else if (c == 'm')
      rss_bound_mib = atof(optarg);
    else if (c == 'x')
      exe = optarg;
    else if (c == 'k')
      keep = true;
    else
      return usage(c == 'h' ? stdout : stderr), c == 'h' ? 0 : 2;
  }
  if (exe.empty() || optind != argc || k.seconds < 1 || rss_bound_mib <= 0) return usage(stderr), 2;
  const char* tmp = getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/vardo-soak-XXXXXX";
  liveagent::Agent agent;
  if (!mkdtemp(dir.data()) || !agent.install(exe, fs::absolute(dir), {"fac", "res", "watch"})) {
    fprintf(stderr, "vardo-soak: cannot set up %s with %s\n", dir.c_str(), exe.c_str());
    return 2;
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_interrupt;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int code = run(k, agent, rss_bound_mib);
  agent.remove_dir = code == 0 && !keep;
  if (!agent.remove_dir) printf("kept %s\n", agent.dir().c_str());
  return code;
}

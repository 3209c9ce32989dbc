// vardo-soak: keeps an agent of its own busy for a given time with
// well-formed, malformed and surplus SMT connections while a watched file
// grows, then checks that the agent is still alive, gave back its
// descriptors, threads and memory, reported every line that matched its
// filter exactly once, logged nothing it should not have, and exits 0 on
// SIGINT. See the README's "Soak test".
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <filesystem>
#include <thread>

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

std::string filler(std::mt19937_64& rng, size_t n) {
  static const char kChars[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789    .,:;=-_/()%\t";
  std::string s;
  while (s.size() < n) s += rng() % 200 == 0 ? "\xc3\xa9" : std::string(1, kChars[rng() % 77]);
  return s;
}

}  // namespace soak

namespace {

using namespace soak;

// Descriptors, threads, RSS in KiB: the lowest of `samples` readings, as a
// log line or a scan may hold a descriptor for a moment.
using Figures = std::array<long, 3>;
Figures figures(pid_t pid, int samples = 5) {
  Figures low;
  for (int i = 0; i < samples; ++i, sleep_ms(i < samples ? 100 : 0)) {
    long f[3] = {0, liveagent::proc_status(pid, "Threads:"), liveagent::proc_status(pid, "VmRSS:")};
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    for (f[0] = d ? 0 : -1; dirent* e = d ? readdir(d) : nullptr;) f[0] += e->d_name[0] != '.';
    if (d) closedir(d);
    for (int j = 0; j < 3; ++j) low[j] = i ? std::min(low[j], f[j]) : f[j];
  }
  return low;
}

// Keeps the critical lines and the warnings that this traffic does not
// explain: refusals of a full pool or of 127.0.0.2, the pattern refused in
// a scratch facility, connections still open at the stop.
void scan_log(const std::string& text, std::vector<std::string>* bad) {
  static const char* const kExplained[] = {
      "closed, server too busy", "not authorized from 127.0.0.2:", "error in filter '(unclosed'",
      "SMTCLI shutdown"};
  for (const std::string& line : split_lines(text)) {
    bool explained = false;
    for (const char* e : kExplained) explained |= line.find(e) != std::string::npos;
    if (line.find("[CRITICAL]") != std::string::npos ||
        (line.find("[WARNING]") != std::string::npos && !explained))
      bad->push_back("agent log: " + line);
  }
}

std::string tail(const std::string& text, size_t lines) {
  size_t at = text.size();
  for (size_t n = 0; n <= lines && at > 0; ++n)
    if ((at = text.rfind('\n', at - 1)) == std::string::npos) return text;
  return text.substr(at + 1);
}

std::string describe(int status) {
  return WIFSIGNALED(status) ? format("killed by signal %d", WTERMSIG(status))
                             : format("exit code %d", WEXITSTATUS(status));
}

int run(Soak& k, liveagent::Agent& agent, double rss_bound_mib) {
  const std::string conf = agent_conf(
      agent, "smtsvr.disableverb = exec\nsmtsvr.disableverb = read\nsmtsvr.disableverb = cperf\n");
  // The file exists before the facility names it: it is followed from its
  // end, from the first check on.
  k.watched = agent.path("watch/watched.log");
  k.soak_facility =
      "# written by vardo-soak\nscan = 1\nfile = " + k.watched + "\nfilter = hit;soak-alert\n";
  if (!liveagent::write_text(k.watched, "") ||
      !liveagent::write_text(agent.path("fac/soak.facility"), k.soak_facility) ||
      !agent.start(conf, true)) {
    fprintf(stderr, "vardo-soak: the agent did not come up\n%s", tail(agent.console(), 30).c_str());
    return 2;
  }
  k.port = agent.port();
  sleep_ms(1000 + kFacilityupdt * 1000);  // idle before the start figures
  Figures start = figures(agent.pid()), peak = start, end = {-1, -1, -1};
  printf("vardo-soak: %d s against 127.0.0.1:%u, agent pid %d in %s\n", k.seconds, k.port,
         static_cast<int>(agent.pid()), agent.dir().c_str());
  fflush(stdout);

  auto t0 = Clock::now();
  std::vector<std::thread> traffic;
  std::thread watching(watch, std::ref(k));
  for (int i = 0; i < kMixedClients; ++i) traffic.emplace_back(mixed_client, std::ref(k), i);
  for (int i = 0; i < kHostileClients; ++i) traffic.emplace_back(hostile_client, std::ref(k), i);
  traffic.emplace_back(prober, std::ref(k));
  auto alive = [&] {
    if (!agent.running()) k.abort.store(true, std::memory_order_release);
    return !k.aborted();
  };
  while (Clock::now() < t0 + Ms(k.seconds * 1000) && alive()) {
    Figures f = figures(agent.pid(), 1);
    for (int j = 0; j < 3; ++j) peak[j] = std::max(peak[j], f[j]);
    sleep_ms(250);
  }
  double traffic_s = std::chrono::duration<double>(Clock::now() - t0).count();
  k.traffic_stop.store(true, std::memory_order_release);
  for (auto& t : traffic) t.join();
  // The watch ends once its final line was reported.
  while (!k.watch_done.load(std::memory_order_acquire) && alive()) sleep_ms(100);
  watching.join();
  // Idle connections end within about a second of their last request.
  for (auto until = Clock::now() + Ms(10000); alive() && Clock::now() < until; sleep_ms(250))
    if ((end = figures(agent.pid(), 1))[0] <= start[0] && end[1] <= start[1]) break;
  if (alive()) end = figures(agent.pid());
  // It stops on SIGINT and exits 0; its last result file is then on disk.
  bool crashed = !alive(), stopped = crashed || (agent.stop(20000) && agent.clean());
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(agent.path("res"), ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    if (it->path().extension() == ".log")
      k.ledger.add_result(liveagent::read_text(it->path().string()));

  // ---- report and verdict ----
  std::vector<std::string> why;
  if (crashed) why.push_back("the agent ended: " + describe(agent.status()));
  std::string counts;
  for (int s = 0; s < kStatCount; ++s) counts += format(", %s %llu", kStatNames[s], k.get(s));
  unsigned long long served = k.get(kServed) + k.get(kHostileServed) + k.get(kProberServed);
  scan_log(agent.log(), &why);
  const Ledger& h = k.ledger;
  k.ledger.judge();
  printf("traffic  %llu replies in %.1f s (%.0f/s)%s\n", served, traffic_s, served / traffic_s,
         counts.c_str());
  printf(
      "hits     %llu expected, %llu reported in %llu result files: %llu lost, %llu twice, %llu "
      "unexpected; %llu of the scratch facilities; %.1f MiB written\n",
      h.expected, h.reported, h.files, h.lost, h.twice, h.unexpected, h.other,
      k.bytes_written.load() / 1048576.0);
  printf(
      "agent    descriptors %ld -> %ld (peak %ld), threads %ld -> %ld (peak %ld), "
      "RSS %.1f -> %.1f MiB (peak %.1f; bound +%g MiB), %s\n",
      start[0], end[0], peak[0], start[1], end[1], peak[1], start[2] / 1024.0, end[2] / 1024.0,
      peak[2] / 1024.0, rss_bound_mib, describe(agent.status()).c_str());
  if (!crashed && (end[0] > start[0] || end[1] > start[1]))
    why.push_back("more descriptors or threads at the end than at the start");
  if (!crashed && (end[2] - start[2]) / 1024.0 > rss_bound_mib)
    why.push_back("RSS grew beyond the bound");
  if (!stopped) why.push_back("the agent did not exit 0 within 20 s of SIGINT");
  if (h.first_tracked == UINT64_MAX) why.push_back("no hit of the watched file was reported");
  why.insert(why.end(), h.samples.begin(), h.samples.end());
  why.insert(why.end(), k.failures.begin(), k.failures.end());  // the threads have ended
  printf("result   %s\n", why.empty() ? "PASS" : "FAIL");
  if (why.empty()) return 0;
  for (const std::string& r : why) printf("  - %s\n", r.c_str());
  printf("agent output (sanitizer reports land here), last lines:\n%s\nagent log, last lines:\n%s",
         tail(agent.console(), 80).c_str(), tail(agent.log(), 30).c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  kerror_libinit();
  ksocket_libinit();
  Soak k;
  std::string exe;
  double rss_bound_mib = 24;
  for (int c; (c = getopt(argc, argv, "d:m:x:")) != -1;) {
    if (c == 'd') k.seconds = atoi(optarg);
    if (c == 'm') rss_bound_mib = atof(optarg);
    if (c == 'x') exe = optarg;
  }
  if (exe.empty() || optind != argc || k.seconds < 1 || rss_bound_mib <= 0) {
    fprintf(stderr, "usage: vardo-soak [-d SECONDS (60)] [-m RSS GROWTH MIB (24)] -x EXE\n");
    return 2;
  }
  const char* tmp = getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/vardo-soak-XXXXXX";
  liveagent::Agent agent;
  if (!mkdtemp(dir.data()) ||
      !agent.install(exe, std::filesystem::absolute(dir), {"fac", "res", "watch"})) {
    fprintf(stderr, "vardo-soak: cannot set up %s with %s\n", dir.c_str(), exe.c_str());
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  int code = run(k, agent, rss_bound_mib);
  agent.remove_dir = code == 0;
  if (!agent.remove_dir) printf("kept %s\n", agent.dir().c_str());
  return code;
}

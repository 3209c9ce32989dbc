// vardo-lwmem: measures the resident size of a live agent while facility
// files try to make its log watch hold without bound: 200 facilities of
// 1 MiB of "file" entries written through lwwritef, then one 100 MB facility
// file placed in the facility directory and removed again. Prints the
// resident size (VmRSS) before, the highest seen during and the size after
// each phase, and the peak (VmHWM).
//
// Usage: vardo-lwmem <agent executable> [configuration to add]
// The agent runs in a temporary directory on a loopback port of the
// system's choice, with facility reloads every second; a given
// configuration (the sample, say) is added without its listener lines.
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

long status_kib(pid_t pid, const char* key) {
  std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + strlen(key));
  return -1;
}

// utime + stime of the whole process, in seconds.
double cpu_seconds(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return -1;
  std::istringstream rest(stat.substr(paren + 2));
  std::string field;
  long long ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i)
    if (i == 14 || i == 15) ticks += std::atoll(field.c_str());
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int connect_to(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
  sockaddr_in peer{AF_INET, htons(port), {}, {}};
  inet_pton(AF_INET, "127.0.0.1", &peer.sin_addr);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) {
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

// One request and its reply's status line ("" when none came).
std::string ask(int fd, const std::string& head, const std::string& body) {
  char header[32];
  snprintf(header, sizeof header, "SMTF2%05zu%08zu", head.size(), body.size());
  std::string out = header + head + body;
  for (size_t at = 0; at < out.size();) {
    ssize_t n = send(fd, out.data() + at, out.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return "";
    at += static_cast<size_t>(n);
  }
  std::string in;
  char buf[65536];
  size_t want = 18;
  while (in.size() < want) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return "";
    in.append(buf, static_cast<size_t>(n));
    if (in.size() >= 18 && want == 18)
      want = 18 + std::stoul(in.substr(5, 5)) + std::stoul(in.substr(10, 8));
  }
  return in.substr(18, std::stoul(in.substr(5, 5)));
}

struct Phase {
  long before, highest, after;
};

// Samples VmRSS every 50 ms for ms milliseconds; the highest seen.
long watch(pid_t pid, int ms, long highest) {
  for (auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;) {
    highest = std::max(highest, status_kib(pid, "VmRSS:"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return highest;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <agent executable> [configuration to add]\n", argv[0]);
    return 2;
  }
  char tmpl[] = "/tmp/vardo-lwmem-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string dir = tmpl, exe = dir + "/vardo";
  fs::copy_file(argv[1], exe);
  std::string conf = "vardo.listener = 127.0.0.1:0\nlwatch.enable = 1\nlwatch.facilityupdt = 1\n";
  if (argc > 2) {
    std::istringstream extra(read_file(argv[2]));
    for (std::string line; std::getline(extra, line);)
      if (line.rfind("vardo.listener", 0) != 0) conf += line + "\n";
  }
  std::ofstream(dir + "/vardo.conf") << conf;
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    freopen("/dev/null", "w", stdout);
    execl(exe.c_str(), exe.c_str(), "-start", static_cast<char*>(nullptr));
    _exit(127);
  }
  static const std::string kListener = "created listener 127.0.0.1:";
  size_t at = std::string::npos;
  std::string log;
  for (int i = 0;
       i < 200 && (at = (log = read_file(dir + "/vardo.log")).find(kListener)) == std::string::npos;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (at == std::string::npos) {
    fprintf(stderr, "the agent did not start\n");
    kill(pid, SIGKILL);
    return 1;
  }
  uint16_t port = static_cast<uint16_t>(atoi(log.c_str() + at + kListener.size()));
  std::this_thread::sleep_for(std::chrono::seconds(2));

  // 200 facilities of 1 MiB each of static entries naming distinct files.
  std::string body;
  for (int i = 0; body.size() + 24 < 1024 * 1024; ++i) {
    char line[32];
    snprintf(line, sizeof line, "file = /x/%07d.log\n", i);
    body += line;
  }
  Phase a{status_kib(pid, "VmRSS:"), 0, 0};
  auto t0 = Clock::now();
  int refused = 0;
  int fd = connect_to(port);
  for (int i = 0; i < 200; ++i)
    if (ask(fd, "lwwritef f" + std::to_string(i), body) != "200 OK") ++refused;
  close(fd);
  double write_s = std::chrono::duration<double>(Clock::now() - t0).count();
  // Until the log watch has loaded them all: a second without CPU time.
  a.highest = a.before;
  double cpu_a = cpu_seconds(pid), last = -1;
  for (int i = 0; i < 300 && cpu_a - last > 0.02; ++i) {
    last = cpu_a;
    a.highest = watch(pid, 1000, a.highest);
    cpu_a = cpu_seconds(pid);
  }
  double settle_s = std::chrono::duration<double>(Clock::now() - t0).count();
  a.after = status_kib(pid, "VmRSS:");

  fd = connect_to(port);
  for (int i = 0; i < 200; ++i) ask(fd, "lwremovef f" + std::to_string(i), "");
  close(fd);
  long cleared = watch(pid, 3000, 0);
  cleared = status_kib(pid, "VmRSS:");

  // One facility file of 100 MB placed in the directory, then removed.
  Phase b{status_kib(pid, "VmRSS:"), 0, 0};
  {
    std::ofstream big(dir + "/big.facility");
    std::string chunk;
    for (int i = 0; chunk.size() < 1024 * 1024; ++i)
      chunk += "file = /x/" + std::to_string(i) + ".log\n";
    for (int i = 0; i < 100; ++i) big << chunk;
  }
  b.highest = watch(pid, 5000, b.before);
  fs::remove(dir + "/big.facility");
  b.highest = watch(pid, 3000, b.highest);
  b.after = status_kib(pid, "VmRSS:");
  long hwm = status_kib(pid, "VmHWM:");

  printf(
      "lwwritef x200 of 1 MiB: written in %.1f s (%d refused); VmRSS before %ld KiB, highest "
      "%ld KiB, after %ld KiB; after removing them %ld KiB\n",
      write_s, refused, a.before, a.highest, a.after, cleared);
  printf("agent CPU time until the facilities were loaded (%.0f s after the first write): %.1f s\n",
         settle_s, cpu_a);
  printf("100 MB facility file: VmRSS before %ld KiB, highest %ld KiB, after removal %ld KiB\n",
         b.before, b.highest, b.after);
  printf("VmHWM %ld KiB\n", hwm);
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  std::string text = read_file(dir + "/vardo.log");
  int warnings = 0;
  for (size_t at = 0; (at = text.find("[WARNING]", at)) != std::string::npos; ++at) ++warnings;
  printf("log: %zu bytes, %d warnings\n", text.size(), warnings);
  fs::remove_all(dir);
  return 0;
}

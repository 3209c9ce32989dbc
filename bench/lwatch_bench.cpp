// Log-watch scan speed. Appends a block of realistic log lines (about 1 % of
// them hits) to a watched file and times one scan of it through 10 filters,
// beside `grep -E -i -c -f` of the same filters over the same bytes and the
// line-by-line reading with a plain regexec of each filter that the scan
// must agree with; then the CPU time of one scan over 1,000 watched files
// that did not change.
//
//   lwatch_bench [--figures] [--exact] [megabytes [directory [scan-only]]]
//   lwatch_bench [--figures] --hostile line-bytes megabytes directory pattern...
//
// Defaults: 200 MB in a fresh directory under $TMPDIR or /tmp. "scan-only"
// skips grep and the line-by-line reading, for profiling the scan alone.
// --figures prints "name value" lines for bench_table instead of the text:
// scan.mb, scan.mbps, scan.cpu_s, scan.hits, grep.mbps, grep.hits,
// reference.mbps, reference.hits, idle.files, idle.cpu_ms (MB: 2^20 bytes).
//
// --hostile times filters built to make a backtracking engine blow up: each
// pattern alone in a facility of its own, all watching one file, then one
// block of lines of line-bytes bytes (LF included) of 'a's appended, and
// each facility's scan of it timed in turn. Figures: hostile.mb, and for
// the n-th pattern (from 0) hostile.<n>.loaded (0: the filter was refused),
// hostile.<n>.mbps, hostile.<n>.hits.
//
// --exact follows the files as "lwatch.exact = 1" does.
//
// Exits 1 when the three hit counts disagree.
#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "klib/kfile.h"
#include "klib/klog.h"
#include "lwatch/lwatch.h"
#include "lwatch/lwfacility.h"
#include "lwatch/lwfile.h"

namespace {

const std::pair<const char*, const char*> kFilters[] = {
    {"err", "error"},
    {"fatal", "fatal"},
    {"oom", "out of memory"},
    {"segv", "segfault at [0-9a-f]+"},
    {"conn", "connection (refused|reset)"},
    {"disk", "(disk|filesystem) full"},
    {"auth", "authentication failure"},
    {"timeout", "timed? ?out after [0-9]+ ?ms"},
    {"panic", "kernel panic"},
    {"denied", "permission denied"},
};

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpu_s() {
  struct timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void set_mtime(const std::string& path, time_t t) {
  struct timespec times[2] = {{t, 0}, {t, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// One line of a mixed host: sshd, web server, application, kernel, database,
// with near misses ("connection closed", "full duplex") among the plain lines.
std::string make_line(std::mt19937& rng, bool hit) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun"};
  static const char* const kHosts[] = {"web01", "web02", "db01", "cache03", "batch07"};
  static const char* const kUsers[] = {"deploy", "alice", "backup", "svc-app", "root"};
  static const char* const kPaths[] = {"/api/v1/items", "/static/app.js", "/login", "/health",
                                       "/api/v2/orders/search"};
  char stamp[64], buf[512];
  auto r = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d %s", kMonths[r(6)], 1 + r(28), r(24), r(60),
           r(60), kHosts[r(5)]);
  if (hit) {
    switch (r(10)) {
      case 0:
        snprintf(buf, sizeof buf, "%s app[%d]: ERROR failed to write record %d: I/O error", stamp,
                 r(30000), r(1000000));
        break;
      case 1:
        snprintf(buf, sizeof buf,
                 "%s kernel: [%d.%06d] worker[%d]: segfault at %x ip %012x sp %012x", stamp,
                 r(99999), r(999999), r(30000), r(1 << 30), r(1 << 30), r(1 << 30));
        break;
      case 2:
        snprintf(buf, sizeof buf,
                 "%s kernel: Out of memory: Killed process %d (java) total-vm:%dkB", stamp,
                 r(30000), r(9000000));
        break;
      case 3:
        snprintf(buf, sizeof buf,
                 "%s sshd[%d]: pam_unix(sshd:auth): authentication failure; logname= uid=0 "
                 "rhost=10.%d.%d.%d",
                 stamp, r(30000), r(256), r(256), r(256));
        break;
      case 4:
        snprintf(buf, sizeof buf, "%s app[%d]: cache connection refused to 10.0.%d.%d:6379", stamp,
                 r(30000), r(256), r(256));
        break;
      case 5:
        snprintf(buf, sizeof buf, "%s app[%d]: upstream request timed out after %d ms", stamp,
                 r(30000), 1000 + r(9000));
        break;
      case 6:
        snprintf(buf, sizeof buf, "%s postgres[%d]: FATAL:  could not open relation %d", stamp,
                 r(30000), r(100000));
        break;
      case 7:
        snprintf(buf, sizeof buf, "%s app[%d]: write failed: disk full on /var/lib/data", stamp,
                 r(30000));
        break;
      case 8:
        snprintf(buf, sizeof buf, "%s kernel: Kernel panic - not syncing: Fatal exception", stamp);
        break;
      default:
        snprintf(buf, sizeof buf, "%s sudo[%d]: %s : permission denied ; TTY=pts/%d", stamp,
                 r(30000), kUsers[r(5)], r(9));
    }
    return buf;
  }
  switch (r(7)) {
    case 0:
      snprintf(buf, sizeof buf,
               "%s sshd[%d]: Accepted publickey for %s from 10.%d.%d.%d port %d ssh2: ED25519 "
               "SHA256:%08x",
               stamp, r(30000), kUsers[r(5)], r(256), r(256), r(256), 1024 + r(60000), r(1 << 30));
      break;
    case 1:
    case 2:
      snprintf(
          buf, sizeof buf,
          "%s web: 10.%d.%d.%d - - [14/Mar/2025:%02d:%02d:%02d +0000] \"GET %s?id=%d HTTP/1.1\" "
          "%d %d \"-\" \"Mozilla/5.0 (X11; Linux x86_64)\"",
          stamp, r(256), r(256), r(256), r(24), r(60), r(60), kPaths[r(5)], r(100000),
          r(10) ? 200 : 304, r(90000));
      break;
    case 3:
      snprintf(
          buf, sizeof buf,
          "%s app[%d]: INFO [worker-%d] com.example.OrderService - order %d processed in %d ms",
          stamp, r(30000), r(16), r(10000000), r(500));
      break;
    case 4:
      snprintf(buf, sizeof buf, "%s kernel: [%d.%06d] eth%d: link up, 1000 Mbps, full duplex",
               stamp, r(99999), r(999999), r(4));
      break;
    case 5:
      snprintf(buf, sizeof buf, "%s app[%d]: DEBUG connection closed by peer 10.0.%d.%d:5432",
               stamp, r(30000), r(256), r(256));
      break;
    default:
      snprintf(buf, sizeof buf,
               "%s postgres[%d]: LOG:  checkpoint complete: wrote %d buffers (%d.%d%%); %d WAL "
               "file(s) added",
               stamp, r(30000), r(5000), r(10), r(10), r(5));
  }
  return buf;
}

bool g_exact = false;  // --exact

struct Facility {
  // Unbounded, with exact following: "--exact".
  static lwpolicy& exact_policy() {
    static lwpolicy p = [] {
      lwpolicy q;
      lwpolicy_init(&q);
      q.exact = 1;
      return q;
    }();
    return p;
  }
  Facility(const std::string& dir, const std::string& name, const std::string& body, klog* log) {
    std::string path = dir + "/" + name + ".facility";
    FILE* f = fopen(path.c_str(), "w");
    fputs(body.c_str(), f);
    fclose(f);
    kstring n, p, base;
    kstring_init(&n);
    kstring_init(&p);
    kstring_init(&base);
    kstring_assign_cstr(&n, name.c_str());
    kstring_assign_cstr(&p, path.c_str());
    lwfacility_init(&fac, &n, log);
    if (g_exact) fac.policy = &exact_policy();
    lwfacility_load(&fac, &p);
    lwfacility_update(&fac, &base);
    kstring_free(&base);
    kstring_free(&p);
    kstring_free(&n);
  }
  ~Facility() { lwfacility_free(&fac); }
  lwfacility fac;
};

size_t count_lines(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return 0;
  size_t n = 0;
  int c;
  while ((c = getc(f)) != EOF) n += c == '\n';
  fclose(f);
  return n;
}

// Plain line-by-line reading: one line at a time, each filter in order
// through the C library's regexec, no pre-check.
size_t reference_hits(const std::string& path) {
  std::vector<regex_t> res(sizeof kFilters / sizeof kFilters[0]);
  for (size_t i = 0; i < res.size(); ++i)
    regcomp(&res[i], kFilters[i].second, REG_EXTENDED | REG_ICASE | REG_NOSUB);
  kfile f;
  kfile_init(&f);
  kfile_set_name_cstr(&f, path.c_str());
  size_t hits = 0;
  if (kfile_open(&f, "rt") == 0) {
    kstring line;
    kstring_init(&line);
    while (kfile_read_line(&f, &line) == 0) {
      for (regex_t& re : res) {
        if (regexec(&re, kstring_text(&line), 0, nullptr, 0) == 0) {
          ++hits;
          break;
        }
      }
    }
    kstring_free(&line);
    kfile_close(&f);
  }
  kfile_free(&f);
  for (regex_t& re : res) regfree(&re);
  return hits;
}

// --hostile: the patterns of argv[3...] over lines of argv[0] bytes of 'a's,
// argv[1] MB of them, in the directory argv[2].
// The engine's result file, opened in directory res_dir (made here); its
// path.
std::string open_result(lwatch_result* result, klog* log, const std::string& res_dir) {
  std::filesystem::create_directory(res_dir);
  kstring res_path;
  kstring_init(&res_path);
  kstring_assign_cstr(&res_path, res_dir.c_str());
  ktime when;
  ktime_now(&when);
  lwatch_result_init(result, log);
  lwatch_result_open(result, &res_path, &when);
  kstring_free(&res_path);
  return kstring_text(&result->tmp_path);
}

int hostile_main(int argc, char** argv, bool figures) {
  long line_bytes = atol(argv[0]);
  double megabytes = atof(argv[1]);
  std::string dir = argv[2];
  if (line_bytes < 2 || megabytes <= 0 || argc < 4) {
    fprintf(stderr,
            "usage: lwatch_bench [--figures] --hostile line-bytes megabytes directory "
            "pattern...\n");
    return 2;
  }
  klog log;
  klog_init(&log, (dir + "/hostile.log").c_str());
  std::string watched = dir + "/hostile-watched.log";
  fclose(fopen(watched.c_str(), "w"));
  set_mtime(watched, time(nullptr) - 10);
  lwatch_result result;
  std::string result_path = open_result(&result, &log, dir + "/hostile-res");

  // Every facility finds the file empty; the block comes after.
  std::vector<Facility*> facilities;
  for (int i = 3; i < argc; ++i) {
    std::string body = "scan = 1\nfile = " + watched + "\nfilter = h;" + argv[i] + "\n";
    facilities.push_back(new Facility(dir, "h" + std::to_string(i - 3), body, &log));
    lwfacility_scan_files(&facilities.back()->fac, &result, true);
  }
  std::string line(static_cast<size_t>(line_bytes) - 1, 'a');
  line += '\n';
  size_t target = static_cast<size_t>(megabytes * 1024 * 1024), written = 0;
  FILE* out = fopen(watched.c_str(), "ab");
  while (written < target) {
    fwrite(line.data(), 1, line.size(), out);
    written += line.size();
  }
  fclose(out);
  set_mtime(watched, time(nullptr));
  double mb = static_cast<double>(written) / (1024 * 1024);
  if (figures) printf("hostile.mb %.1f\n", mb);
  for (size_t i = 0; i < facilities.size(); ++i) {
    lwfacility* fac = &facilities[i]->fac;
    size_t before = count_lines(result_path);
    double w0 = now_s();
    lwfacility_scan_files(fac, &result, true);
    while (lwfacility_files_pending(fac)) lwfacility_scan_files(fac, &result, false);
    double wall = now_s() - w0;
    size_t hits = count_lines(result_path) - before;
    if (figures)
      printf("hostile.%zu.loaded %u\nhostile.%zu.mbps %.1f\nhostile.%zu.hits %zu\n", i,
             fac->filters.count, i, mb / wall, i, hits);
    else
      printf("  %-24s %s %8.1f MB/s over %.0f MB of %ld-byte lines, hits %zu\n", argv[i + 3],
             fac->filters.count ? "        " : "REFUSED ", mb / wall, mb, line_bytes, hits);
    fflush(stdout);
    delete facilities[i];
  }
  unlink(watched.c_str());
  result.size = 0;  // deleted, not kept as a ".log"
  lwatch_result_free(&result);
  klog_free(&log);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool figures = argc > 1 && std::string(argv[1]) == "--figures";
  if (figures) {
    --argc;
    ++argv;
  }
  if (argc > 1 && std::string(argv[1]) == "--exact") {
    g_exact = true;
    --argc;
    ++argv;
  }
  if (argc > 4 && std::string(argv[1]) == "--hostile")
    return hostile_main(argc - 2, argv + 2, figures);
  double megabytes = argc > 1 ? atof(argv[1]) : 200;
  bool scan_only = argc > 3 && std::string(argv[3]) == "scan-only";
  std::string dir;
  if (argc > 2) {
    dir = argv[2];
  } else {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vardo-bench-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return 2;
    dir = buf.data();
  }
  klog log;
  klog_init(&log, (dir + "/bench.log").c_str());

  // The watched file, found empty by a first scan; then the block.
  std::string watched = dir + "/watched.log";
  fclose(fopen(watched.c_str(), "w"));
  set_mtime(watched, time(nullptr) - 10);
  std::string body = "scan = 1\nfile = " + watched + "\n";
  std::string patterns;
  for (auto& f : kFilters) {
    body += std::string("filter = ") + f.first + ";" + f.second + "\n";
    patterns += std::string(f.second) + "\n";
  }
  Facility watch(dir, "bench", body, &log);
  // The engine's result file, in a directory of its own.
  std::string res_dir = dir + "/res";
  lwatch_result result;
  std::string result_path = open_result(&result, &log, res_dir);
  lwfacility_scan_files(&watch.fac, &result, true);

  fprintf(figures ? stderr : stdout, "generating %.0f MB of log lines (about 1 %% hits) ...\n",
          megabytes);
  fflush(stdout);
  std::mt19937 rng(2025);
  size_t target = static_cast<size_t>(megabytes * 1024 * 1024);
  size_t written = 0;
  FILE* out = fopen(watched.c_str(), "ab");
  std::string chunk;
  while (written < target) {
    chunk.clear();
    while (chunk.size() < (1 << 20)) {
      chunk += make_line(rng, rng() % 100 == 0);
      chunk += '\n';
    }
    fwrite(chunk.data(), 1, chunk.size(), out);
    written += chunk.size();
  }
  fclose(out);
  set_mtime(watched, time(nullptr));
  double mb = static_cast<double>(written) / (1024 * 1024);

  double w0 = now_s(), c0 = cpu_s();
  // One scan reads a slice of the file; the engine's next ticks read on.
  lwfacility_scan_files(&watch.fac, &result, true);
  while (lwfacility_files_pending(&watch.fac)) lwfacility_scan_files(&watch.fac, &result, false);
  double scan_wall = now_s() - w0, scan_cpu = cpu_s() - c0;
  size_t scan_hits = count_lines(result_path);

  std::string filter_file = dir + "/filters.txt";
  FILE* pf = fopen(filter_file.c_str(), "w");
  fputs(patterns.c_str(), pf);
  fclose(pf);
  if (figures)
    printf("scan.mb %.1f\nscan.mbps %.1f\nscan.cpu_s %.3f\nscan.hits %zu\n", mb, mb / scan_wall,
           scan_cpu, scan_hits);
  if (scan_only) {
    if (!figures)
      printf("  scan %.1f MB/s (%.2f s wall, %.2f s cpu) hits %zu\n", mb / scan_wall, scan_wall,
             scan_cpu, scan_hits);
    return 0;
  }
  std::string cmd = "LC_ALL=C grep -E -i -c -f '" + filter_file + "' '" + watched + "'";
  w0 = now_s();
  FILE* g = popen(cmd.c_str(), "r");
  size_t grep_hits = 0;
  if (!g || fscanf(g, "%zu", &grep_hits) != 1) grep_hits = SIZE_MAX;
  if (g) pclose(g);
  double grep_wall = now_s() - w0;

  w0 = now_s();
  size_t ref_hits = reference_hits(watched);
  double ref_wall = now_s() - w0;

  bool agree = scan_hits == grep_hits && scan_hits == ref_hits;
  if (figures) {
    printf("grep.mbps %.1f\ngrep.hits %zu\nreference.mbps %.1f\nreference.hits %zu\n",
           mb / grep_wall, grep_hits, mb / ref_wall, ref_hits);
  } else {
    printf("\none scan of %.0f MB through %zu filters\n", mb, std::size(kFilters));
    printf("  scan       %8.1f MB/s  (%.2f s wall, %.2f s cpu)  hits %zu\n", mb / scan_wall,
           scan_wall, scan_cpu, scan_hits);
    printf("  grep       %8.1f MB/s  (%.2f s wall, C locale)     hits %zu\n", mb / grep_wall,
           grep_wall, grep_hits);
    printf("  reference  %8.1f MB/s  (%.2f s wall, line by line) hits %zu\n", mb / ref_wall,
           ref_wall, ref_hits);
    printf("  scan / grep = %.2fx   scan / reference = %.1fx\n", grep_wall / scan_wall,
           ref_wall / scan_wall);
    printf("  hit counts %s\n", agree ? "agree" : "DISAGREE");
  }
  unlink(watched.c_str());
  result.size = 0;  // deleted, not kept as a ".log"
  lwatch_result_free(&result);
  unlink(filter_file.c_str());

  // 1,000 files that do not change: each scan costs one status query each.
  std::string many = dir + "/many";
  std::filesystem::create_directory(many);
  for (int i = 0; i < 1000; ++i) {
    std::string p = many + "/f" + std::to_string(i) + ".log";
    FILE* f = fopen(p.c_str(), "w");
    fputs("a line\n", f);
    fclose(f);
  }
  Facility idle(dir, "idle", "file = " + many + "/*.log\nfilter = e;error\n", &log);
  open_result(&result, &log, res_dir);
  lwfacility_scan_files(&idle.fac, &result, true);  // finds them
  std::vector<double> cpu;
  for (int k = 0; k < 21; ++k) {
    c0 = cpu_s();
    lwfacility_scan_files(&idle.fac, &result, true);
    cpu.push_back(cpu_s() - c0);
  }
  std::sort(cpu.begin(), cpu.end());
  lwatch_result_free(&result);
  if (figures)
    printf("idle.files %u\nidle.cpu_ms %.3f\n", idle.fac.tracked.count, cpu[10] * 1e3);
  else
    printf("\nidle scan of %u unchanged files: %.2f ms cpu (median of 21), %.2f us per file\n",
           idle.fac.tracked.count, cpu[10] * 1e3, cpu[10] * 1e6 / idle.fac.tracked.count);

  klog_free(&log);
  if (argc <= 2) std::filesystem::remove_all(dir);
  return agree ? 0 : 1;
}

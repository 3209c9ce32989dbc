// The agent as a whole, mostly the real executable end to end: reached by
// smtc and by raw frames, and managing the log watch over SMT.
#include "agent/agent.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "klib/kerror.h"
#include "support/live_agent.h"
#include "support/smt_wire.h"
#include "support/testutil.h"
#include "support/tls_certs.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using smtwire::frame;
using Reply = std::pair<std::string, std::string>;  // status line, body

const auto ok = [](const std::string& body = "") { return Reply{"200 OK", body}; };
const Reply kCannotOpen{"400 Cannot open file", ""};

// The agent in this process, on its own record, with a configuration.
class AgentInProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    kerror_libinit();
    klog_init(&app_->log, dir_.file("vardo.log").c_str());
    kstring_init(&app_->module_dir);
  }
  void TearDown() override {
    kstring_free(&app_->module_dir);
    kconfig_free(&app_->config);
    klog_free(&app_->log);
  }
  void init(const std::string& conf) {
    testutil::write_file(dir_.file("vardo.conf"), "lwatch.enable = 0\n" + conf);
    kconfig_load(&app_->config, dir_.file("vardo.conf").c_str());
    ASSERT_EQ(agent_init(app_), 0u);
  }
  void finish() {
    EXPECT_EQ(agent_stop(app_), 0u);
    EXPECT_EQ(agent_cleanup(app_), 0u);
  }
  std::string log() { return testutil::read_file(dir_.file("vardo.log")); }
  size_t count(const std::string& text) { return testutil::count_in(log(), text); }

  testutil::TempDir dir_;
  kservice_app* app_ = &g_agent.host;
};

// A server with nothing to listen on, or with TLS settings it cannot use
// (said why), is switched off; the agent runs on without it.
TEST_F(AgentInProcess, ServerThatCannotListenOrLoadItsCertificatesIsSwitchedOff) {
  const testtls::Certs& certs = testtls::Certs::get();
  const std::string key = dir_.file("shared.key");
  fs::copy_file(certs.file("agent.key"), key);
  fs::permissions(key, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const std::string tls =
      "vardo.listener = 127.0.0.1:0\nsmtsvr.tlscert = " + certs.file("agent.pem") + "\n";
  const std::string ca = "smtsvr.tlsca = " + certs.file("ca.pem") + "\n";
  const struct {
    std::string conf, warning;
  } cases[] = {
      {"vardo.listener = nosuchhost.invalid:9\n", ""},
      {tls + ca + "smtsvr.tlskey = " + key + "\n",
       "key file " + key + " is readable by other users (mode 640; chmod 600 it)\n"},
      {tls + ca + "smtsvr.tlskey = " + certs.file("collector.key") + "\n",
       "cannot load key " + certs.file("collector.key") + ": key values mismatch\n"},
      {tls + "smtsvr.tlskey = " + certs.file("agent.key") +
           "\nsmtsvr.tlsca = " + dir_.file("none.pem") + "\n",
       "cannot load CA " + dir_.file("none.pem") + ": No such file or directory\n"},
      {tls, "no CA given to verify client certificates with\n"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    if (i > 0 && !certs.ok()) break;  // no openssl command to make certificates with
    init(cases[i].conf);
    EXPECT_FALSE(g_agent.smt_enabled) << i;
    finish();
    kconfig_free(&app_->config);
    EXPECT_EQ(count("[WARNING] VARDO cannot initialize SMT - disabling feature\n"), i + 1) << i;
    if (!cases[i].warning.empty())
      EXPECT_EQ(count("[WARNING] SMT TLS settings not usable: " + cases[i].warning), 1u) << log();
  }
  EXPECT_EQ(count("SMTSVR"), 0u);
}

// A port still held (by an old instance, say) keeps the server on: it comes
// up once the port is free. Peers outside the address mask are refused at
// accept, unanswered, with ten warnings a minute however many they are.
TEST_F(AgentInProcess, ServerWaitsForItsPortAndRefusesPeersOutsideTheMaskAtAccept) {
  int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(blocker, 1), 0);
  const uint16_t port = smtwire::local_port(blocker);
  const std::string endpoint = "127.0.0.1:" + std::to_string(port);
  init("vardo.listener = " + endpoint + "\nsmtsvr.addressmask = 127.0.0.1\n");
  EXPECT_TRUE(g_agent.smt_enabled);
  close(blocker);
  EXPECT_TRUE(testutil::wait_until([&] { return count("created listener " + endpoint) == 1; },
                                   SMT_LISTEN_RETRY_MS + 3000))
      << log();
  for (int i = 0; i < 25; ++i) {
    int fd = testutil::tcp_connect(port, "127.0.0.1", "127.0.0.2");
    testutil::send_all(fd, frame("echo hi"));
    std::string data;
    EXPECT_TRUE(testutil::wait_closed(fd, 2000, &data) && data.empty()) << i << data;
    close(fd);
  }
  int fd = testutil::tcp_connect(port);
  ASSERT_TRUE(testutil::send_all(fd, frame("echo hi")));
  EXPECT_EQ(smtwire::read_reply(fd), frame("200 OK", "echo hi"));
  close(fd);
  finish();
  EXPECT_NE(log().find("[WARNING] error creating listener " + endpoint + " ("), std::string::npos);
  EXPECT_EQ(count("[WARNING] connection not authorized from 127.0.0.2:"), KLOG_LIMIT_BURST);
  // The rest is counted when the period ends, at the latest when the log is freed.
  klog_free(&app_->log);
  EXPECT_EQ(count("[WARNING] connection not authorized from 127.0.0.2:"), KLOG_LIMIT_BURST + 1);
  EXPECT_EQ(count(" (15 more suppressed)\n"), 1u);
  klog_init(&app_->log, dir_.file("vardo.log").c_str());
  EXPECT_EQ(count("VARDO cannot initialize SMT"), 0u);
}

// The real executable in a temporary directory, stopped with SIGINT.
class AgentRun : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(agent_.install(VARDO_EXE, dir_.path())); }
  void TearDown() override {
    for (int fd : fds_) close(fd);
    if (agent_.running()) stop();
  }
  bool start(const std::string& conf) {
    bool up = agent_.start("vardo.listener = 127.0.0.1:0\n" + conf);
    port_ = agent_.port();
    return up;
  }
  // A clean exit also says that no sanitizer found a fault in the agent. The
  // stop ends the accept and connection threads within their 1 s waits, and
  // the exit waits for every thread.
  void stop() {
    auto t0 = Clock::now();
    ASSERT_TRUE(agent_.stop(10000));
    EXPECT_TRUE(agent_.clean()) << agent_.status();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
    std::string text = log();
    EXPECT_NE(text.find(" SMTSVR shutdown\n", text.find(" VARDO shutdown\n")), std::string::npos);
    EXPECT_EQ(text.find("not terminated"), std::string::npos) << text;
  }
  std::string log() { return testutil::read_file(dir_.file("vardo.log")); }
  bool wait_log(const std::string& piece, int ms = 8000) {
    return testutil::wait_until([&] { return log().find(piece) != std::string::npos; }, ms);
  }
  std::string endpoint() { return "127.0.0.1:" + std::to_string(port_); }
  int connect(const char* from = nullptr) {
    int fd = testutil::tcp_connect(port_, "127.0.0.1", from);
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }
  // The reply to a request on fd; its status "<none>" when none came.
  Reply exchange(int fd, const std::string& head, const std::string& body = "") {
    testutil::send_all(fd, frame(head, body));
    return read(fd);
  }
  static Reply read(int fd) {
    std::string raw = smtwire::read_reply(fd, 20000);
    if (raw.size() < 18) return {"<none>", raw};
    size_t h = std::stoul(raw.substr(5, 5));
    return {raw.substr(18, h), raw.substr(18 + h)};
  }
  // One request on a connection of its own.
  Reply ask(const std::string& head, const std::string& body = "") {
    int fd = testutil::tcp_connect(port_);
    Reply r = exchange(fd, head, body);
    close(fd);
    return r;
  }
  // Runs smtc with a shell command line: "<exit status>|<standard output>|<standard error>".
  std::string smtc(const std::string& args) {
    int status = std::system(
        (SMTC_EXE " " + args + " >" + dir_.file("out") + " 2>" + dir_.file("err")).c_str());
    return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "|" +
           testutil::read_file(dir_.file("out")) + "|" + testutil::read_file(dir_.file("err"));
  }

  testutil::TempDir dir_;
  liveagent::Agent agent_;
  uint16_t port_ = 0;
  std::vector<int> fds_;
};

TEST_F(AgentRun, ServesClientsAndProgramsAndRefusesWhatIsNotAllowed) {
  ASSERT_TRUE(
      start("lwatch.enable = 0\nsmtsvr.addressmask = 127.0.0.1\n"
            "smtsvr.disableverb = lwlistf\nsmtsvr.exectimeout = 2\n"))
      << log();
  const pid_t agent = agent_.pid();
  // The log file is open only while a line is written: the fewest seen.
  int fds = testutil::count_fds(agent);
  for (int i = 0; i < 5; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
    fds = std::min(fds, testutil::count_fds(agent));

  // smtc: the body on standard output, the status line on standard error,
  // and exit status 0 for "200", 1 for another status, 2 without a reply.
  EXPECT_EQ(smtc("-t 5000 " + endpoint() + " echo hi"), "0|echo hi|200 OK\n");
  EXPECT_EQ(smtc("-1 " + endpoint() + " echo framed as version 1"),
            "0|echo framed as version 1|200 OK\n");
  testutil::write_file(dir_.file("body"), "ignored by echo");
  EXPECT_EQ(smtc("-b " + dir_.file("body") + " " + endpoint() + " echo"), "0|echo|200 OK\n");
  EXPECT_EQ(smtc("-b - " + endpoint() + " echo stdin < " + dir_.file("body")),
            "0|echo stdin|200 OK\n");
  EXPECT_EQ(smtc(endpoint() + " ECHO hi"), "1||400 Cannot serve this request\n");

  // A peer outside the address mask: closed without a reply, and a warning.
  int outsider = connect("127.0.0.2");
  ASSERT_TRUE(testutil::send_all(outsider, frame("echo hi")));
  std::string data;
  EXPECT_TRUE(testutil::wait_closed(outsider, 5000, &data) && data.empty()) << data;
  EXPECT_TRUE(wait_log("[WARNING] connection not authorized from 127.0.0.2:" +
                       std::to_string(smtwire::local_port(outsider)) + "\n"));
  // Disabled and unknown verbs are answered, and the connection serves on.
  int fd = connect();
  const Reply refused{"400 Cannot serve this request", ""};
  EXPECT_EQ(exchange(fd, "lwlistf"), refused);
  EXPECT_EQ(exchange(fd, "nosuch verb"), refused);
  EXPECT_EQ(exchange(fd, "echo still here"), ok("echo still here"));

  // A program that outlives the time limit on one connection does not hold
  // up another; it is killed with its process group, and the reply keeps
  // what it printed. A relative path is read from the agent's directory.
  const std::string slow = "sh -c \"echo started; sleep 30 & echo $!; wait\"";
  ASSERT_TRUE(testutil::send_all(fd, frame("exec " + slow)));
  ASSERT_TRUE(testutil::wait_until([&] { return testutil::child_pids(agent).size() == 1; }, 5000));
  EXPECT_EQ(ask("exec echo fast"), ok("fast\n"));
  EXPECT_EQ(testutil::recv_upto(fd, 1, 0), "");  // the slow one still runs
  Reply r = read(fd);
  pid_t grandchild = 0;
  sscanf(r.second.c_str(), "started\n%d", &grandchild);
  EXPECT_EQ(r, ok("started\n" + std::to_string(grandchild) + "\n"));
  EXPECT_TRUE(testutil::wait_until([&] { return testutil::process_gone(grandchild); }, 5000));
  EXPECT_TRUE(wait_log(
      " [WARNING] Command exceeded smtsvr.exectimeout (2 s) - process group killed : " + slow +
      " \n"))
      << log();
  testutil::write_file(dir_.file("notes.txt"), "first\r\nlast");
  EXPECT_EQ(exchange(fd, "read notes.txt"), ok("first\nlast\n"));

  // Nothing is left behind: the connections' sockets go when the agent
  // sees them closed.
  EXPECT_TRUE(testutil::child_pids(agent).empty());
  for (int c : fds_) close(c);
  fds_.clear();
  EXPECT_TRUE(testutil::wait_until([&] { return testutil::count_fds(agent) == fds; }, 5000))
      << testutil::count_fds(agent) << " descriptors, " << fds << " before";
  EXPECT_EQ(exchange(connect(), "echo x"), ok("echo x"));  // idle at the stop
  stop();
  EXPECT_EQ(smtc("-t 2000 " + endpoint() + " echo hi"),
            "2||smtc: cannot connect to " + endpoint() + " (connection refused or unreachable)\n");
}

// A facility written with lwwritef is loaded at the next reload; lines of its
// files that come after they were found (all lines with scanfrombeg) come
// back as "[facility,filter] line" through lwlistlog and lwgetlog; a period
// without hits leaves nothing, and a stop finishes the current result file.
TEST_F(AgentRun, WatchesFilesOfFacilitiesManagedOverSmt) {
  const std::string app = dir_.file("logs/app.log"), beg = dir_.file("logs/beg.log");
  const std::string one = dir_.file("logs/one.txt"), res = dir_.file("res");
  for (const char* d : {"fac", "res", "logs"}) fs::create_directory(dir_.file(d));
  // Dated back, so that the next write moves the time on by whole seconds.
  for (auto [path, line] :
       {std::pair{app, "an old error\n"}, {one, "an old warning\n"}, {beg, "old error in beg\n"}}) {
    testutil::write_file(path, line);
    timeval past[2] = {{time(nullptr) - 100, 0}, {time(nullptr) - 100, 0}};
    utimes(path.c_str(), past);
  }
  ASSERT_TRUE(start("service.loglevel = 4\nlwatch.facilityupdt = 1\nlwatch.rfilettl = 3\n"
                    "lwatch.facilitydir = " +
                    dir_.file("fac") + "\nlwatch.resultdir = " + res +
                    "\nlwatch.journaldir = " + dir_.file("nojournal") + "\n") &&
              wait_log(" LWATCH up\n"))
      << log();
  auto results = [&](const std::string& ext) {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(res))
      if (e.path().extension() == ext) names.push_back(e.path().filename().string());
    return names;
  };

  EXPECT_EQ(ask("lwwritef ../evil", "scan = 1\n"), kCannotOpen);
  const std::string web = "scan = 1\nfile = " + app + "\nfile = " + dir_.file("logs") +
                          "/*.txt\nfilter = err;error\nfilter = warn;warn\n";
  ASSERT_EQ(ask("lwwritef web", web), ok());
  ASSERT_EQ(
      ask("lwwritef beg", "scan = 1\nscanfrombeg = 1\nfile = " + beg + "\nfilter = err;error\n"),
      ok());
  ASSERT_TRUE(wait_log(" facility 'web' added\n")) << log();
  // A scan after the one that found the file: every file has been found.
  ASSERT_TRUE(wait_log("#   start dynamic monitoring '" + one + "'\n"));
  const size_t found = log().size();
  ASSERT_TRUE(testutil::wait_until(
      [&] { return log().find(" scanning lwfacility 'web' files\n", found) != std::string::npos; },
      5000));
  testutil::append_file(app, "disk error 1\nall fine\n");
  testutil::append_file(one, "low space warning\n");
  testutil::write_file(dir_.file("logs/two.txt"), "early warning\n");

  // Fetch what is listed until every hit has come back; each identifier is
  // twelve digits, and its file goes with the first fetch.
  const std::set<std::string> expected = {"[web,err] disk error 1", "[web,warn] low space warning",
                                          "[web,warn] early warning", "[beg,err] old error in beg"};
  std::set<std::string> fetched;
  bool done = testutil::wait_until(
      [&] {
        for (const std::string& id : testutil::split_lines(ask("lwlistlog").second)) {
          EXPECT_TRUE(std::regex_match(id, std::regex("\\d{12}"))) << id;
          Reply got = ask("lwgetlog " + id);
          EXPECT_EQ(got.first, "200 OK") << id;
          for (const std::string& line : testutil::split_lines(got.second)) fetched.insert(line);
          EXPECT_EQ(ask("lwgetlog " + id), kCannotOpen) << id;
        }
        return fetched.size() >= expected.size();
      },
      12000);
  EXPECT_TRUE(done) << log();
  EXPECT_EQ(fetched, expected);

  // The period that is open now gets no hit: once it is over, nothing of
  // it is left.
  std::vector<std::string> open_now;
  ASSERT_TRUE(testutil::wait_until([&] { return (open_now = results(".tmp")).size() == 1; }, 5000));
  ASSERT_TRUE(testutil::wait_until([&] { return results(".tmp") != open_now; }, 8000));
  EXPECT_EQ(ask("lwlistlog"), ok());
  EXPECT_TRUE(results(".log").empty());

  // A stop in a period with hits leaves that period's file finished.
  testutil::append_file(app, "last error\n");
  ASSERT_TRUE(wait_log("#   new line in file " + app + " = >last error<\n")) << log();
  stop();
  EXPECT_TRUE(results(".tmp").empty());
  std::vector<std::string> finished = results(".log");
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_TRUE(std::regex_match(finished[0], std::regex("lw\\d{12}\\.log")));
  EXPECT_EQ(testutil::read_file(res + "/" + finished[0]), "[web,err] last error\n");
  EXPECT_FALSE(testutil::file_exists(dir_.file("evil.facility")));
}

// Every line of a result file reaches exactly one collector: of two
// concurrent fetches one gets the lines (a file beyond one reply over
// several fetches) and the other "400 Cannot open file"; a collector that
// resets its connection right after its request takes nothing away.
TEST_F(AgentRun, EachResultLineReachesExactlyOneCollector) {
  const std::string res = dir_.file("res");
  fs::create_directory(res);
  ASSERT_TRUE(start("lwatch.enable = 0\nservice.loglevel = 3\nlwatch.resultdir = " + res + "\n"))
      << log();
  auto leftovers = [&] {
    size_t n = 0;
    for (auto& e : fs::directory_iterator(res)) n += e.path().extension() != ".log";
    return n;
  };
  // Fetches until the file is gone; the rest of a large file takes its name
  // again a moment after the reply that leaves it.
  auto fetch_all = [&](const std::string& id, std::string* got) {
    for (Reply r; (r = ask("lwgetlog " + id)).first == "200 OK";) *got += r.second;
  };
  auto collect = [&](const std::string& id, std::string* got) {
    while (testutil::wait_until([&] { return leftovers() == 0; }, 5000) &&
           fs::exists(res + "/lw" + id + ".log"))
      fetch_all(id, got);
  };
  auto make = [&](const std::string& id, size_t bytes) {
    std::string lines;
    for (size_t i = 0; lines.size() < bytes; ++i)
      lines += "[f,e] " + id + " " + std::to_string(i) + "\n";
    testutil::write_file(res + "/lw" + id + ".log", lines);
    return lines;
  };
  auto sorted = [](const std::string& text) {
    std::vector<std::string> v = testutil::split_lines(text);
    std::sort(v.begin(), v.end());
    return v;
  };

  for (int round = 0; round < 100; ++round) {
    const std::string id = std::to_string(230101000000 + round);
    const std::string lines = make(id, round % 10 == 0 ? 1900000 : 20000);
    std::string got[3];
    std::thread a(fetch_all, id, &got[0]), b(fetch_all, id, &got[1]);
    a.join();
    b.join();
    collect(id, &got[2]);
    ASSERT_EQ(sorted(got[0] + got[1] + got[2]), sorted(lines)) << "round " << round;
  }

  // A collector that resets its connection right after the request, or
  // 0.3 s after it without reading: a reply that did not reach the
  // collector's system leaves the file whole for the next fetch. A small one
  // may have arrived there before the reset came: then, and only then, it is
  // gone. A reply larger than the collector's receive window cannot have.
  // Lines are counted from the round's start: the rounds above used
  // thousands of client ports, and this round's may be one of them.
  size_t mark = 0;
  auto count = [&](const std::string& piece) {
    return testutil::count_in(log().substr(mark), piece);
  };
  for (int round = 0; round < 6; ++round) {
    const bool large = round % 2;
    const std::string id = std::to_string(230102000000 + round);
    const std::string lines = make(id, large ? 1900000 : 20000);
    mark = log().size();
    int fd = connect();
    ASSERT_EQ(exchange(fd, "echo served"), ok("echo served"));
    const std::string peer = "127.0.0.1:" + std::to_string(smtwire::local_port(fd));
    ASSERT_TRUE(testutil::send_all(fd, frame("lwgetlog " + id)));
    if (large) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    linger reset = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
    fds_.clear();
    // The request reached its handler all the same.
    ASSERT_TRUE(
        testutil::wait_until([&] { return count("message from " + peer + " passed") == 2; }, 5000))
        << round;
    std::string got;
    collect(id, &got);
    if (got != lines) {
      EXPECT_TRUE(!large && got.empty()) << round << ": " << got.size() << " of " << lines.size();
      EXPECT_TRUE(
          testutil::wait_until([&] { return count("reply to " + peer + " was sent") == 2; }, 2000))
          << round;
    }
  }
  EXPECT_EQ(leftovers(), 0u);
  stop();
}

// The locked-down sample configuration, as installed: any local account may
// write a facility, but one that names a file outside the allowed
// directories, reaches it through "..", or through a link in an allowed
// directory, gets nothing of it back; a file inside still comes back.
TEST_F(AgentRun, SampleConfigurationDeliversNothingOutsideTheAllowedDirectories) {
  const std::string logs = dir_.file("logs"), secret = dir_.file("secret");
  fs::create_directory(logs);
  testutil::write_file(logs + "/ok.log", "visible line\n");
  testutil::write_file(secret, "secret line\n");
  fs::create_symlink(secret, logs + "/link.log");
  std::string sample;
  for (const std::string& line :
       testutil::split_lines(testutil::read_file(VARDO_SOURCE_DIR "/vardo.conf.sample")))
    if (line.rfind("vardo.listener", 0) != 0) sample += line + "\n";
  ASSERT_NE(sample.find("\nlwatch.allowpath = /var/log"), std::string::npos);
  // First occurrences count: shorter periods, and one more allowed
  // directory for the file that must come back.
  ASSERT_TRUE(start("lwatch.facilityupdt = 1\nlwatch.rfilettl = 1\nlwatch.allowpath = " + logs +
                    "\n" + sample) &&
              wait_log(" LWATCH up\n"))
      << log();
  std::string facility = "scan = 1\nscanfrombeg = 1\nfilter = all;.\n";
  for (const std::string& f :
       {std::string("/etc/passwd"), std::string("/var/log/../../etc/passwd"), secret,
        logs + "/../secret", logs + "/link.log", logs + "/ok.log", logs + "/*.log"})
    facility += "file = " + f + "\n";
  ASSERT_EQ(ask("lwwritef attack", facility), ok());
  std::string fetched;
  EXPECT_TRUE(testutil::wait_until(
      [&] {
        for (const std::string& id : testutil::split_lines(ask("lwlistlog").second))
          fetched += ask("lwgetlog " + id).second;
        return fetched.find("visible line") != std::string::npos;
      },
      10000))
      << log();
  // Another period, for anything that came later.
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  for (const std::string& id : testutil::split_lines(ask("lwlistlog").second))
    fetched += ask("lwgetlog " + id).second;
  EXPECT_EQ(fetched, "[attack,all] visible line\n");
  EXPECT_TRUE(
      wait_log("[WARNING] lwfacility 'attack': file '/etc/passwd' outside "
               "lwatch.allowpath: not monitored\n"))
      << log();
  EXPECT_TRUE(wait_log("[WARNING] lwfacility 'attack': file '" + logs +
                       "/link.log' outside lwatch.allowpath: not monitored\n"));
  stop();
}

// With a certificate set every connection is TLS. smtc with a collector's
// certificate is served, the agent's certificate checked by name or
// address; every peer that cannot prove itself is closed after its
// handshake with its reason in one warning, a plain SMT request too, and the
// address mask still refuses at accept.
TEST_F(AgentRun, TlsServesTrustedCollectorsAndSaysWhyOthersAreRefused) {
  const testtls::Certs& certs = testtls::Certs::get();
  if (!certs.ok()) GTEST_SKIP() << "no openssl command to make certificates with";
  ASSERT_TRUE(start("lwatch.enable = 0\nsmtsvr.addressmask = 127.0.0.1\nsmtsvr.tlscert = " +
                    certs.file("agent.pem") + "\nsmtsvr.tlskey = " + certs.file("agent.key") +
                    "\nsmtsvr.tlsca = " + certs.file("ca.pem") +
                    "\nsmtsvr.tlspeer = collector0\nsmtsvr.tlspeer = collector1\n"))
      << log();
  const std::string good = certs.smtc_args("collector") + " ";
  EXPECT_EQ(smtc(good + "--servername localhost " + endpoint() + " echo hi"), "0|echo hi|200 OK\n");
  EXPECT_EQ(smtc(good + endpoint() + " echo by address"), "0|echo by address|200 OK\n");
  EXPECT_EQ(smtc(good + "--servername agent2 " + endpoint() + " echo hi"),
            "2||smtc: TLS handshake with " + endpoint() + " failed (hostname mismatch)\n");

  const std::string refused = "2||smtc: no reply from " + endpoint() + " (connection closed)\n";
  const struct {
    std::string args, reason;
  } bad[] = {
      {certs.smtc_args(""), "peer did not return a certificate"},
      {certs.smtc_args("expired"), "certificate has expired"},
      {certs.smtc_args("foreign"), "unable to get local issuer certificate"},
      {certs.smtc_args("stranger"), "certificate CN=stranger is not an allowed peer"},
      {"", "plain SMT, not TLS"},
  };
  for (const auto& b : bad) {
    EXPECT_EQ(smtc(b.args + " " + endpoint() + " echo hi"), refused) << b.reason;
    EXPECT_TRUE(wait_log(" failed (" + b.reason + ") - connection closed\n")) << b.reason << log();
  }
  int fd = connect("127.0.0.2");
  testutil::send_all(fd, frame("echo hi"));
  std::string data;
  EXPECT_TRUE(testutil::wait_closed(fd, 2000, &data) && data.empty());
  EXPECT_TRUE(wait_log("[WARNING] connection not authorized from 127.0.0.2:"));
  stop();
  // One warning per refused peer, each naming it.
  EXPECT_EQ(testutil::count_in(log(), "[WARNING] TLS handshake with 127.0.0.1:"),
            std::size(bad) + 1);
}

}  // namespace

// The agent as a whole: a bounded stop in process, and the real executable
// end to end, reached by smtc and by raw frames: authorization, refused
// verbs, programs on concurrent connections, and the log watch managed over
// SMT.
#include "agent/agent.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <set>
#include <thread>

#include "agent_test_util.h"
#include "support/smt_wire.h"

namespace {

namespace fs = std::filesystem;
using agenttest::ok;
using agenttest::Reply;
using Clock = std::chrono::steady_clock;
using smtwire::frame;

// agent_init and agent_stop on the process's agent record: a server that
// cannot listen is switched off, and one that serves is stopped within the
// bounds of its 1 s accept and idle waits.
TEST(AgentInProcess, StopEndsTheServerThreadsWithinBoundsAndAServerThatCannotListenIsOff) {
  kerror_libinit();
  testutil::TempDir dir;
  kservice_app* app = &g_agent.host;
  klog_init(&app->log, dir.file("vardo.log").c_str());
  kconfig_load(&app->config, dir.file("vardo.conf").c_str());
  kstring_init(&app->module_dir);
  kstring_assign_cstr(&app->module_dir, (dir.path() + "/").c_str());
  auto init = [&](const std::string& listener) {
    testutil::write_file(dir.file("vardo.conf"), "lwatch.enable = 0\nvardo.listener = " + listener);
    return agent_init(app) == 0;
  };
  auto stop_and_cleanup = [&] {
    auto t0 = Clock::now();
    EXPECT_EQ(agent_stop(app), 0u);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(4));
    EXPECT_EQ(agent_cleanup(app), 0u);
  };
  ASSERT_TRUE(init("192.0.2.1:9000"));
  EXPECT_FALSE(g_agent.smt_enabled);
  stop_and_cleanup();
  std::string text = testutil::read_file(dir.file("vardo.log"));
  EXPECT_NE(text.find("[WARNING] VARDO cannot initialize SMT - disabling feature\n"),
            std::string::npos);
  EXPECT_EQ(text.find("SMTSVR"), std::string::npos);

  ASSERT_TRUE(init("127.0.0.1:0"));
  uint16_t port = smtwire::local_port(ksocketset_at(&g_agent.smt.listeners, 0)->handle);
  int idle = testutil::tcp_connect(port);
  std::atomic<int> served{0};
  std::thread chatty([&] {
    int fd = testutil::tcp_connect(port);
    while (testutil::send_all(fd, frame("echo x")) &&
           smtwire::read_reply(fd, 3000) == frame("200 OK", "echo x"))
      ++served;
    close(fd);
  });
  EXPECT_TRUE(testutil::wait_until([&] { return served.load() > 10; }, 5000));
  auto t0 = Clock::now();
  EXPECT_EQ(agent_stop(app), 0u);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(4));
  chatty.join();
  EXPECT_TRUE(testutil::wait_closed(idle, 1000));
  close(idle);
  EXPECT_FALSE(kthread_is_running(&g_agent.smt.accept_thread));
  for (uint32_t i = 0; i < g_agent.smt.pool.count; ++i)
    EXPECT_FALSE(smt_client_is_running(static_cast<smt_client*>(karray_get(&g_agent.smt.pool, i))));
  EXPECT_EQ(agent_cleanup(app), 0u);
  text = testutil::read_file(dir.file("vardo.log"));
  EXPECT_NE(text.find(" SMTSVR shutdown\n", text.find(" VARDO shutdown\n")), std::string::npos);
  EXPECT_EQ(text.find("not terminated"), std::string::npos) << text;
  kstring_free(&app->module_dir);
  kconfig_free(&app->config);
  klog_free(&app->log);
}

// The real executable in a temporary directory, stopped with SIGINT.
class AgentRun : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = dir_.file("vardo");
    fs::copy_file(VARDO_EXE, exe_);
  }
  void TearDown() override {
    for (int fd : fds_) close(fd);
    if (child_.running()) stop();
  }
  bool start(const std::string& conf) {
    testutil::write_file(dir_.file("vardo.conf"), "vardo.listener = 127.0.0.1:0\n" + conf);
    return child_.start({exe_, "-start"}, dir_.path(), dir_.file("console.txt"), {},
                        {"NOTIFY_SOCKET", "INVOCATION_ID"}) &&
           testutil::wait_listener_port(dir_.file("vardo.log"), &port_) && wait_log(" SMTSVR up\n");
  }
  // A clean exit also says that no sanitizer found a fault in the agent.
  void stop() {
    child_.signal(SIGINT);
    int status = -1;
    ASSERT_TRUE(child_.wait_exit(10000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
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
  // The reply to a request on fd; its status "<none>" when none came whole.
  Reply exchange(int fd, const std::string& head, const std::string& body = "") {
    if (!testutil::send_all(fd, frame(head, body))) return {"<none>", ""};
    return read(fd);
  }
  static Reply read(int fd) {
    std::string raw = smtwire::read_reply(fd, 20000);
    if (raw.size() < 18) return {"<none>", raw};
    size_t h = std::stoul(raw.substr(5, 5)), b = std::stoul(raw.substr(10, 8));
    if (raw.size() != 18 + h + b) return {"<none>", raw};
    return {raw.substr(18, h), raw.substr(18 + h)};
  }
  // One request on a connection of its own.
  Reply ask(const std::string& head, const std::string& body = "") {
    int fd = testutil::tcp_connect(port_);
    Reply r = exchange(fd, head, body);
    close(fd);
    return r;
  }
  // Runs smtc with a shell command line; its exit code, with standard
  // output and error in out_ and err_.
  int smtc(const std::string& args) {
    int status = std::system(
        (std::string(SMTC_EXE) + " " + args + " >" + dir_.file("out") + " 2>" + dir_.file("err"))
            .c_str());
    out_ = testutil::read_file(dir_.file("out"));
    err_ = testutil::read_file(dir_.file("err"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  testutil::TempDir dir_;
  std::string exe_, out_, err_;
  testutil::Child child_;
  uint16_t port_ = 0;
  std::vector<int> fds_;
};

TEST_F(AgentRun, ServesClientsAndProgramsAndRefusesWhatIsNotAllowed) {
  ASSERT_TRUE(
      start("lwatch.enable = 0\nsmtsvr.addressmask = 127.0.0.1\n"
            "smtsvr.disableverb = lwlistf\nsmtsvr.exectimeout = 2\n"))
      << log();
  const pid_t agent = child_.pid();
  // The log file is open only while a line is written: the fewest seen.
  int fds = testutil::count_fds(agent);
  for (int i = 0; i < 5; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
    fds = std::min(fds, testutil::count_fds(agent));

  // smtc: the body on standard output, the status line on standard error,
  // and exit status 0 for "200", 1 for another status, 2 without a reply.
  EXPECT_EQ(smtc("-t 5000 " + endpoint() + " echo hi"), 0);
  EXPECT_EQ(out_ + "|" + err_, "echo hi|200 OK\n");
  EXPECT_EQ(smtc("-1 " + endpoint() + " echo framed as version 1"), 0);
  EXPECT_EQ(out_, "echo framed as version 1");
  testutil::write_file(dir_.file("body"), "ignored by echo");
  EXPECT_EQ(smtc("-b " + dir_.file("body") + " " + endpoint() + " echo"), 0);
  EXPECT_EQ(smtc("-b - " + endpoint() + " echo stdin < " + dir_.file("body")), 0);
  EXPECT_EQ(out_, "echo stdin");
  EXPECT_EQ(smtc(endpoint() + " ECHO hi"), 1);
  EXPECT_EQ(out_ + "|" + err_, "|400 Cannot serve this request\n");
  EXPECT_EQ(smtc("-h"), 0);
  EXPECT_NE(out_.find("usage: smtc"), std::string::npos);
  EXPECT_EQ(smtc("127.0.0.1:9"), 2);  // no request words
  EXPECT_NE(err_.find("usage: smtc"), std::string::npos);

  // A peer outside the address mask: closed without a reply, and a warning.
  int outsider = connect("127.0.0.2");
  ASSERT_TRUE(testutil::send_all(outsider, frame("echo hi")));
  std::string data;
  EXPECT_TRUE(testutil::wait_closed(outsider, 5000, &data) && data.empty()) << data;
  EXPECT_TRUE(wait_log("[WARNING] connection not authorized from 127.0.0.2:" +
                       std::to_string(smtwire::local_port(outsider)) + "\n"));
  // Disabled and unknown verbs are answered, and the connection serves on.
  int fd = connect();
  const Reply refused = agenttest::kRefused;
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
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.body, m, std::regex("started\n(\\d+)\n"))) << r;
  EXPECT_EQ(r.status, "200 OK");
  pid_t grandchild = std::stoi(m[1]);
  EXPECT_TRUE(testutil::wait_until([&] { return testutil::process_gone(grandchild); }, 5000));
  EXPECT_TRUE(
      wait_log(" [WARNING] Command exceeded smtsvr.exectimeout (2 s) - process group "
               "killed : " +
               slow + " \n"))
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
  stop();
  EXPECT_EQ(smtc("-t 2000 " + endpoint() + " echo hi"), 2);  // connection refused
  EXPECT_NE(err_.find("cannot connect"), std::string::npos) << err_;
}

// A facility written with lwwritef is loaded at the next reload; lines of
// its files that come after they were found (and all lines of a facility
// with scanfrombeg) come back as "[facility,filter] line" through lwlistlog
// and lwgetlog, a period without hits leaves nothing, and a stop finishes
// the current result file.
TEST_F(AgentRun, WatchesFilesOfFacilitiesManagedOverSmt) {
  const std::string app = dir_.file("logs/app.log"), beg = dir_.file("logs/beg.log");
  const std::string one = dir_.file("logs/one.txt"), res = dir_.file("res");
  for (const char* d : {"fac", "res", "logs"}) fs::create_directory(dir_.file(d));
  // Written now but found a while ago: the next write moves the
  // modification time forward, which whole seconds would otherwise hide.
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
  auto scans = [&] {
    std::string text = log();
    const std::string line = " scanning lwfacility 'web' files\n";
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
  };

  EXPECT_EQ(ask("lwwritef ../evil", "scan = 1\n"), agenttest::kCannotOpen);
  const std::string web = "scan = 1\nfile = " + app + "\nfile = " + dir_.file("logs") +
                          "/*.txt\nfilter = err;error\nfilter = warn;warn\n";
  ASSERT_EQ(ask("lwwritef web", web), ok());
  ASSERT_EQ(
      ask("lwwritef beg", "scan = 1\nscanfrombeg = 1\nfile = " + beg + "\nfilter = err;error\n"),
      ok());
  ASSERT_TRUE(wait_log(" facility 'web' added\n")) << log();
  ASSERT_TRUE(wait_log("#   start dynamic monitoring '" + one + "'\n"));
  // The scan after the one of the load: every file has been found.
  ASSERT_TRUE(testutil::wait_until([&] { return scans() >= 2; }, 5000));
  testutil::append_file(app, "disk error 1\nall fine\n");
  testutil::append_file(one, "low space warning\n");
  testutil::write_file(dir_.file("logs/two.txt"), "early warning\n");

  // Fetch what is listed until every hit has come back; each identifier is
  // twelve digits, and its file goes with the first fetch.
  const std::set<std::string> expected = {"[web,err] disk error 1", "[web,warn] low space warning",
                                          "[web,warn] early warning", "[beg,err] old error in beg"};
  std::set<std::string> fetched;
  bool tmp_seen = false;
  bool done = testutil::wait_until(
      [&] {
        tmp_seen = tmp_seen || !results(".tmp").empty();
        Reply list = ask("lwlistlog");
        EXPECT_EQ(list.status, "200 OK");
        for (const std::string& id : testutil::split_lines(list.body)) {
          EXPECT_TRUE(std::regex_match(id, std::regex("\\d{12}"))) << id;
          Reply got = ask("lwgetlog " + id);
          EXPECT_EQ(got.status, "200 OK") << id;
          for (const std::string& line : testutil::split_lines(got.body)) fetched.insert(line);
          EXPECT_EQ(ask("lwgetlog " + id), agenttest::kCannotOpen) << id;
        }
        return fetched.size() >= expected.size();
      },
      12000);
  EXPECT_TRUE(done) << log();
  EXPECT_EQ(fetched, expected);
  EXPECT_TRUE(tmp_seen);  // an open result file was there, and never listed

  // The period that is open now gets no hit: once it is over, nothing of
  // it is left.
  std::vector<std::string> open_now;
  ASSERT_TRUE(testutil::wait_until([&] { return (open_now = results(".tmp")).size() == 1; }, 5000));
  ASSERT_TRUE(testutil::wait_until([&] { return results(".tmp") != open_now; }, 8000));
  EXPECT_EQ(ask("lwlistlog"), ok());
  EXPECT_TRUE(results(".log").empty());
  // A removed facility is dropped at the next reload.
  EXPECT_EQ(ask("lwremovef beg"), ok());
  EXPECT_TRUE(wait_log(" facility 'beg' removed\n")) << log();

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

}  // namespace

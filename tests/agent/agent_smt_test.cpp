// The agent's request server: in process (start, bounded stop, a server that
// cannot start) and end to end with the real executable and smtc.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "agent/agent.h"
#include "klib/kerror.h"
#include "support/smt_wire.h"
#include "support/testutil.h"

namespace {

using Clock = std::chrono::steady_clock;
using smtwire::frame;
using smtwire::local_port;
using smtwire::read_reply;

long ms_since(Clock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// ---- in process, on the one agent record ----

class AgentInProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    kerror_libinit();
    kservice_app* app = &g_agent.host;
    klog_init(&app->log, dir_.file("vardo.log").c_str());
    kconfig_load(&app->config, dir_.file("vardo.conf").c_str());
    kstring_init(&app->module_dir);
    kstring_assign_cstr(&app->module_dir, (dir_.path() + "/").c_str());
  }
  void TearDown() override {
    kservice_app* app = &g_agent.host;
    kstring_free(&app->module_dir);
    kconfig_free(&app->config);
    klog_free(&app->log);
  }
  void configure(const std::string& listener) {
    testutil::write_file(dir_.file("vardo.conf"),
                         "lwatch.enable = 0\nvardo.listener = " + listener + "\n");
  }
  uint16_t port() {
    kstring address;
    kstring_init(&address);
    uint16_t p = 0;
    ksocket_local_name(ksocketset_at(&g_agent.smt.listeners, 0), &address, &p);
    kstring_free(&address);
    return p;
  }
  std::string log() { return testutil::read_file(dir_.file("vardo.log")); }

  testutil::TempDir dir_;
};

TEST_F(AgentInProcess, StopEndsTheServerThreadsWithinBounds) {
  configure("127.0.0.1:0");
  ASSERT_EQ(agent_init(&g_agent.host), 0u);
  ASSERT_TRUE(g_agent.smt_enabled);
  int idle = testutil::tcp_connect(port());
  ASSERT_GE(idle, 0);
  std::atomic<int> served{0};
  std::thread chatty([&] {
    int fd = testutil::tcp_connect(port());
    while (fd >= 0 && testutil::send_all(fd, frame("echo x")) &&
           read_reply(fd, 3000) == frame("200 OK", "echo x"))
      ++served;
    if (fd >= 0) close(fd);
  });
  ASSERT_TRUE(testutil::wait_until([&] { return served.load() > 10; }, 5000));

  auto t0 = Clock::now();
  EXPECT_EQ(agent_stop(&g_agent.host), 0u);
  long took = ms_since(t0);
  chatty.join();
  // The accept wait and the idle wait are 1 s each, polled in 500 ms steps.
  EXPECT_LT(took, 4000);
  EXPECT_EQ(g_agent.stop_requested.load(), 1u);
  EXPECT_FALSE(kthread_is_running(&g_agent.smt.accept_thread));
  for (uint32_t i = 0; i < g_agent.smt.pool.count; ++i)
    EXPECT_FALSE(smt_client_is_running(static_cast<smt_client*>(karray_get(&g_agent.smt.pool, i))))
        << i;
  EXPECT_TRUE(testutil::wait_closed(idle, 1000));
  close(idle);
  EXPECT_EQ(agent_cleanup(&g_agent.host), 0u);

  std::string text = log();
  size_t shutdown = text.find(" VARDO shutdown\n");
  ASSERT_NE(shutdown, std::string::npos) << text;
  EXPECT_NE(text.find(" SMTSVR shutdown\n", shutdown), std::string::npos) << text;
  EXPECT_EQ(text.find("not terminated"), std::string::npos) << text;
}

TEST_F(AgentInProcess, ServerThatCannotListenIsSwitchedOff) {
  configure("192.0.2.1:9000");
  ASSERT_EQ(agent_init(&g_agent.host), 0u);
  EXPECT_FALSE(g_agent.smt_enabled);
  EXPECT_NE(log().find("[WARNING] VARDO cannot initialize SMT - disabling feature\n"),
            std::string::npos)
      << log();
  auto t0 = Clock::now();
  agent_stop(&g_agent.host);
  EXPECT_LT(ms_since(t0), 500);
  EXPECT_EQ(log().find("SMTSVR"), std::string::npos);
  agent_cleanup(&g_agent.host);
}

// ---- the real executable, and smtc ----

class AgentRun : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = dir_.file("vardo");
    std::filesystem::copy_file(VARDO_EXE, exe_);
  }
  void TearDown() override {
    if (child_.running()) {
      child_.signal(SIGINT);
      int status = -1;
      // A clean exit also says that no sanitizer found fault in the agent.
      EXPECT_TRUE(child_.wait_exit(10000, &status));
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
  }
  // Starts the agent and learns the port it was given.
  bool start(const std::string& extra = "") {
    testutil::write_file(dir_.file("vardo.conf"),
                         "vardo.listener = 127.0.0.1:0\nlwatch.enable = 0\n" + extra);
    if (!child_.start({exe_, "-start"}, dir_.path(), dir_.file("console.txt"), {},
                      {"NOTIFY_SOCKET", "INVOCATION_ID"}))
      return false;
    return testutil::wait_listener_port(dir_.file("vardo.log"), &port_) &&
           testutil::wait_until([&] { return log().find("SMTSVR up") != std::string::npos; }, 5000);
  }
  std::string log() { return testutil::read_file(dir_.file("vardo.log")); }
  std::string endpoint() { return "127.0.0.1:" + std::to_string(port_); }
  // Runs smtc with a shell command line; its exit code, with standard
  // output and error in out_ and err_.
  int smtc(const std::string& args) {
    std::string cmd =
        std::string(SMTC_EXE) + " " + args + " >" + dir_.file("out") + " 2>" + dir_.file("err");
    int status = std::system(cmd.c_str());
    out_ = testutil::read_file(dir_.file("out"));
    err_ = testutil::read_file(dir_.file("err"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  testutil::TempDir dir_;
  std::string exe_;
  testutil::Child child_;
  uint16_t port_ = 0;
  std::string out_, err_;
};

TEST_F(AgentRun, ClientReachesTheAgent) {
  ASSERT_TRUE(start()) << log();
  EXPECT_EQ(smtc("-t 5000 " + endpoint() + " echo hi"), 0);
  EXPECT_EQ(out_, "echo hi");
  EXPECT_EQ(err_, "200 OK\n");
  EXPECT_EQ(smtc("-1 " + endpoint() + " echo framed as version 1"), 0);
  EXPECT_EQ(out_, "echo framed as version 1");
  testutil::write_file(dir_.file("body"), "ignored by echo");
  EXPECT_EQ(smtc("-b " + dir_.file("body") + " " + endpoint() + " echo"), 0);
  EXPECT_EQ(smtc("-b - " + endpoint() + " echo stdin < " + dir_.file("body")), 0);
  EXPECT_EQ(out_, "echo stdin");
  EXPECT_EQ(smtc(endpoint() + " ECHO hi"), 1);
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "400 Cannot serve this request\n");
}

TEST_F(AgentRun, ClientReportsNoReplyAndUsage) {
  // A bound port on which nothing listens: connection refused.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  getsockname(probe, reinterpret_cast<sockaddr*>(&sa), &len);
  std::string closed = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
  EXPECT_EQ(smtc("-t 2000 " + closed + " echo hi"), 2);
  EXPECT_EQ(out_, "");
  EXPECT_NE(err_.find("cannot connect"), std::string::npos) << err_;
  close(probe);
  EXPECT_EQ(smtc("-h"), 0);
  EXPECT_NE(out_.find("usage: smtc"), std::string::npos);
  EXPECT_EQ(smtc("127.0.0.1:9"), 2);  // no request words
  EXPECT_NE(err_.find("usage: smtc"), std::string::npos);
}

TEST_F(AgentRun, PeerOutsideTheAddressMaskGetsNoReply) {
  ASSERT_TRUE(start("smtsvr.addressmask = 127.0.0.1\n")) << log();
  int fd = testutil::tcp_connect(port_, "127.0.0.1", "127.0.0.2");
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(testutil::send_all(fd, frame("echo hi")));
  std::string data;
  EXPECT_TRUE(testutil::wait_closed(fd, 5000, &data));
  EXPECT_EQ(data, "");
  std::string line =
      "[WARNING] connection not authorized from 127.0.0.2:" + std::to_string(local_port(fd)) + "\n";
  close(fd);
  EXPECT_TRUE(testutil::wait_until([&] { return log().find(line) != std::string::npos; }, 5000))
      << log();
  EXPECT_EQ(smtc(endpoint() + " echo hi"), 0);
  EXPECT_EQ(out_, "echo hi");
}

TEST_F(AgentRun, RefusedVerbsAreAnsweredAndTheConnectionServesOn) {
  ASSERT_TRUE(start("smtsvr.disableverb = exec\n")) << log();
  int fd = testutil::tcp_connect(port_);
  ASSERT_GE(fd, 0);
  const std::string refused = frame("400 Cannot serve this request");
  EXPECT_EQ(refused, "SMTF20002900000000400 Cannot serve this request");
  ASSERT_TRUE(testutil::send_all(fd, frame("exec ls")));
  EXPECT_EQ(read_reply(fd), refused);
  ASSERT_TRUE(testutil::send_all(fd, frame("nosuch verb")));
  EXPECT_EQ(read_reply(fd), refused);
  ASSERT_TRUE(testutil::send_all(fd, frame("echo still here")));
  EXPECT_EQ(read_reply(fd), frame("200 OK", "echo still here"));
  close(fd);
}

}  // namespace

// Commands dispatched in process on a connection record; no test may leave a
// child process or a descriptor.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <map>

#include "agent/agent.h"
#include "agent/agent_dispatch.h"
#include "agent/agent_exec.h"
#include "agent/agent_watch.h"
#include "klib/kerror.h"
#include "support/testutil.h"

namespace cmdtest {

namespace fs = std::filesystem;
using Reply = std::pair<std::string, std::string>;  // status line, body
using Names = std::vector<std::string>;

const auto ok = [](const std::string& body = "") { return Reply{"200 OK", body}; };
const Reply kRefused{"400 Cannot serve this request", ""};
const Reply kSyntaxError{"400 Syntax error", ""};
const Reply kCannotOpen{"400 Cannot open file", ""};

inline std::string str(const kstring* s) {
  return {kstring_text(s), s->length};
}

// A connection record from 127.0.0.1:4242; its reply counts as sent with sent_rc.
struct Conn {
  agent_conn record;
  smt_client& c = record.client;
  uint32_t sent_rc = 0;
  explicit Conn(klog* log) {
    smt_client_init(&c, nullptr, nullptr, agent_on_message, log);
    kstring_assign_cstr(&c.peer_address, "127.0.0.1");
    c.peer_port = 4242;
  }
  ~Conn() { smt_client_free(&c); }
  Reply send(const std::string& head, const std::string& body = "") {
    smt_message_clear(&c.request);
    smt_message_clear(&c.reply);
    kstring_assign_bytes(&c.request.head, head.data(), uint32_t(head.size()));
    kstring_assign_bytes(&c.request.body, body.data(), uint32_t(body.size()));
    const uint32_t rc = agent_on_message(&c);
    smt_client_reply_done(&c, rc == 0 ? sent_rc : KERR_FAILED);
    return {str(&c.reply.head), str(&c.reply.body)};
  }
};

// The settings the commands read (fac/ and res/ of a temporary directory).
class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    kerror_libinit();
    fds_ = testutil::count_fds();
    ASSERT_TRUE(testutil::child_pids(getpid()).empty());
    klog_init(&log_, dir_.file("agent.log").c_str());
    g_agent.log_ref = &log_;
    g_agent.exec_timeout_s = 20;
    kstrlist_init(&g_agent.disabled_verbs);
    kstrlist_init(&g_agent.address_masks);
    kstring_init(&g_agent.facilitydir);
    kstring_init(&g_agent.resultdir);
    fs::create_directories(res()), fs::create_directories(fac());
    dirs(fac() + "/", res());
  }
  void TearDown() override {
    kstring_free(&g_agent.resultdir);
    kstring_free(&g_agent.facilitydir);
    kstrlist_free(&g_agent.address_masks);
    kstrlist_free(&g_agent.disabled_verbs);
    g_agent.log_ref = nullptr;
    klog_free(&log_);
    EXPECT_TRUE(testutil::child_pids(getpid()).empty());
    EXPECT_EQ(testutil::count_fds(), fds_);
  }
  void dirs(const std::string& facilitydir, const std::string& resultdir) {
    kstring_assign_cstr(&g_agent.facilitydir, facilitydir.c_str());
    kstring_assign_cstr(&g_agent.resultdir, resultdir.c_str());
  }
  std::string fac() const { return dir_.file("fac"); }
  std::string res() const { return dir_.file("res"); }
  Reply send(const std::string& head, const std::string& b = "") { return conn_.send(head, b); }
  std::string log() { return testutil::read_text(dir_.file("agent.log")); }
  static Names sorted(Names v) { return std::sort(v.begin(), v.end()), v; }
  Names files(const std::string& dir) {
    Names n;
    for (auto& e : fs::directory_iterator(dir)) n.push_back(e.path().filename().string());
    return sorted(n);
  }

  testutil::TempDir dir_;
  klog log_;
  Conn conn_{&log_};
  int fds_ = 0;
};

class WatchCommands : public Commands {};

}  // namespace cmdtest

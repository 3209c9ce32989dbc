// Helpers of the agent tests: replies as values, and requests dispatched on
// a connection record as a connection thread does, with the agent settings
// that the commands read.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>

#include "agent/agent.h"
#include "agent/agent_dispatch.h"
#include "klib/kerror.h"
#include "support/testutil.h"

namespace agenttest {

struct Reply {
  std::string status, body;
  bool operator==(const Reply& o) const { return status == o.status && body == o.body; }
};

inline std::ostream& operator<<(std::ostream& out, const Reply& r) {
  return out << '"' << r.status << "\" \"" << r.body.substr(0, 300) << '"';
}

inline Reply ok(const std::string& body = "") {
  return {"200 OK", body};
}

inline const Reply kRefused{"400 Cannot serve this request", ""};
inline const Reply kSyntaxError{"400 Syntax error", ""};
inline const Reply kCannotOpen{"400 Cannot open file", ""};

inline std::string str(const kstring* s) {
  return std::string(kstring_text(s), s->length);
}

// A connection record from peer:4242; rc is the dispatch result of the last
// request.
struct Conn {
  smt_client c;
  uint32_t rc = 0;
  explicit Conn(klog* log, const char* peer = "127.0.0.1") {
    smt_client_init(&c, nullptr, nullptr, agent_on_message, log);
    kstring_assign_cstr(&c.peer_address, peer);
    c.peer_port = 4242;
  }
  ~Conn() { smt_client_free(&c); }
  Reply send(const std::string& head, const std::string& body = "") {
    smt_message_clear(&c.request);
    smt_message_clear(&c.reply);
    kstring_assign_bytes(&c.request.head, head.data(), static_cast<uint32_t>(head.size()));
    kstring_assign_bytes(&c.request.body, body.data(), static_cast<uint32_t>(body.size()));
    rc = agent_on_message(&c);
    return {str(&c.reply.head), str(&c.reply.body)};
  }
};

// The agent record's settings as agent_init leaves them (no disabled verb,
// no address mask, a 20 s time limit, fac/ and res/ of a temporary
// directory), and one connection. A test leaves no child process and no
// open descriptor behind.
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
    std::filesystem::create_directory(fac());
    std::filesystem::create_directory(res());
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
  static void add(kstrlist* list, const char* value) {
    kstring_assign_cstr(kstrlist_add(list), value);
  }
  std::string fac() const { return dir_.file("fac"); }
  std::string res() const { return dir_.file("res"); }
  Reply send(const std::string& head, const std::string& body = "") {
    return conn_.send(head, body);
  }
  std::string log() { return testutil::read_file(dir_.file("agent.log")); }

  testutil::TempDir dir_;
  klog log_;
  Conn conn_{&log_};
  int fds_ = 0;
};

}  // namespace agenttest

// The request dispatch on a connection record, without sockets: peer
// authorization, the command word, disabled verbs and the echo command.
#include "agent/agent_dispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "klib/kerror.h"
#include "support/testutil.h"

namespace {

std::string str(const kstring* s) {
  return std::string(kstring_text(s), s->length);
}

class Dispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    kerror_libinit();
    klog_init(&log_, dir_.file("agent.log").c_str());
    kstrlist_init(&g_agent.disabled_verbs);
    kstrlist_init(&g_agent.address_masks);
    smt_client_init(&client_, nullptr, nullptr, agent_on_message, &log_);
    peer("127.0.0.1");
  }
  void TearDown() override {
    smt_client_free(&client_);
    kstrlist_free(&g_agent.address_masks);
    kstrlist_free(&g_agent.disabled_verbs);
    klog_free(&log_);
  }
  void peer(const char* address) {
    kstring_assign_cstr(&client_.peer_address, address);
    client_.peer_port = 4242;
  }
  static void add(kstrlist* list, const char* value) {
    kstring_assign_cstr(kstrlist_add(list), value);
  }
  // Dispatches one request as the connection thread does; the result.
  uint32_t request(const std::string& head, const std::string& body = "") {
    smt_message_clear(&client_.request);
    smt_message_clear(&client_.reply);
    kstring_assign_bytes(&client_.request.head, head.data(), static_cast<uint32_t>(head.size()));
    kstring_assign_bytes(&client_.request.body, body.data(), static_cast<uint32_t>(body.size()));
    return agent_on_message(&client_);
  }
  std::string status() { return str(&client_.reply.head); }
  std::string body() { return str(&client_.reply.body); }
  std::string log() { return testutil::read_file(dir_.file("agent.log")); }

  testutil::TempDir dir_;
  klog log_;
  smt_client client_;
};

TEST_F(Dispatch, EchoAnswersWithTheWholeHead) {
  EXPECT_EQ(request("echo hi", "ignored"), 0u);
  EXPECT_EQ(status(), "200 OK");
  EXPECT_EQ(body(), "echo hi");
  EXPECT_EQ(request("echo"), 0u);
  EXPECT_EQ(body(), "echo");
  EXPECT_EQ(request("echo  two  blanks\t"), 0u);
  EXPECT_EQ(body(), "echo  two  blanks\t");
}

TEST_F(Dispatch, CommandWordIsExactAndEndsOnlyAtABlank) {
  for (const std::string& head :
       std::vector<std::string>{"ECHO hi", "echo\thi", " echo", "", "echoes", "ech"}) {
    EXPECT_EQ(request(head), 0u) << head;
    EXPECT_EQ(status(), "400 Cannot serve this request") << head;
    EXPECT_EQ(body(), "") << head;
  }
  EXPECT_EQ(log(), "");  // refusals of a command are not logged
}

TEST_F(Dispatch, DisabledVerbsAreRefusedLikeUnknownOnes) {
  add(&g_agent.disabled_verbs, "exec");
  EXPECT_EQ(request("exec ls -l"), 0u);
  EXPECT_EQ(status(), "400 Cannot serve this request");
  EXPECT_EQ(request("echo hi"), 0u);
  EXPECT_EQ(status(), "200 OK");
  add(&g_agent.disabled_verbs, "echo");
  EXPECT_EQ(request("echo hi"), 0u);
  EXPECT_EQ(status(), "400 Cannot serve this request");
  EXPECT_EQ(body(), "");
}

TEST_F(Dispatch, AddressMasksAreWholeAddressesCheckedOnEveryRequest) {
  // No mask: every peer is served.
  peer("10.1.2.3");
  EXPECT_EQ(request("echo hi"), 0u);
  add(&g_agent.address_masks, "10.0.0.1");
  add(&g_agent.address_masks, "127.0.0.1");
  for (const char* refused : {"10.0.0.10", "127.0.0.2", "10.1.2.3"}) {
    peer(refused);
    EXPECT_EQ(request("echo hi"), 1u) << refused;
    EXPECT_EQ(status(), "") << refused;
  }
  peer("127.0.0.2");
  EXPECT_EQ(request("echo hi"), 1u);
  std::string text = log();
  const std::string line = "[WARNING] connection not authorized from 127.0.0.2:4242\n";
  size_t first = text.find(line);
  ASSERT_NE(first, std::string::npos) << text;
  EXPECT_NE(text.find(line, first + 1), std::string::npos) << "one warning per request";
  EXPECT_EQ(testutil::split_lines(text).size(), 4u);
  peer("127.0.0.1");
  EXPECT_EQ(request("echo hi"), 0u);
  EXPECT_EQ(status(), "200 OK");
}

}  // namespace

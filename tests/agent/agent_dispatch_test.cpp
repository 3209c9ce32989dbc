// The request dispatch on a connection record, without sockets: the command
// word, the echo command, disabled verbs and peer authorization.
#include "agent/agent_dispatch.h"

#include <gtest/gtest.h>

#include "agent_test_util.h"

namespace {

using agenttest::kRefused;
using agenttest::ok;

class Dispatch : public agenttest::Commands {};

TEST_F(Dispatch, EchoAnswersWithTheWholeHeadOfAnExactCommandWord) {
  EXPECT_EQ(send("echo  two  blanks\t", "ignored"), ok("echo  two  blanks\t"));
  EXPECT_EQ(send("echo"), ok("echo"));
  // Only the blank ends the word, and case counts.
  for (const char* head : {"ECHO hi", "echo\thi", " echo", "", "echoes", "ech"})
    EXPECT_EQ(send(head), kRefused) << head;
  EXPECT_EQ(log(), "");  // refusals of a command are not logged
}

TEST_F(Dispatch, DisabledVerbsAreRefusedLikeUnknownOnesAndStartNoProcess) {
  add(&g_agent.disabled_verbs, "exec");
  EXPECT_EQ(send("exec touch " + dir_.file("touched")), kRefused);
  EXPECT_FALSE(testutil::file_exists(dir_.file("touched")));
  testutil::write_file(dir_.file("f"), "still served\n");
  EXPECT_EQ(send("read " + dir_.file("f")), ok("still served\n"));
  add(&g_agent.disabled_verbs, "echo");
  EXPECT_EQ(send("echo hi"), kRefused);
}

// Masks are whole addresses, checked on every request: a refused peer gets
// no reply (the connection is closed) and one warning per request.
TEST_F(Dispatch, AddressMasksAreWholeAddressesCheckedOnEveryRequest) {
  agenttest::Conn other(&log_, "10.1.2.3");
  EXPECT_EQ(other.send("echo hi"), ok("echo hi"));  // no mask: every peer
  add(&g_agent.address_masks, "10.0.0.1");
  add(&g_agent.address_masks, "127.0.0.1");
  for (const char* refused : {"10.0.0.10", "127.0.0.2", "10.1.2.3", "127.0.0.2"}) {
    agenttest::Conn conn(&log_, refused);
    EXPECT_EQ(conn.send("echo hi"), agenttest::Reply{}) << refused;
    EXPECT_EQ(conn.rc, 1u) << refused;
  }
  std::vector<std::string> lines = testutil::split_lines(log());
  ASSERT_EQ(lines.size(), 4u);
  for (int i : {1, 3})
    EXPECT_TRUE(lines[i].ends_with("[WARNING] connection not authorized from 127.0.0.2:4242"))
        << lines[i];
  EXPECT_EQ(send("echo hi"), ok("echo hi"));
}

}  // namespace

// SMT frames on a connected socket pair.
#include "net/smt_frame.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/smt_wire.h"

namespace {

// A socket pair: `a` for the code under test, sv[1] for the test's raw bytes.
struct Pair {
  int sv[2] = {-1, -1};
  ksocket a;
  smt_message m;
  Pair() {
    testutil::socket_pair(sv);
    a.handle = sv[0];
    smt_message_init(&m);
  }
  ~Pair() {
    smt_message_free(&m);
    testutil::close_socket(sv[0]);
    testutil::close_socket(sv[1]);
  }
  // Reads one frame of bytes sent by a thread of their own (larger than the buffers).
  uint32_t read(const std::string& bytes) {
    smt_message_clear(&m);
    std::thread writer([&] { testutil::send_all(sv[1], bytes); });
    uint32_t rc = smt_frame_read(&m, &a, 5000);
    writer.join();
    return rc;
  }
  std::string parts() const { return nettest::str(&m.head) + "|" + nettest::str(&m.body); }
  std::string unread() { return testutil::recv_upto(sv[0], SIZE_MAX, 50); }
};

// Both versions byte-exactly; lengths the fields cannot carry send nothing.
TEST(SmtFrame, WritesBothVersionsByteExactlyAndNothingOfALengthTheFieldsCannotCarry) {
  const std::string h(99999, 'h'), b(100000, 'b');
  for (auto [version, head, body, rc, bytes] :
       std::vector<std::tuple<uint8_t, std::string, std::string, uint32_t, std::string>>{
           {2, "echo hi", "", 0, "SMTF20000700000000echo hi"},
           {1, "echo hi", "", 0, "SMTF 0000700000echo hi"},
           {2, h, b, 0, "SMTF29999900100000" + h + b},
           {2, h + "h", "", KERR_SMT_SIZE, ""},
           {1, "200 OK", b, KERR_SMT_SIZE, ""}}) {
    Pair p;
    std::string got;
    std::thread reader([&] { got = testutil::recv_upto(p.sv[1], SIZE_MAX, 5000); });
    p.m.version = version;
    nettest::set(&p.m.head, head);
    nettest::set(&p.m.body, body);
    EXPECT_EQ(smt_frame_write(&p.m, &p.a, 5000), rc) << version << head.substr(0, 9);
    testutil::shutdown_write(p.sv[0]);
    reader.join();
    EXPECT_TRUE(got == bytes) << version << head.substr(0, 9);
  }
}

// A read takes exactly one frame's bytes, NUL-ended; lengths past the limits or
// negative are refused before the head, a wrong magic after five bytes.
TEST(SmtFrame, ReadsOneFrameAndJudgesLimitsAndMagicBeforeTheBytesThatFollow) {
  Pair p;
  for (auto [bytes, rc, version, parts, rest] :
       std::vector<std::tuple<std::string, uint32_t, int, std::string, std::string>>{
           {"SMTF 0000000000SMTF2", 0, 1, "|", "SMTF2"},
           {"SMTF20000200000003hiabcX", 0, 2, "hi|abc", "X"},
           {"SMTF 0002x 0003hixyz", 0, 1, "hi|xyz", ""},
           {"SMTF26553600000000" + std::string(65536, 'h'), 0, 2, std::string(65536, 'h') + "|",
            ""},
           {"SMTF20000001048576" + std::string(1048576, 'b'), 0, 2, "|" + std::string(1048576, 'b'),
            ""},
           {"SMTF 6553700000Xrest", KERR_SMT_SIZE, 0, "|", "Xrest"},
           {"SMTF20000001048577Xrest", KERR_SMT_SIZE, 0, "|", "Xrest"},
           {"SMTF -000100000Xrest", KERR_SMT_SIZE, 0, "|", "Xrest"},
           {"smtf20000000000000", KERR_SMT_FRAME, 0, "|", "0000000000000"},
           {"SMTF30000000000000", KERR_SMT_FRAME, 0, "|", "0000000000000"},
           {"HTTP/", KERR_SMT_FRAME, 0, "|", ""}}) {
    EXPECT_EQ(p.read(bytes), rc) << bytes.substr(0, 20);
    EXPECT_TRUE(p.parts() == parts) << bytes.substr(0, 20);
    EXPECT_EQ(p.unread(), rest) << bytes.substr(0, 20);
    if (rc != 0) continue;
    EXPECT_EQ(p.m.version, version);
    EXPECT_EQ(kstring_text(&p.m.head)[p.m.head.length], '\0');
    EXPECT_EQ(kstring_text(&p.m.body)[p.m.body.length], '\0');
    // Again with the header in two pieces, judged step by step.
    Pair q;
    std::thread writer([&] {
      testutil::send_all(q.sv[1], bytes.substr(0, 7));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      testutil::send_all(q.sv[1], bytes.substr(7));
    });
    EXPECT_EQ(smt_frame_read(&q.m, &q.a, 5000), 0u) << bytes.substr(0, 20);
    writer.join();
    EXPECT_TRUE(q.parts() == parts) << bytes.substr(0, 20);
  }
}

// Limits per wait and per frame; a peer closing mid-frame fails, a stalled one times out.
TEST(SmtFrame, PeerClosingMidFrameGivesOneAndAStalledPeerATimeOutPerWaitOrPerFrame) {
  for (auto [whole, limit_ms, gap_ms, stall_ms, rc] :
       std::vector<std::tuple<bool, uint32_t, int, int, uint32_t>>{
           {false, 300, 20, 20, 0},
           {true, 200, 20, 20, KERR_TIMEOUT},
           {true, 5000, 20, 20, 0},
           {true, 300, 0, 600, KERR_TIMEOUT}}) {
    Pair p;
    bool started = false;
    std::atomic<bool> done{false};
    std::thread writer([&] {
      const std::string frame = "SMTF20000700000004echo hibody";
      for (size_t i = 0; i < frame.size() && !done.load(); ++i) {
        const int ms = i + 1 == frame.size() ? stall_ms : gap_ms;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        if (!testutil::send_all(p.sv[1], frame.substr(i, 1))) break;
      }
    });
    EXPECT_EQ(whole ? smt_frame_read_next(&p.m, &p.a, 1000, limit_ms, false, &started)
                    : smt_frame_read(&p.m, &p.a, limit_ms),
              rc)
        << whole << limit_ms;
    done = true;
    writer.join();
  }

  for (std::string part :
       {"", "SMT", "SMTF2", "SMTF2000070000", "SMTF20000700000000ech", "SMTF20000200000005hiab"}) {
    for (bool closed : {true, false}) {
      Pair p;
      ASSERT_TRUE(part.empty() || testutil::send_all(p.sv[1], part));
      if (closed) testutil::shutdown_write(p.sv[1]);
      EXPECT_EQ(smt_frame_read(&p.m, &p.a, 100), closed ? KERR_FAILED : KERR_TIMEOUT) << part;
    }
  }

  // The next request: idle silence is no start, a close is one; the frame limit runs
  // from the first byte.
  for (bool wait_first : {true, false}) {
    for (int peer : {0 /* silent */, 1 /* closes */, 2 /* sends after 150 ms */}) {
      Pair p;
      if (peer == 1) testutil::shutdown_write(p.sv[1]);
      std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        if (peer == 2) testutil::send_all(p.sv[1], "SMTF20000700000000echo hi");
      });
      bool started = peer == 0;
      uint32_t rc = smt_frame_read_next(&p.m, &p.a, peer ? 2000 : 100, 100, wait_first, &started);
      writer.join();
      EXPECT_EQ(rc, std::vector<uint32_t>({KERR_TIMEOUT, KERR_FAILED, 0})[peer]) << peer;
      EXPECT_EQ(started, peer != 0) << peer;
    }
  }
}

}  // namespace

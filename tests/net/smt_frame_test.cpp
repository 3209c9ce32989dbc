// SMT frames on a connected socket pair: exact bytes in both versions,
// limits, malformed input and peers that close or stall.
#include "net/smt_frame.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "net_test_util.h"

namespace {

using nettest::Message;
using nettest::Pair;

std::string written(uint8_t version, const std::string& head, const std::string& body) {
  Pair p;
  Message msg(version, head, body);
  EXPECT_EQ(smt_frame_write(&msg.m, &p.a, 1000), 0u);
  return p.drain_b();
}

TEST(SmtFrame, WritesBothVersionsByteExactly) {
  EXPECT_EQ(written(2, "echo hi", ""), "SMTF20000700000000echo hi");
  EXPECT_EQ(written(1, "echo hi", ""), "SMTF 0000700000echo hi");
  EXPECT_EQ(written(1, "", ""), "SMTF 0000000000");
  EXPECT_EQ(written(2, "", ""), "SMTF20000000000000");
  EXPECT_EQ(written(2, "200 OK", "a\nb"), "SMTF20000600000003200 OKa\nb");
  // Every version other than 1 is written as version 2.
  EXPECT_EQ(written(0, "x", ""), "SMTF20000100000000x");
  EXPECT_EQ(written(3, "x", "y"), "SMTF20000100000001xy");
}

TEST(SmtFrame, ReadsBothVersionsAndLeavesTheNextFrameQueued) {
  Pair p;
  // Two frames back to back, the first of version 1 with empty parts: the
  // reader must take exactly one frame's bytes each time.
  ASSERT_TRUE(testutil::send_all(p.fb(), "SMTF 0000000000SMTF20000200000003hiabc"));
  Message msg;
  ASSERT_EQ(smt_frame_read(&msg.m, &p.a, 1000), 0u);
  EXPECT_EQ(msg.m.version, 1);
  EXPECT_EQ(msg.head(), "");
  EXPECT_EQ(msg.body(), "");
  ASSERT_EQ(smt_frame_read(&msg.m, &p.a, 1000), 0u);
  EXPECT_EQ(msg.m.version, 2);
  EXPECT_EQ(msg.head(), "hi");
  EXPECT_EQ(msg.body(), "abc");
  EXPECT_EQ(kstring_text(&msg.m.head)[2], '\0');
  EXPECT_EQ(kstring_text(&msg.m.body)[3], '\0');
}

TEST(SmtFrame, ReadsAFrameThatArrivesInPieces) {
  Pair p;
  std::string frame = "SMTF20000700000004echo hibody";
  std::thread writer([&] {
    for (char c : frame) {
      testutil::send_all(p.fb(), std::string(1, c));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  Message msg;
  EXPECT_EQ(smt_frame_read(&msg.m, &p.a, 5000), 0u);
  writer.join();
  EXPECT_EQ(msg.head(), "echo hi");
  EXPECT_EQ(msg.body(), "body");
}

TEST(SmtFrame, LengthFieldsAreReadLeniently) {
  // Digits up to the first non-digit count; leading blanks are skipped.
  Pair p;
  ASSERT_TRUE(testutil::send_all(p.fb(), "SMTF 0002x 0003hiabc"));
  Message msg;
  ASSERT_EQ(smt_frame_read(&msg.m, &p.a, 1000), 0u);
  EXPECT_EQ(msg.head(), "hi");
  EXPECT_EQ(msg.body(), "abc");
}

TEST(SmtFrame, HeadOf65536IsAcceptedAnd65537RefusedBeforeAnyHeadByte) {
  {
    Pair p;
    std::string head(65536, 'h');
    std::thread writer([&] { testutil::send_all(p.fb(), "SMTF26553600000000" + head); });
    Message msg;
    EXPECT_EQ(smt_frame_read(&msg.m, &p.a, 5000), 0u);
    writer.join();
    EXPECT_EQ(msg.head(), head);
  }
  Pair p;
  ASSERT_TRUE(testutil::send_all(p.fb(), "SMTF 6553700000Xrest"));
  Message msg;
  EXPECT_EQ(smt_frame_read(&msg.m, &p.a, 1000), KERR_SMT_SIZE);
  // The head's first byte is still unread.
  p.close_b();
  EXPECT_EQ(testutil::recv_upto(p.fa(), 100, 1000), "Xrest");
}

TEST(SmtFrame, BodyOf1048576IsAcceptedAndOneMoreRefused) {
  {
    Pair p;
    std::string body(1048576, 'b');
    std::thread writer([&] { testutil::send_all(p.fb(), "SMTF20000001048576" + body); });
    Message msg;
    EXPECT_EQ(smt_frame_read(&msg.m, &p.a, 5000), 0u);
    writer.join();
    EXPECT_EQ(msg.body().size(), 1048576u);
  }
  Pair p;
  ASSERT_TRUE(testutil::send_all(p.fb(), "SMTF20000001048577bbbb"));
  Message msg;
  EXPECT_EQ(smt_frame_read(&msg.m, &p.a, 1000), KERR_SMT_SIZE);
  // A negative length wraps to a huge one and is refused too.
  Pair q;
  ASSERT_TRUE(testutil::send_all(q.fb(), "SMTF -000100000"));
  EXPECT_EQ(smt_frame_read(&msg.m, &q.a, 1000), KERR_SMT_SIZE);
}

TEST(SmtFrame, WrongMagicIsRefusedAfterExactlyFiveBytes) {
  for (std::string magic : {"smtf2", "SMTF3", "SMTFx", "XXXXX"}) {
    Pair p;
    ASSERT_TRUE(testutil::send_all(p.fb(), magic + "0000000000000"));
    Message msg;
    EXPECT_EQ(smt_frame_read(&msg.m, &p.a, 1000), KERR_SMT_FRAME) << magic;
    p.close_b();
    EXPECT_EQ(testutil::recv_upto(p.fa(), 100, 1000), "0000000000000") << magic;
  }
  // Refused as soon as the five bytes are in: no wait for a header.
  Pair p;
  ASSERT_TRUE(testutil::send_all(p.fb(), "HTTP/"));
  Message msg;
  EXPECT_EQ(smt_frame_read(&msg.m, &p.a, 5000), KERR_SMT_FRAME);
}

TEST(SmtFrame, PeerClosingMidFrameGivesOne) {
  for (std::string part :
       {"", "SMT", "SMTF2", "SMTF2000070000", "SMTF20000700000000ech", "SMTF20000200000005hiab"}) {
    Pair p;
    ASSERT_TRUE(part.empty() || testutil::send_all(p.fb(), part));
    p.close_b();
    Message msg;
    EXPECT_EQ(smt_frame_read(&msg.m, &p.a, 1000), KERR_FAILED) << part;
  }
}

TEST(SmtFrame, StalledPeerGivesTimeoutPerWait) {
  for (std::string part : {"", "SMTF2", "SMTF20000700000000", "SMTF20000700000000ech"}) {
    Pair p;
    ASSERT_TRUE(part.empty() || testutil::send_all(p.fb(), part));
    Message msg;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(smt_frame_read(&msg.m, &p.a, 100), KERR_TIMEOUT) << part;
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_GE(ms, 90) << part;
    EXPECT_LT(ms, 3000) << part;
  }
}

TEST(SmtFrame, WriterRefusesLengthsItsFieldsCannotCarry) {
  Pair p;
  Message head_too_long(2, std::string(100000, 'h'), "");
  EXPECT_EQ(smt_frame_write(&head_too_long.m, &p.a, 1000), KERR_SMT_SIZE);
  Message body_too_long_v1(1, "200 OK", std::string(100000, 'b'));
  EXPECT_EQ(smt_frame_write(&body_too_long_v1.m, &p.a, 1000), KERR_SMT_SIZE);
  EXPECT_EQ(p.drain_b(), "");  // nothing at all was written

  // The largest head the field carries, and a version 2 body above the
  // version 1 limit, go out whole.
  Message largest(2, std::string(99999, 'h'), std::string(100000, 'b'));
  std::string got;
  std::thread reader([&] { got = testutil::recv_upto(p.fb(), 18 + 99999 + 100000, 5000); });
  EXPECT_EQ(smt_frame_write(&largest.m, &p.a, 5000), 0u);
  reader.join();
  ASSERT_EQ(got.size(), 18u + 99999 + 100000);
  EXPECT_EQ(got.substr(0, 18), "SMTF29999900100000");
}

}  // namespace

// The socket layer on real loopback sockets.
#include "net/ksocket.h"

#include <gtest/gtest.h>

#include "net_test_util.h"

namespace {

using nettest::Pair;

struct Text {
  kstring s;
  explicit Text(const char* t = "") {
    kstring_init(&s);
    kstring_assign_cstr(&s, t);
  }
  ~Text() { kstring_free(&s); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  std::string str() const { return kstring_text(&s); }
};

// A listener on 127.0.0.1 with a port the system chose.
struct Listener {
  ksocket s{-1};
  uint16_t port = 0;
  Listener() {
    kerror_libinit();
    Text any("127.0.0.1");
    Text address;
    if (ksocket_create_listener(&s, &any.s, 0) == 0) ksocket_local_name(&s, &address.s, &port);
  }
  ~Listener() {
    if (s.handle >= 0) ksocket_close(&s);
  }
};

TEST(KSocket, AddressTextIsDottedIPv4Only) {
  Text local("127.0.0.1"), name("localhost"), broadcast("255.255.255.255"), any("0.0.0.0");
  EXPECT_TRUE(ksocket_is_address(&local.s));
  EXPECT_TRUE(ksocket_is_address(&any.s));
  EXPECT_FALSE(ksocket_is_address(&name.s));
  EXPECT_FALSE(ksocket_is_address(&broadcast.s));

  ksocket s;
  ksocket_init(&s);
  ASSERT_EQ(ksocket_create_tcp(&s), 0u);
  EXPECT_EQ(ksocket_bind(&s, &name.s, 0), KERR_NOTADDRESS);
  EXPECT_EQ(ksocket_bind(&s, &broadcast.s, 0), KERR_NOTADDRESS);
  EXPECT_EQ(ksocket_connect(&s, &name.s, 9), KERR_NOTADDRESS);
  Text empty, address;
  uint16_t port = 0;
  ASSERT_EQ(ksocket_bind(&s, &empty.s, 0), 0u);  // every local address
  ASSERT_EQ(ksocket_local_name(&s, &address.s, &port), 0u);
  EXPECT_EQ(address.str(), "0.0.0.0");
  EXPECT_NE(port, 0);
  ksocket_close(&s);

  EXPECT_EQ(ksocket_create(&s, 3, KSOCKET_PROTO_TCP), KERR_FAILED);
}

TEST(KSocket, AcceptSendReceiveAndPeerClose) {
  Listener l;
  ASSERT_NE(l.port, 0);
  ksocket client;
  ksocket_init(&client);
  ASSERT_EQ(ksocket_create_tcp(&client), 0u);
  Text local("127.0.0.1");
  ASSERT_EQ(ksocket_connect(&client, &local.s, l.port), 0u);

  ksocketset set;
  ksocketset_init(&set);
  *ksocketset_add(&set) = l.s;
  ksocket served;
  ksocket_init(&served);
  ASSERT_EQ(ksocketset_accept(&set, 1000, &served), 0u);
  Text peer, client_address;
  uint16_t peer_port = 0, client_port = 0;
  ASSERT_EQ(ksocket_peer_name(&served, &peer.s, &peer_port), 0u);
  ASSERT_EQ(ksocket_local_name(&client, &client_address.s, &client_port), 0u);
  EXPECT_EQ(peer.str(), "127.0.0.1");
  EXPECT_EQ(peer_port, client_port);

  uint32_t n = 5;
  EXPECT_EQ(ksocket_send(&client, "hello", &n), 0u);
  EXPECT_EQ(n, 5u);
  char buf[16];
  n = sizeof buf;
  ASSERT_EQ(ksocket_wait(&served, KSOCKET_READ, 1000), 0u);
  EXPECT_EQ(ksocket_recv(&served, buf, &n), 0u);
  EXPECT_EQ(std::string(buf, n), "hello");

  ksocket_close(&client);
  n = sizeof buf;
  EXPECT_EQ(ksocket_recv(&served, buf, &n), KERR_FAILED);
  EXPECT_EQ(n, 0u);
  // A send to a closed peer fails sooner or later, and never raises SIGPIPE.
  uint32_t rc = 0;
  for (int i = 0; i < 100 && rc == 0; ++i) {
    n = 5;
    rc = ksocket_send(&served, "hello", &n);
  }
  EXPECT_NE(rc, 0u);
  ksocket_close(&served);
  ksocketset_free(&set);
}

TEST(KSocket, SetWaitReportsTheFirstReadyInSetOrder) {
  Listener first, second;
  ksocketset set;
  ksocketset_init(&set);
  *ksocketset_add(&set) = first.s;
  *ksocketset_add(&set) = second.s;
  uint32_t index = 9, kind = 9;
  EXPECT_EQ(ksocketset_wait(&set, 0, &index, &kind), KERR_TIMEOUT);
  int c2 = testutil::tcp_connect(second.port);
  int c1 = testutil::tcp_connect(first.port);
  ASSERT_GE(c1, 0);
  ASSERT_GE(c2, 0);
  ASSERT_EQ(ksocketset_wait(&set, 1000, &index, &kind), 0u);
  EXPECT_EQ(index, 0u);
  EXPECT_EQ(kind, KSOCKET_READ);
  close(c1);
  close(c2);
  ksocketset_free(&set);  // does not close: the Listeners do
}

TEST(KSocket, ZeroWaitPollsAndReadLineStopsAtLineFeedOrMaximum) {
  Pair p;
  EXPECT_EQ(ksocket_wait(&p.a, KSOCKET_READ, 0), KERR_TIMEOUT);
  EXPECT_EQ(ksocket_wait(&p.a, KSOCKET_WRITE, 0), 0u);
  ASSERT_TRUE(testutil::send_all(p.fb(), "abcd\na\rb\n"));
  Text line;
  EXPECT_EQ(ksocket_read_line(&p.a, &line.s, 3), 0u);
  EXPECT_EQ(line.str(), "abc");
  EXPECT_EQ(ksocket_read_line(&p.a, &line.s, 100), 0u);
  EXPECT_EQ(line.str(), "d");
  EXPECT_EQ(ksocket_read_line(&p.a, &line.s, 100), 0u);
  EXPECT_EQ(line.str(), "ab");
  EXPECT_EQ(ksocket_read_line(&p.a, &line.s, 0), 0u);
  // Non-blocking and nothing there: would-block, not a wait.
  ASSERT_EQ(ksocket_set_nonblocking(&p.a), 0u);
  EXPECT_EQ(ksocket_read_line(&p.a, &line.s, 100), KERR_WOULDBLOCK);
}

TEST(KSocket, ListenerEndpointIsReusableAtOnce) {
  uint16_t port;
  {
    Listener l;
    port = l.port;
    int c = testutil::tcp_connect(port);
    ASSERT_GE(c, 0);
    ksocket served;
    ASSERT_EQ(ksocket_accept(&l.s, &served), 0u);
    // The server side closes first and keeps the endpoint in TIME_WAIT.
    ksocket_close(&served);
    testutil::wait_closed(c, 1000);
    close(c);
  }
  ksocket again;
  Text local("127.0.0.1");
  ASSERT_EQ(ksocket_create_listener(&again, &local.s, port), 0u);
  ksocket_close(&again);
}

}  // namespace

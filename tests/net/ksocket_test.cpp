// The socket layer on real loopback sockets.
#include "net/ksocket.h"

#include <gtest/gtest.h>

#include "support/smt_wire.h"

namespace {

using nettest::Text;

// A listener on 127.0.0.1 and the port it got; port 0 when it could not be made.
struct Listener {
  ksocket s{-1};
  uint16_t port = 0;
  explicit Listener(uint16_t want = 0) {
    kerror_libinit();
    Text local("127.0.0.1"), address;
    if (ksocket_create_listener(&s, &local.s, want) == 0) ksocket_local_name(&s, &address.s, &port);
  }
  ~Listener() {
    if (s.handle >= 0) ksocket_close(&s);
  }
};

// A set accepts from its first ready listener; a connection receives until
// the peer closes, then a send fails without SIGPIPE; accept_peer names the
// peer, non-blocking, Nagle off; a TIME_WAIT endpoint binds again at once.
TEST(KSocket, SetAcceptsInSetOrderConnectionsEndAndEndpointsAreReusableAtOnce) {
  Listener first, second;
  ksocketset set;
  ksocketset_init(&set);
  *ksocketset_add(&set) = first.s;
  *ksocketset_add(&set) = second.s;
  uint32_t index = 9, kind = 9;
  EXPECT_EQ(ksocketset_wait(&set, 0, &index, &kind), KERR_TIMEOUT);
  int other = testutil::tcp_connect(second.port), client = testutil::tcp_connect(first.port);
  ASSERT_TRUE(testutil::send_all(client, "hi"));
  testutil::close_socket(client);
  ASSERT_EQ(ksocketset_wait(&set, 1000, &index, &kind), 0u);
  EXPECT_EQ(index, 0u);
  EXPECT_EQ(kind, KSOCKET_READ);
  ksocket served;
  ASSERT_EQ(ksocketset_accept(&set, 1000, &served), 0u);
  char buf[16];
  uint32_t n = sizeof buf;
  ASSERT_EQ(ksocket_wait(&served, KSOCKET_READ, 1000), 0u);
  EXPECT_EQ(ksocket_recv(&served, buf, &n), 0u);
  EXPECT_EQ(std::string(buf, n), "hi");
  EXPECT_EQ(ksocket_recv(&served, buf, &n), KERR_FAILED);
  EXPECT_EQ(n, 0u);
  uint32_t rc = 0;
  for (int i = 0; i < 100 && rc == 0; ++i) rc = ksocket_send(&served, "hello", &(n = 5));
  EXPECT_NE(rc, 0u);
  ksocket_close(&served);

  Text address;
  uint16_t peer_port = 0;
  ASSERT_EQ(ksocketset_wait(&set, 1000, &index, &kind), 0u);
  ASSERT_EQ(ksocket_accept_peer(ksocketset_at(&set, index), &served, &address.s, &peer_port), 0u);
  EXPECT_EQ(nettest::str(&address.s), "127.0.0.1");
  EXPECT_EQ(peer_port, smtwire::local_port(other));
  EXPECT_EQ(ksocket_recv(&served, buf, &(n = sizeof buf)), KERR_WOULDBLOCK);
  EXPECT_TRUE(testutil::tcp_nodelay(served.handle));
  ksocket_close(&served);
  EXPECT_TRUE(testutil::wait_closed(other, 1000));
  testutil::close_socket(other);
  ksocketset_free(&set);  // does not close: the Listeners do
  uint16_t port = second.port;
  ksocket_close(&second.s);
  second.s.handle = -1;
  EXPECT_EQ(Listener(port).port, port);
}

}  // namespace

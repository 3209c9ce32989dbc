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

// accept_peer names the peer, gives a non-blocking socket with Nagle off that fails a
// send to a closed peer without SIGPIPE; an endpoint in TIME_WAIT binds again at once.
TEST(KSocket, AcceptedConnectionsEndCleanlyAndEndpointsAreReusableAtOnce) {
  Listener l;
  ksocketset set;
  ksocketset_init(&set);
  *ksocketset_add(&set) = l.s;
  uint32_t index = 9, kind = 9, n = 0, rc = 0;
  int closing = testutil::tcp_connect(l.port), other = testutil::tcp_connect(l.port);
  ASSERT_TRUE(testutil::send_all(closing, "hi"));
  testutil::close_socket(closing);
  ksocket served[2];
  Text address;
  uint16_t peer_port = 0;
  for (ksocket& s : served) {
    ASSERT_EQ(ksocketset_wait(&set, 1000, &index, &kind), 0u);
    ASSERT_EQ(ksocket_accept_peer(ksocketset_at(&set, index), &s, &address.s, &peer_port), 0u);
    EXPECT_EQ(nettest::str(&address.s), "127.0.0.1");
    EXPECT_TRUE(testutil::tcp_nodelay(s.handle));
  }
  EXPECT_EQ(peer_port, smtwire::local_port(other));
  char buf[16];
  ASSERT_EQ(ksocket_wait(&served[0], KSOCKET_READ, 1000), 0u);
  EXPECT_EQ(ksocket_recv(&served[0], buf, &(n = sizeof buf)), 0u);
  EXPECT_EQ(std::string(buf, n), "hi");
  EXPECT_EQ(ksocket_recv(&served[0], buf, &(n = sizeof buf)), KERR_FAILED);
  EXPECT_EQ(n, 0u);
  for (int i = 0; i < 100 && rc == 0; ++i) rc = ksocket_send(&served[0], "hello", &(n = 5));
  EXPECT_NE(rc, 0u);
  for (ksocket& s : served) ksocket_close(&s);
  EXPECT_TRUE(testutil::wait_closed(other, 1000));
  testutil::close_socket(other);
  ksocketset_free(&set);  // does not close: the Listener does
  ksocket_close(&l.s);
  l.s.handle = -1;
  EXPECT_EQ(Listener(l.port).port, l.port);
}

}  // namespace

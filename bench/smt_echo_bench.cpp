// Echo round trips through the SMT server against a bare TCP floor.
//
// Both servers run in this process on 127.0.0.1 and see the same bytes: the
// 25-byte "SMTF2" request "echo hi" and its 31-byte "200 OK" reply. The SMT
// side is the real server with the agent's dispatcher and echo handler; the
// floor is a blocking thread per connection that reads the request and
// writes the canned reply. One client code drives both, over 1 and over 10
// persistent connections, so the ratio is the server's own cost. Threads are
// pinned so that both sides get the same placement: client and server on
// one CPU (processing cost alone), then on two CPUs (cross-CPU wake-ups);
// a last, unjudged pass leaves placement to the scheduler.
//
//   smt_echo_bench [--figures] [seconds per run, default 1] [rounds, default 3]
//   smt_echo_bench [--figures] --new-connection [seconds] [rounds] [port]
//
// Every figure is the median over the rounds; runs alternate floor and SMT.
// --figures prints the pinned placements only, as "name value" lines for
// bench_table: echo.<cpu1|cpu2>.<connections>.<floor|smt>.<figure> with the
// figures p50_us, p99_us, max_us, rps, stalls and round_trips.
//
// --new-connection measures a polling collector instead: every request on a
// connection of its own (connect, one request, the whole reply, close), 1
// and 10 clients in parallel, threads where the scheduler puts them. Its
// floor is 10 threads started once, each doing accept, read, write, close
// of the same bytes. The SMT side is the server at 127.0.0.1:port when a
// port is given (a live agent), the in-process server otherwise. A request
// whose connection cannot be made or ends without the whole reply counts as
// refused. Figures: poll.<clients>.<floor|smt>.<figure>, with refused
// besides the figures above (stalls and latencies from connect to reply).
//
//   smt_echo_bench [--figures] --tls DIR [seconds] [rounds]
//
// --tls measures what TLS costs: the in-process server with a TLS context
// (the certificates in DIR: ca.pem, agent.pem and .key, collector.pem and
// .key) beside the same server without, one client code writing and reading
// frames through the frame layer for both, over 1 and 10 persistent
// connections on one CPU, then with a new connection (and so a full
// handshake) per request where the scheduler puts the threads. Figures:
// tls.<persist|poll>.<connections>.<plain|tls>.<figure>.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent.h"
#include "agent/agent_dispatch.h"
#include "klib/kerror.h"
#include "net/ksocket.h"
#include "net/smt_server.h"
#include "net/smt_tls.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kRequest = std::string("SMTF2") + "00007" + "00000000" + "echo hi";
const std::string kReply = std::string("SMTF2") + "00006" + "00000007" + "200 OK" + "echo hi";
const double kStallUs = 20000;  // a delayed-acknowledgement stall is ~40 ms

struct Figures {
  double p50_us = 0, p99_us = 0, max_us = 0, rps = 0;
  size_t stalls = 0;
  size_t round_trips = 0;
  size_t refused = 0;  // new connection per request: no reply
};

cpu_set_t g_allowed;     // the CPUs this process may use
bool g_figures = false;  // "name value" lines instead of the tables

// Pins the calling thread (and the threads it creates later) to one CPU, or
// to every allowed CPU for a negative cpu.
void pin_to(int cpu) {
  cpu_set_t set = g_allowed;
  if (cpu >= 0) {
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
  }
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

int connect_loopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool send_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

bool recv_all(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t k = recv(fd, p, n, 0);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// A polling collector: a connection of its own for every request, until
// the deadline. Latencies run from connect to the reply's last byte.
void new_connection_client(uint16_t port, Clock::time_point start, Clock::time_point end,
                           std::vector<double>* latencies, std::atomic<int>* failures,
                           std::atomic<size_t>* refused) {
  char buf[64];
  while (Clock::now() < start) std::this_thread::yield();
  for (;;) {
    auto t0 = Clock::now();
    if (t0 >= end) break;
    int fd = connect_loopback(port);
    bool answered = fd >= 0 && send_all(fd, kRequest.data(), kRequest.size()) &&
                    recv_all(fd, buf, kReply.size());
    if (fd >= 0) close(fd);
    if (!answered) {
      ++*refused;
      continue;
    }
    if (memcmp(buf, kReply.data(), kReply.size()) != 0) {
      ++*failures;
      break;
    }
    latencies->push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
}

// How a client talks: raw bytes, or frames through the frame layer, over
// TLS when tls holds a client context.
struct Talk {
  bool frames = false;
  smt_tls* tls = nullptr;
};

// A connection of a frame client: the socket, and its TLS session if any.
struct FrameConn {
  ksocket s{-1};
  smt_tls_conn* session = nullptr;
  bool open(const Talk& talk, uint16_t port) {
    s.handle = connect_loopback(port);
    if (s.handle < 0) return false;
    ksocket_set_nonblocking(&s);
    kstring why;
    kstring_init(&why);
    bool ok = !talk.tls || smt_tls_connect(talk.tls, &s, "127.0.0.1", 5000, &session, &why) == 0;
    kstring_free(&why);
    if (!ok) close_it();
    return ok;
  }
  void close_it() {
    smt_tls_close(session);
    session = nullptr;
    ksocket_close(&s);
  }
  // One "echo hi" round trip; false when it failed or the reply is wrong.
  bool echo(smt_message* request, smt_message* reply) {
    const smt_link* link = session ? smt_tls_link(session) : nullptr;
    return smt_frame_write(request, &s, 5000, link) == 0 &&
           smt_frame_read(reply, &s, 5000, link) == 0 &&
           kstring_compare_cstr(&reply->body, "echo hi") == 0;
  }
};

// The frame client: as client below, but through the frame layer.
void frame_client(const Talk& talk, int cpu, bool new_connection, uint16_t port,
                  Clock::time_point start, Clock::time_point end, std::vector<double>* latencies,
                  std::atomic<int>* failures, std::atomic<size_t>* refused) {
  if (!new_connection) pin_to(cpu);
  smt_message request, reply;
  smt_message_init(&request);
  smt_message_init(&reply);
  kstring_assign_cstr(&request.head, "echo hi");
  FrameConn conn;
  if (!new_connection && !conn.open(talk, port)) {
    ++*failures;
  } else {
    while (Clock::now() < start) std::this_thread::yield();
    for (;;) {
      auto t0 = Clock::now();
      if (t0 >= end) break;
      if (new_connection && !conn.open(talk, port)) {
        ++*refused;
        continue;
      }
      bool answered = conn.echo(&request, &reply);
      if (new_connection) conn.close_it();
      if (!answered && new_connection) {
        ++*refused;
        continue;
      }
      if (!answered) {
        ++*failures;
        break;
      }
      latencies->push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    if (!new_connection) conn.close_it();
  }
  smt_message_free(&reply);
  smt_message_free(&request);
}

// The client: round trips on one connection until the deadline, or one
// connection per request (cpu ignored: the scheduler places the threads).
void client(const Talk& talk, int cpu, bool new_connection, uint16_t port, Clock::time_point start,
            Clock::time_point end, std::vector<double>* latencies, std::atomic<int>* failures,
            std::atomic<size_t>* refused) {
  if (talk.frames) {
    frame_client(talk, cpu, new_connection, port, start, end, latencies, failures, refused);
    return;
  }
  if (new_connection) {
    new_connection_client(port, start, end, latencies, failures, refused);
    return;
  }
  pin_to(cpu);
  int fd = connect_loopback(port);
  if (fd < 0) {
    ++*failures;
    return;
  }
  char buf[64];
  while (Clock::now() < start) std::this_thread::yield();
  for (;;) {
    auto t0 = Clock::now();
    if (t0 >= end) break;
    if (!send_all(fd, kRequest.data(), kRequest.size()) || !recv_all(fd, buf, kReply.size()) ||
        memcmp(buf, kReply.data(), kReply.size()) != 0) {
      ++*failures;
      break;
    }
    latencies->push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  close(fd);
}

// new_connection: every client opens a connection per request, where the
// scheduler puts it (cpu unused).
Figures run(int cpu, uint16_t port, int connections, double seconds, bool* ok,
            bool new_connection = false, const Talk& talk = Talk()) {
  std::vector<std::vector<double>> lat(connections);
  for (auto& l : lat) l.reserve(static_cast<size_t>(seconds * 200000));
  std::atomic<int> failures{0};
  std::atomic<size_t> refused{0};
  auto start = Clock::now() + std::chrono::milliseconds(100);
  auto end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> threads;
  for (int i = 0; i < connections; ++i)
    threads.emplace_back(client, std::cref(talk), cpu, new_connection, port, start, end, &lat[i],
                         &failures, &refused);
  for (auto& t : threads) t.join();
  std::vector<double> all;
  for (auto& l : lat) all.insert(all.end(), l.begin(), l.end());
  Figures f;
  f.refused = refused;
  if (failures || all.empty()) {
    *ok = false;
    return f;
  }
  std::sort(all.begin(), all.end());
  f.p50_us = all[all.size() / 2];
  f.p99_us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  f.max_us = all.back();
  f.rps = static_cast<double>(all.size()) / seconds;
  f.round_trips = all.size();
  f.stalls = static_cast<size_t>(
      std::count_if(all.begin(), all.end(), [](double us) { return us >= kStallUs; }));
  return f;
}

// ---- the floor: bare blocking TCP, one thread per connection ----

struct Floor {
  int listener = -1;
  uint16_t port = 0;
  std::thread acceptor;
  std::vector<std::thread> workers;
  std::atomic<bool> stop{false};
};

void floor_serve(int fd) {
  char buf[64];
  while (recv_all(fd, buf, kRequest.size()) && send_all(fd, kReply.data(), kReply.size())) {
  }
  close(fd);
}

bool floor_start(Floor* f) {
  f->listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (f->listener < 0 || bind(f->listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(f->listener, 16) != 0 ||
      getsockname(f->listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return false;
  f->port = ntohs(sa.sin_port);
  f->acceptor = std::thread([f] {
    for (;;) {
      int fd = accept(f->listener, nullptr, nullptr);
      if (f->stop) {
        if (fd >= 0) close(fd);
        return;
      }
      if (fd < 0) continue;
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      f->workers.emplace_back(floor_serve, fd);
    }
  });
  return true;
}

void floor_stop(Floor* f) {
  f->stop = true;
  int fd = connect_loopback(f->port);  // wakes the acceptor
  f->acceptor.join();
  if (fd >= 0) close(fd);
  close(f->listener);
  for (auto& t : f->workers) t.join();
}

// ---- the floor of a polling collector: 10 threads started once ----

// Each thread: accept, read the request, write the reply, close; the
// listener's backlog is the agent's.
struct PoolFloor {
  int listener = -1;
  uint16_t port = 0;
  std::vector<std::thread> threads;
  std::atomic<bool> stop{false};
};

bool pool_floor_start(PoolFloor* f) {
  f->listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (f->listener < 0 || bind(f->listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(f->listener, KSOCKET_BACKLOG) != 0 ||
      getsockname(f->listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return false;
  f->port = ntohs(sa.sin_port);
  for (int i = 0; i < 10; ++i)
    f->threads.emplace_back([f] {
      char buf[64];
      while (!f->stop) {
        int fd = accept(f->listener, nullptr, nullptr);
        if (fd < 0) continue;
        if (recv_all(fd, buf, kRequest.size())) send_all(fd, kReply.data(), kReply.size());
        close(fd);
      }
    });
  return true;
}

void pool_floor_stop(PoolFloor* f) {
  f->stop = true;
  shutdown(f->listener, SHUT_RDWR);  // wakes every thread blocked in accept
  for (auto& t : f->threads) t.join();
  close(f->listener);
}

// ---- the SMT server with the agent's dispatcher ----

bool smt_start(smt_server* srv, uint16_t* port, smt_tls* tls = nullptr) {
  kstrlist_init(&g_agent.disabled_verbs);
  kstrlist_init(&g_agent.address_masks);
  kstrlist endpoints;
  kstrlist_init(&endpoints);
  kstring_assign_cstr(kstrlist_add(&endpoints), "127.0.0.1:0");
  // No log: the server's per-request lines are off at the default level
  // anyway, and the figures should not depend on a disk.
  bool ok = smt_server_init(srv, &endpoints, agent_conn_open, agent_conn_close, agent_on_message,
                            sizeof(agent_conn), nullptr, nullptr, tls);
  kstrlist_free(&endpoints);
  if (!ok) return false;
  kstring address;
  kstring_init(&address);
  ksocket_local_name(ksocketset_at(&srv->listeners, 0), &address, port);
  kstring_free(&address);
  return true;
}

// Closed connections free their records; the next run needs all 10 records.
void smt_wait_idle(smt_server* srv) {
  for (uint32_t i = 0; i < srv->pool.count; ++i) {
    auto* c = static_cast<smt_client*>(karray_get(&srv->pool, i));
    while (smt_client_is_running(c)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

Figures median_of(const std::vector<Figures>& runs) {
  Figures m;
  std::vector<double> a, b, c, d;
  for (const auto& r : runs) {
    a.push_back(r.p50_us);
    b.push_back(r.p99_us);
    c.push_back(r.max_us);
    d.push_back(r.rps);
    m.stalls += r.stalls;
    m.round_trips += r.round_trips;
    m.refused += r.refused;
  }
  m.p50_us = median(a);
  m.p99_us = median(b);
  m.max_us = *std::max_element(c.begin(), c.end());
  m.rps = median(d);
  return m;
}

void print_row(const char* label, const Figures& f) {
  printf("    %-14s %10.1f %10.1f %10.1f %12.0f %8zu\n", label, f.p50_us, f.p99_us, f.max_us, f.rps,
         f.stalls);
}

void print_figures(const char* prefix, const Figures& f) {
  printf("%s.p50_us %.2f\n%s.p99_us %.2f\n%s.max_us %.1f\n", prefix, f.p50_us, prefix, f.p99_us,
         prefix, f.max_us);
  printf("%s.rps %.0f\n%s.stalls %zu\n%s.round_trips %zu\n%s.refused %zu\n", prefix, f.rps, prefix,
         f.stalls, prefix, f.round_trips, prefix, f.refused);
}

// One regime: both servers started on server_cpu, clients on client_cpu.
// goals is updated when given. key names the regime in the figures output.
// Returns false when a round trip failed.
bool regime(const char* title, const char* key, int server_cpu, int client_cpu, double seconds,
            int rounds, bool* goals) {
  // Threads inherit the creator's CPU set: pin before the servers start.
  pin_to(server_cpu);
  smt_server srv;
  uint16_t smt_port = 0;
  Floor floor;
  if (!smt_start(&srv, &smt_port) || !floor_start(&floor)) {
    fprintf(stderr, "cannot listen on 127.0.0.1\n");
    return false;
  }
  if (!g_figures) printf("%s\n", title);
  bool ok = true;
  for (int connections : {1, 10}) {
    std::vector<Figures> bare, smt;
    for (int r = 0; r < rounds && ok; ++r) {
      bare.push_back(run(client_cpu, floor.port, connections, seconds, &ok));
      smt.push_back(run(client_cpu, smt_port, connections, seconds, &ok));
      smt_wait_idle(&srv);
    }
    if (!ok) break;
    Figures fb = median_of(bare), fs = median_of(smt);
    if (g_figures) {
      std::string prefix = std::string("echo.") + key + "." + std::to_string(connections);
      print_figures((prefix + ".floor").c_str(), fb);
      print_figures((prefix + ".smt").c_str(), fs);
      fflush(stdout);
      continue;
    }
    printf("  %2d connection%s %10s %10s %10s %12s %8s\n", connections, connections > 1 ? "s" : " ",
           "p50 us", "p99 us", "max us", "req/s", "stalls");
    print_row("floor", fb);
    print_row("SMT", fs);
    double p50_ratio = fs.p50_us / fb.p50_us;
    double rps_share = fs.rps / fb.rps;
    printf("    %-14s %9.2fx %9.2fx %10s %11.0f%%\n", "SMT / floor", p50_ratio,
           fs.p99_us / fb.p99_us, "", rps_share * 100);
    // A delayed-acknowledgement stall hits every exchange that meets it; an
    // isolated slow round trip is preemption, and hits the floor as well.
    double extra_stalls = static_cast<double>(fs.stalls) / static_cast<double>(fs.round_trips) -
                          static_cast<double>(fb.stalls) / static_cast<double>(fb.round_trips);
    bool met = p50_ratio <= 1.5 && extra_stalls <= 0.001 && (connections == 1 || rps_share >= 0.8);
    if (goals) *goals = *goals && met;
  }
  if (!g_figures) printf("\n");
  smt_server_stop(&srv);
  smt_server_free(&srv);
  floor_stop(&floor);
  return ok;
}

// The polling collector: floor and SMT (the live agent at agent_port, or
// the in-process server when it is 0) with 1 and 10 clients, each client
// opening a connection per request. Returns false when a run failed.
bool new_connection_regime(uint16_t agent_port, double seconds, int rounds) {
  pin_to(-1);
  smt_server srv;
  uint16_t smt_port = agent_port;
  PoolFloor floor;
  if ((agent_port == 0 && !smt_start(&srv, &smt_port)) || !pool_floor_start(&floor)) {
    fprintf(stderr, "cannot listen on 127.0.0.1\n");
    return false;
  }
  if (!g_figures)
    printf("new connection per request, %s, threads where the scheduler puts them\n",
           agent_port ? "the agent at its port" : "the server in this process");
  bool ok = true;
  for (int clients : {1, 10}) {
    std::vector<Figures> bare, smt;
    for (int r = 0; r < rounds && ok; ++r) {
      bare.push_back(run(-1, floor.port, clients, seconds, &ok, true));
      smt.push_back(run(-1, smt_port, clients, seconds, &ok, true));
    }
    if (!ok) break;
    Figures fb = median_of(bare), fs = median_of(smt);
    if (g_figures) {
      std::string prefix = "poll." + std::to_string(clients);
      print_figures((prefix + ".floor").c_str(), fb);
      print_figures((prefix + ".smt").c_str(), fs);
      fflush(stdout);
      continue;
    }
    printf("  %2d client%s %14s %10s %10s %12s %8s\n", clients, clients > 1 ? "s" : " ", "p50 us",
           "p99 us", "max us", "req/s", "refused");
    printf("    %-14s %10.1f %10.1f %10.1f %12.0f %8zu\n", "floor", fb.p50_us, fb.p99_us, fb.max_us,
           fb.rps, fb.refused);
    printf("    %-14s %10.1f %10.1f %10.1f %12.0f %8zu\n", "SMT", fs.p50_us, fs.p99_us, fs.max_us,
           fs.rps, fs.refused);
    printf("    %-14s %9.2fx %9.2fx %10s %11.0f%%\n", "SMT / floor", fs.p50_us / fb.p50_us,
           fs.p99_us / fb.p99_us, "", fs.rps / fb.rps * 100);
  }
  if (!g_figures) printf("\n");
  if (agent_port == 0) {
    smt_server_stop(&srv);
    smt_server_free(&srv);
  }
  pool_floor_stop(&floor);
  return ok;
}

// The server with a TLS context beside itself without, both in this process
// with their threads on cpu, through one frame client code: persistent
// connections pinned there too, then a connection per request where the
// scheduler puts the threads. dir holds the certificates. Returns false
// when a context cannot be made or a run failed.
bool tls_regime(const std::string& dir, int cpu, double seconds, int rounds) {
  kstring why;
  kstring_init(&why);
  smt_tls *server_tls = nullptr, *client_tls = nullptr;
  auto file = [&](const char* name) { return dir + "/" + name; };
  bool made = smt_tls_server_init(&server_tls, file("agent.pem").c_str(), file("agent.key").c_str(),
                                  file("ca.pem").c_str(), nullptr, &why) == 0 &&
              smt_tls_client_init(&client_tls, file("collector.pem").c_str(),
                                  file("collector.key").c_str(), file("ca.pem").c_str(), &why) == 0;
  if (!made) fprintf(stderr, "TLS: %s\n", kstring_text(&why));
  kstring_free(&why);
  pin_to(cpu);
  smt_server plain_srv, tls_srv;
  uint16_t plain_port = 0, tls_port = 0;
  bool plain_up = made && smt_start(&plain_srv, &plain_port);
  // The server owns its context from here on, whatever the result.
  bool ok = plain_up && smt_start(&tls_srv, &tls_port, server_tls);
  if (!plain_up) smt_tls_free(server_tls);
  if (!ok) {
    if (plain_up) {
      smt_server_stop(&plain_srv);
      smt_server_free(&plain_srv);
    }
    smt_tls_free(client_tls);
    return false;
  }
  Talk plain, tls;
  plain.frames = tls.frames = true;
  tls.tls = client_tls;
  for (bool new_connection : {false, true}) {
    const char* kind = new_connection ? "poll" : "persist";
    if (!g_figures)
      printf("TLS beside plain TCP, %s\n",
             new_connection ? "a new connection per request" : "persistent connections, one CPU");
    for (int connections : {1, 10}) {
      std::vector<Figures> p, t;
      int at = new_connection ? -1 : cpu;
      for (int r = 0; r < rounds && ok; ++r) {
        p.push_back(run(at, plain_port, connections, seconds, &ok, new_connection, plain));
        smt_wait_idle(&plain_srv);
        t.push_back(run(at, tls_port, connections, seconds, &ok, new_connection, tls));
        smt_wait_idle(&tls_srv);
      }
      if (!ok) break;
      Figures fp = median_of(p), ft = median_of(t);
      std::string prefix = std::string("tls.") + kind + "." + std::to_string(connections);
      if (g_figures) {
        print_figures((prefix + ".plain").c_str(), fp);
        print_figures((prefix + ".tls").c_str(), ft);
        fflush(stdout);
        continue;
      }
      printf("  %2d connection%s %10s %10s %10s %12s %8s\n", connections,
             connections > 1 ? "s" : " ", "p50 us", "p99 us", "max us", "req/s", "stalls");
      print_row("plain", fp);
      print_row("TLS", ft);
      printf("    %-14s %9.2fx %9.2fx %10s %11.0f%%\n", "TLS / plain", ft.p50_us / fp.p50_us,
             ft.p99_us / fp.p99_us, "", ft.rps / fp.rps * 100);
    }
  }
  smt_server_stop(&tls_srv);
  smt_server_free(&tls_srv);
  smt_server_stop(&plain_srv);
  smt_server_free(&plain_srv);
  smt_tls_free(client_tls);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
  bool new_connection = false;
  std::string tls_dir;
  for (; argc > arg && strncmp(argv[arg], "--", 2) == 0; ++arg) {
    if (strcmp(argv[arg], "--figures") == 0) {
      g_figures = true;
    } else if (strcmp(argv[arg], "--tls") == 0 && argc > arg + 1) {
      tls_dir = argv[++arg];
    } else if (strcmp(argv[arg], "--new-connection") == 0) {
      new_connection = true;
    } else {
      break;
    }
  }
  double seconds = argc > arg ? atof(argv[arg]) : 1.0;
  int rounds = argc > arg + 1 ? atoi(argv[arg + 1]) : 3;
  int port = new_connection && argc > arg + 2 ? atoi(argv[arg + 2]) : 0;
  if (seconds <= 0 || rounds <= 0 || port < 0 || port > 65535) {
    fprintf(stderr,
            "usage: smt_echo_bench [--figures] [seconds per run] [rounds]\n"
            "       smt_echo_bench [--figures] --new-connection [seconds] [rounds] [port]\n"
            "       smt_echo_bench [--figures] --tls DIR [seconds] [rounds]\n");
    return 2;
  }
  kerror_libinit();
  ksocket_libinit();
  kstrlist_init(&g_agent.disabled_verbs);
  kstrlist_init(&g_agent.address_masks);

  if (!g_figures) {
    printf("SMT echo round trips on 127.0.0.1: %zu-byte request, %zu-byte reply\n", kRequest.size(),
           kReply.size());
    printf(
        "figures: median of %d runs of %.1f s; max: worst run; stalls: round trips\n"
        "of at least %.0f ms in all runs\n\n",
        rounds, seconds, kStallUs / 1000);
  }
  CPU_ZERO(&g_allowed);
  sched_getaffinity(0, sizeof g_allowed, &g_allowed);
  int first_cpu = 0;
  while (first_cpu < CPU_SETSIZE - 1 && !CPU_ISSET(first_cpu, &g_allowed)) ++first_cpu;
  if (!tls_dir.empty() || new_connection) {
    bool ok = tls_dir.empty() ? new_connection_regime(static_cast<uint16_t>(port), seconds, rounds)
                              : tls_regime(tls_dir, first_cpu, seconds, rounds);
    kstrlist_free(&g_agent.address_masks);
    kstrlist_free(&g_agent.disabled_verbs);
    if (!ok) fprintf(stderr, "a request failed\n");
    return ok ? 0 : 1;
  }
  std::vector<int> cpus;
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (CPU_ISSET(c, &g_allowed)) cpus.push_back(c);
  bool goals = true;
  // Sharing one CPU shows the processing cost alone; two CPUs add the
  // cross-CPU wake-ups of a server that runs beside its clients.
  bool ok = regime("client and server threads on one CPU", "cpu1", cpus[0], cpus[0], seconds,
                   rounds, &goals);
  if (ok && cpus.size() > 1)
    ok = regime("client threads on one CPU, server threads on another", "cpu2", cpus[1], cpus[0],
                seconds, rounds, &goals);
  // Left to the scheduler, a connection's client and server threads end up
  // on one CPU or on two, and stay there: each run is one of the two
  // regimes above, drawn at random for the floor and for SMT alike, so
  // these figures show the spread and are not judged against the goals.
  if (ok && cpus.size() > 1 && !g_figures)
    ok = regime("threads where the scheduler puts them (not judged)", "sched", -1, -1, seconds,
                rounds, nullptr);
  kstrlist_free(&g_agent.address_masks);
  kstrlist_free(&g_agent.disabled_verbs);
  if (!ok) {
    fprintf(stderr, "a round trip failed\n");
    return 1;
  }
  if (!g_figures)
    printf(
        "goals in the pinned placements (p50 <= 1.5x floor, 10-connection req/s\n"
        ">= 80%% of floor, no more stalls than the floor beyond 1 in 1000 round trips): %s\n",
        goals ? "met" : "MISSED");
  return 0;
}

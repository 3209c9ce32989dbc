// agent: the application that the host runs. It owns the one application
// record of the process, reads the agent settings, and starts and stops the
// two features (the SMT request server and the log watch). agent_init, run
// and cleanup run on the host's application thread; agent_stop runs on
// another thread, possibly more than once. Every callback returns 0.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/kservice.h"
#include "klib/karray.h"
#include "lwatch/lwatch.h"
#include "net/smt_server.h"

struct agent {
  kservice_app host;  // first: the host reaches the record through it
  klog* log_ref;
  kconfig* config_ref;
  std::atomic<uint32_t> stop_requested;  // set by agent_stop, polled by agent_run
  bool lwatch_enabled;
  bool smt_enabled;
  // "smtsvr.exectimeout": seconds a program that exec or cperf started may
  // run before its process group is killed; 0: no bound.
  uint32_t exec_timeout_s;
  kstrlist disabled_verbs;
  kstrlist address_masks;
  // The directories that the watch-file commands serve: the engine's
  // settings and defaults (lwatch_dirs), read before the server takes its
  // first request and only read afterwards, also when the engine is off. The
  // engine's own copies are written by lwatch_init after the server has
  // started, so connection threads never read those.
  kstring facilitydir;
  kstring resultdir;
  smt_server smt;        // the request server, while smt_enabled
  struct lwatch lwatch;  // "struct": the member shares the record's name
};

// A result file that a lwgetlog reply carries, held by the connection until
// the reply is sent (agent_watch): set by the handler, released by the
// server's on_sent call.
struct agent_fetch {
  kstring original;  // the file's own name, "lw<id>.log"
  kstring claimed;   // where it was moved while the reply is on its way
  kstring rest;      // the lines the reply does not carry; empty: none
};

// One pool record of the request server as the agent uses it: the server's
// record first, then what a handler keeps until its reply has gone out. The
// agent passes sizeof(agent_conn) as the server's record size.
struct agent_conn {
  smt_client client;
  agent_fetch fetch;
};

extern agent g_agent;
extern const kservice_desc agent_desc;

uint32_t agent_init(kservice_app* app);
uint32_t agent_run(kservice_app* app);
uint32_t agent_stop(kservice_app* app);
uint32_t agent_cleanup(kservice_app* app);
void agent_settings(agent* a);
// The log watch's facility and result directories, for the service host.
void agent_data_dirs(kservice_app* app, kstrlist* dirs);

// The SMT server's connection callbacks: every connection is served, and
// nothing is kept from one connection to the next.
bool agent_conn_open(smt_client* c);
void agent_conn_close(smt_client* c);

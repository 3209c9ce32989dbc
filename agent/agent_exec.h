// agent_exec: the command handlers that reach beyond the log watch: exec
// (run a command line and return its output), read (return a text file's
// lines) and cperf (run the performance-counter tool "typeperf"). Each
// follows the handler contract of agent_dispatch.h, runs on a connection
// thread (up to 10 at once, independent of one another) and returns 0.
//
// Replies: "200 OK" with the lines, each followed by "\n"; "400 Syntax
// error" when the program cannot be started (empty command line included) or
// read has no path; "400 Cannot open file" when read cannot open the path as
// a regular file. A started program runs at most "smtsvr.exectimeout"
// seconds (agent.exec_timeout_s). A body never exceeds AGENT_BODY_MAX bytes:
// output beyond that is dropped, the body ends with AGENT_CUT_LINE and a
// warning is logged.
#pragma once

#include <cstdint>

#include "agent/agent.h"
#include "net/smt_server.h"

// The largest body a peer that reads frames as the agent does accepts.
#define AGENT_BODY_MAX 1048576u
#define AGENT_CUT_LINE "[output cut: a reply holds at most 1048576 bytes]\n"

uint32_t agent_exec(agent* a, smt_client* c, smt_message* request, smt_message* reply);
uint32_t agent_read(agent* a, smt_client* c, smt_message* request, smt_message* reply);
uint32_t agent_cperf(agent* a, smt_client* c, smt_message* request, smt_message* reply);

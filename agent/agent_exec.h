// agent_exec: the command handlers that reach beyond the log watch: exec
// (run a command line and return its output), read (return a text file's
// lines) and cperf (run the performance-counter tool). Each follows the
// handler contract of agent_dispatch.h and runs on a connection thread.
#pragma once

#include <cstdint>

#include "agent/agent.h"
#include "net/smt_server.h"

uint32_t agent_exec(agent* a, smt_client* c, smt_message* request, smt_message* reply);
uint32_t agent_read(agent* a, smt_client* c, smt_message* request, smt_message* reply);
uint32_t agent_cperf(agent* a, smt_client* c, smt_message* request, smt_message* reply);

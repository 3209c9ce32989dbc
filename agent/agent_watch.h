// agent_watch: the command handlers through which a collector manages the
// log watch: facility files (lwlistf, lwreadf, lwwritef, lwremovef) and
// result files (lwlistlog, lwgetlog). Each follows the handler contract of
// agent_dispatch.h and runs on a connection thread.
#pragma once

#include <cstdint>

#include "agent/agent.h"
#include "net/smt_server.h"

uint32_t agent_lwlistf(agent* a, smt_client* c, smt_message* request, smt_message* reply);
uint32_t agent_lwreadf(agent* a, smt_client* c, smt_message* request, smt_message* reply);
uint32_t agent_lwwritef(agent* a, smt_client* c, smt_message* request, smt_message* reply);
uint32_t agent_lwremovef(agent* a, smt_client* c, smt_message* request, smt_message* reply);
uint32_t agent_lwlistlog(agent* a, smt_client* c, smt_message* request, smt_message* reply);
uint32_t agent_lwgetlog(agent* a, smt_client* c, smt_message* request, smt_message* reply);

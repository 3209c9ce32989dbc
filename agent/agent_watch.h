// agent_watch: the command handlers through which a collector manages the
// log watch: facility files (lwlistf, lwreadf, lwwritef, lwremovef) in the
// agent's facilitydir and result files (lwlistlog, lwgetlog) in its
// resultdir, whether the engine runs or not. Each follows the handler
// contract of agent_dispatch.h, runs on a connection thread, up to 10 at a
// time, and returns 0. The argument is token 1 of the head; a name holding
// '/' or '\' is refused with "400 Cannot open file" before anything is
// touched. lwwritef replaces a facility file whole (a reload never sees it
// half written) and answers "400 Cannot write file" when the new content
// could not be put in place. lwgetlog delivers as many whole lines of a
// result file as one reply carries (SMT_BODY_MAX bytes) and deletes the file,
// or leaves in it the lines that did not fit, for the next fetch; should that
// rewrite fail, the file stays whole ("400 Cannot write file").
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

// agent_watch: the command handlers through which a collector manages the
// log watch: facility files (lwlistf, lwreadf, lwwritef, lwremovef) in the
// agent's facilitydir and result files (lwlistlog, lwgetlog) in its
// resultdir, whether the engine runs or not. Each follows the handler
// contract of agent_dispatch.h, runs on a connection thread, up to 10 at a
// time, and returns 0. The argument is token 1 of the head; a name holding
// '/' or '\' is refused with "400 Cannot open file" before anything is
// touched. lwwritef replaces a facility file whole (a reload never sees it
// half written) and answers "400 Cannot write file" when the new content
// could not be put in place.
//
// lwgetlog first claims the result file: one rename to a name of its own
// ("<name>.<n>.fetch") that no listing and no other fetch sees, so of two
// concurrent fetches one gets the lines and the other "400 Cannot open
// file". The reply carries as many whole lines as fit (SMT_BODY_MAX bytes);
// the lines left wait in "<name>.<n>.rest". Only once the server reports the
// reply delivered (on_sent of the connection's agent_conn record: every byte
// handed to the socket and acknowledged by the peer's system) is the claimed
// file deleted and the rest moved to the file's name for the next fetch; a
// reply that does not get there puts the file back whole. Should the rest
// not be written, the file goes back whole and the answer is "400 Cannot
// write file". agent_watch_recover, called at start before the server runs,
// puts back what a fetch cut short by the end of the process left.
//
// lwlistlog lists the identifiers in ascending order (for the twelve digits
// yymmddhhmmss, oldest first within one century), as many as one reply
// carries, and logs a rate-limited warning when the directory holds more.
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
// lwlistlog's reply with at most body_max bytes of identifiers.
uint32_t agent_list_results(agent* a, smt_message* reply, uint32_t body_max);
// Puts the result files of fetches that never ended back under their names
// and drops what they left that is no longer needed; a file that cannot be
// put back (its name is taken) stays and is logged.
void agent_watch_recover(const kstring* resultdir, klog* log);

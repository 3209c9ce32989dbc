// agent_dispatch: the request dispatch of the agent, the SMT server's message
// callback, and its accept filter. The filter lets in only peers whose
// address is allowed; for every request the dispatch takes the command word
// (the head up to its first blank), skips disabled commands and calls the
// first table entry of that name, which fills the reply. Runs on the
// connection's thread, up to 10 at a time (the filter on the accept thread);
// it only reads the agent's lists, which do not change after agent_init.
#pragma once

#include <cstdint>

#include "agent/agent.h"
#include "net/smt_server.h"

// A command handler: reads the request's head and body, writes the status
// line into the reply's head and appends any payload to the reply's body
// (both cleared by the server). 0: send the reply.
typedef uint32_t (*agent_command_fn)(agent* a, smt_client* c, smt_message* request,
                                     smt_message* reply);

struct agent_command {
  const char* name;  // compared case-sensitively; null ends the table
  agent_command_fn handler;
};

extern const agent_command agent_commands[];

// The server's accept filter: false, with the warning "connection not
// authorized from %s:%d" (rate-limited per address), for a peer whose
// address is not in "smtsvr.addressmask"; the server then closes it before
// it takes a record. Runs on the accept thread.
bool agent_on_accept(smt_server* srv, const kstring* peer_address, uint16_t peer_port);

// The handler's result (0: send the reply). An unknown, disabled or empty
// command word gets "400 Cannot serve this request".
uint32_t agent_on_message(smt_client* c);

// "echo": "200 OK" with the request's whole head as the body.
uint32_t agent_echo(agent* a, smt_client* c, smt_message* request, smt_message* reply);

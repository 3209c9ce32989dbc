#include "agent/agent_dispatch.h"

#include "agent/agent_exec.h"
#include "agent/agent_watch.h"

const agent_command agent_commands[] = {
    {"echo", agent_echo},
    {"lwlistf", agent_lwlistf},
    {"lwreadf", agent_lwreadf},
    {"lwwritef", agent_lwwritef},
    {"lwremovef", agent_lwremovef},
    {"lwlistlog", agent_lwlistlog},
    {"lwgetlog", agent_lwgetlog},
    {"exec", agent_exec},
    {"read", agent_read},
    {"cperf", agent_cperf},
    {nullptr, nullptr},
};

uint32_t agent_echo(agent*, smt_client*, smt_message* request, smt_message* reply) {
  kstring_assign_cstr(&reply->head, "200 OK");
  kstring_assign(&reply->body, &request->head);
  return 0;
}

// Whole dotted addresses, not prefixes; an empty list lets every peer in.
// A refusal is logged rate-limited per address: a peer can repeat it at will.
// The masks do not change while the server runs, so a connection let in here
// needs no check per request.
bool agent_on_accept(smt_server* srv, const kstring* peer_address, uint16_t peer_port) {
  agent* a = reinterpret_cast<agent*>(agent_desc.app);
  if (kstrlist_count(&a->address_masks) == 0 || kstrlist_contains(&a->address_masks, peer_address))
    return true;
  klog_limited(srv->log, 1, KLOG_WARNING, "not authorized", kstring_text(peer_address),
               "connection not authorized from %s:%d\n", kstring_text(peer_address), peer_port);
  return false;
}

uint32_t agent_on_message(smt_client* c) {
  agent* a = reinterpret_cast<agent*>(agent_desc.app);
  kstring word;
  kstring_init(&word);
  // Only the blank separates: "echo\thi" is one word, " echo" an empty one.
  kstring_token_cstr(&c->request.head, " ", 0, &word);
  const agent_command* found = nullptr;
  for (const agent_command* cmd = agent_commands; cmd->name && !found; ++cmd) {
    if (kstrlist_contains_text(&a->disabled_verbs, cmd->name)) continue;
    if (kstring_compare_cstr(&word, cmd->name) == 0) found = cmd;
  }
  kstring_free(&word);
  if (!found) {
    kstring_assign_cstr(&c->reply.head, "400 Cannot serve this request");
    return 0;
  }
  return found->handler(a, c, &c->request, &c->reply);
}

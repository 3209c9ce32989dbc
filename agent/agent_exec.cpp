#include "agent/agent_exec.h"

// Not yet served: until the command execution handlers are built, every one
// of them answers as an unknown command does.
static uint32_t not_served(smt_message* reply) {
  kstring_assign_cstr(&reply->head, "400 Cannot serve this request");
  return 0;
}

uint32_t agent_exec(agent*, smt_client*, smt_message*, smt_message* reply) {
  return not_served(reply);
}

uint32_t agent_read(agent*, smt_client*, smt_message*, smt_message* reply) {
  return not_served(reply);
}

uint32_t agent_cperf(agent*, smt_client*, smt_message*, smt_message* reply) {
  return not_served(reply);
}

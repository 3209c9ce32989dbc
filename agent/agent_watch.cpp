#include "agent/agent_watch.h"

// Not yet served: until the log-watch commands are built, every one of them
// answers as an unknown command does.
static uint32_t not_served(smt_message* reply) {
  kstring_assign_cstr(&reply->head, "400 Cannot serve this request");
  return 0;
}

uint32_t agent_lwlistf(agent*, smt_client*, smt_message*, smt_message* reply) {
  return not_served(reply);
}

uint32_t agent_lwreadf(agent*, smt_client*, smt_message*, smt_message* reply) {
  return not_served(reply);
}

uint32_t agent_lwwritef(agent*, smt_client*, smt_message*, smt_message* reply) {
  return not_served(reply);
}

uint32_t agent_lwremovef(agent*, smt_client*, smt_message*, smt_message* reply) {
  return not_served(reply);
}

uint32_t agent_lwlistlog(agent*, smt_client*, smt_message*, smt_message* reply) {
  return not_served(reply);
}

uint32_t agent_lwgetlog(agent*, smt_client*, smt_message*, smt_message* reply) {
  return not_served(reply);
}

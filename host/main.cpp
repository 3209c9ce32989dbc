#include "agent/agent.h"
#include "host/klib.h"
#include "host/kservice.h"

int main(int argc, char** argv) {
  uint32_t rc = klib_init();
  if (rc) return static_cast<int>(rc);
  int code = kservice_program(argc, argv, &agent_desc);
  klib_cleanup();
  return code;
}

// Stand-in backend for a build without an event-log service: no log can be
// opened, so every "eventlog" entry of a facility watches nothing.
#include "klib/kerror.h"
#include "lwatch/lwsource.h"

static uint32_t none_open(lwsource*, const char*, void** handle) {
  *handle = nullptr;
  return KERR_FAILED;
}

static uint32_t none_read(void*, lwevent*) {
  return KERR_EOF;
}

static void none_close(void*) {}

const lwsource_ops* lwsource_platform_ops() {
  static const lwsource_ops kOps = {none_open, none_read, none_close, nullptr,
                                    nullptr,   nullptr,   nullptr};
  return &kOps;
}

#include <time.h>

#include "klib/ktime_sys.h"

void ktime_sys_local(time_t seconds, struct tm* out) {
  // The C runtime's per-call result buffer stays out of reach of the others.
  localtime_s(out, &seconds);
}

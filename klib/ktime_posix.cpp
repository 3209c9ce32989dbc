#include <time.h>

#include "klib/ktime_sys.h"

void ktime_sys_local(time_t seconds, struct tm* out) {
  localtime_r(&seconds, out);
}

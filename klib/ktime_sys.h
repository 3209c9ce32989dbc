// Platform half of ktime, used only inside klib: the thread-safe conversion
// of seconds since 1970 into local broken-down time.
#pragma once

#include <ctime>

void ktime_sys_local(time_t seconds, struct tm* out);

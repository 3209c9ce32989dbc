#include "klib/ktime.h"

#include <cstring>

#include "klib/ktime_sys.h"

int ktime_init(ktime* t) {
  memset(t, 0, sizeof *t);
  return 0;
}

void ktime_free(ktime*) {}

void ktime_now(ktime* t) {
  time_t now = time(nullptr);
  ktime_sys_local(now, t);
}

void ktime_from_seconds(ktime* t, uint32_t seconds) {
  time_t s = static_cast<time_t>(seconds);
  ktime_sys_local(s, t);
}

void ktime_set(ktime* t, uint32_t year, uint32_t month, uint32_t day, uint32_t hour,
               uint32_t minute, uint32_t second) {
  memset(t, 0, sizeof *t);
  t->tm_sec = static_cast<int>(second);
  t->tm_min = static_cast<int>(minute);
  t->tm_hour = static_cast<int>(hour);
  t->tm_mday = static_cast<int>(day);
  t->tm_mon = static_cast<int>(month) - 1;
  t->tm_isdst = -1;
  if (year > 1900)
    t->tm_year = static_cast<int>(year - 1900);
  else if (year > 70)
    t->tm_year = static_cast<int>(year);
  else
    t->tm_year = static_cast<int>(year + 100);
}

void ktime_format(const ktime* t, kstring* out) {
  // Fixed English names: the text form must not follow the process locale.
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const char* day = t->tm_wday >= 0 && t->tm_wday < 7 ? kDays[t->tm_wday] : "?";
  const char* mon = t->tm_mon >= 0 && t->tm_mon < 12 ? kMonths[t->tm_mon] : "?";
  kstring_format(out, "%s %s %02d %02d:%02d:%02d %d", day, mon, t->tm_mday, t->tm_hour, t->tm_min,
                 t->tm_sec, t->tm_year + 1900);
}

void ktime_add(ktime* t, uint32_t hours, uint32_t minutes, uint32_t seconds) {
  time_t s = mktime(t);
  s += static_cast<time_t>(hours) * 3600 + static_cast<time_t>(minutes) * 60 + seconds;
  ktime_sys_local(s, t);
}

int64_t ktime_diff(ktime* a, ktime* b) {
  time_t ta = mktime(a);
  time_t tb = mktime(b);
  return static_cast<int64_t>(ta) - static_cast<int64_t>(tb);
}

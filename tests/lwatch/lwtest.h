// Helpers of the log-watch tests: owned kstrings, a log file, record times, a facility, results.
#pragma once

#include <ctime>
#include <string>

#include "klib/kfile.h"
#include "klib/klog.h"
#include "klib/kstring.h"
#include "klib/ktime.h"
#include "lwatch/lwatch.h"
#include "lwatch/lwfacility.h"
#include "support/testutil.h"

namespace lwtest {

struct Str {
  explicit Str(const std::string& text = "") {
    kstring_init(&s);
    kstring_assign_bytes(&s, text.data(), static_cast<uint32_t>(text.size()));
  }
  ~Str() { kstring_free(&s); }
  kstring* get() { return &s; }
  kstring s;
};

struct Log {
  Log(const std::string& path, uint32_t level) : path(path) {
    klog_init(&log, path.c_str());
    klog_set_level(&log, level);
  }
  ~Log() { klog_free(&log); }
  klog* get() { return &log; }
  std::string text() const { return testutil::read_text(path); }
  bool has(const std::string& piece) const { return text().find(piece) != std::string::npos; }
  std::string path;
  klog log;
};

// A record time as the record line shows it.
inline std::string when(uint32_t seconds) {
  ktime t;
  ktime_init(&t);
  ktime_from_seconds(&t, seconds);
  Str s;
  ktime_format(&t, s.get());
  ktime_free(&t);
  return kstring_text(s.get());
}

// A result-file writer (lwatch_result.write) that takes g_room bytes more,
// then none, as a file system that runs out of room does.
inline uint64_t g_room = UINT64_MAX;
inline uint32_t room_write(kfile* file, const void* buf, uint32_t count) {
  uint32_t n = g_room < count ? static_cast<uint32_t>(g_room) : count;
  n = kfile_append(file, buf, n);
  g_room -= n;
  return n;
}

// A facility loaded from a file written by the test.
struct Facility {
  Facility(const std::string& path, const std::string& body, klog* log,
           const std::string& name = "fac", lwpolicy* policy = nullptr) {
    testutil::write_file(path, body);
    lwfacility_init(&f, Str(name).get(), log);
    f.policy = policy;
    lwfacility_load(&f, Str(path).get());
  }
  ~Facility() { lwfacility_free(&f); }
  lwfacility* get() { return &f; }
  void update(const std::string& base = "") { lwfacility_update(&f, Str(base).get()); }
  const lwfile* tracked(uint32_t i) const {
    return static_cast<const lwfile*>(karray_get(&f.tracked, i));
  }
  std::string tracked_path(uint32_t i) const { return kstring_text(&tracked(i)->file.name); }
  lwfacility f;
};

// The engine's result file "lw250102030405.tmp" in dir (or the next free name), open for hits.
struct Result {
  explicit Result(const std::string& dir, klog* log = nullptr) {
    lwatch_result_init(&r, log);
    ktime when;
    ktime_set(&when, 2025, 1, 2, 3, 4, 5);
    lwatch_result_open(&r, Str(dir).get(), &when);
    path = kstring_text(&r.tmp_path);
  }
  ~Result() { lwatch_result_free(&r); }
  lwatch_result* get() { return &r; }
  std::string take() {  // what was written since the previous take()
    std::string fresh = testutil::read_text(path).substr(taken);
    taken += fresh.size();
    return fresh;
  }
  std::string path;
  lwatch_result r;
  size_t taken = 0;
};

}  // namespace lwtest

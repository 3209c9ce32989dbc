// Helpers of the log-watch tests: owned kstrings, a log in a temporary file,
// a loaded facility, a result file, and explicit modification times (the
// watch compares whole seconds, so tests move them instead of waiting).
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <string>

#include "klib/kfile.h"
#include "klib/klog.h"
#include "klib/kstring.h"
#include "lwatch/lwfacility.h"
#include "support/testutil.h"

namespace lwtest {

class Str {
 public:
  explicit Str(const std::string& text = "") {
    kstring_init(&s_);
    kstring_assign_bytes(&s_, text.data(), static_cast<uint32_t>(text.size()));
  }
  ~Str() { kstring_free(&s_); }
  Str(const Str&) = delete;
  Str& operator=(const Str&) = delete;
  kstring* get() { return &s_; }
  std::string str() const { return std::string(kstring_text(&s_), s_.length); }

 private:
  kstring s_;
};

class Log {
 public:
  Log(const std::string& path, uint32_t level) : path_(path) {
    klog_init(&log_, path.c_str());
    klog_set_level(&log_, level);
  }
  ~Log() { klog_free(&log_); }
  klog* get() { return &log_; }
  std::string text() const { return testutil::read_file(path_); }
  bool has(const std::string& piece) const { return text().find(piece) != std::string::npos; }

 private:
  std::string path_;
  klog log_;
};

inline void set_mtime(const std::string& path, time_t seconds) {
  struct timespec times[2];
  times[0].tv_sec = seconds;
  times[0].tv_nsec = 0;
  times[1] = times[0];
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

inline time_t mtime_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

// A facility loaded from a file written by the test.
class Facility {
 public:
  Facility(const std::string& path, const std::string& body, klog* log,
           const std::string& name = "fac") {
    testutil::write_file(path, body);
    Str n(name), p(path);
    lwfacility_init(&f_, n.get(), log);
    lwfacility_load(&f_, p.get());
  }
  ~Facility() { lwfacility_free(&f_); }
  Facility(const Facility&) = delete;
  Facility& operator=(const Facility&) = delete;
  lwfacility* get() { return &f_; }
  void update(const std::string& base = "") {
    Str b(base);
    lwfacility_update(&f_, b.get());
  }
  const lwfile* tracked(uint32_t i) const {
    return static_cast<const lwfile*>(karray_get(&f_.tracked, i));
  }
  std::string tracked_path(uint32_t i) const { return kstring_text(&tracked(i)->file.name); }
  const lwfilter* filter(uint32_t i) const {
    return static_cast<const lwfilter*>(karray_get(&f_.filters, i));
  }

 private:
  lwfacility f_;
};

// A result file opened for appending; text() closes it and reads it.
class Result {
 public:
  explicit Result(const std::string& path) : path_(path) {
    kfile_init(&f_);
    kfile_set_name_cstr(&f_, path.c_str());
    kfile_open(&f_, "at");
  }
  ~Result() {
    if (f_.stream) kfile_close(&f_);
    kfile_free(&f_);
  }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  kfile* get() { return &f_; }
  // Everything written so far; the file stays open for more.
  std::string text() {
    fflush(f_.stream);
    return testutil::read_file(path_);
  }
  // What was written since the previous take().
  std::string take() {
    std::string all = text();
    std::string fresh = all.substr(taken_);
    taken_ = all.size();
    return fresh;
  }

 private:
  std::string path_;
  kfile f_;
  size_t taken_ = 0;
};

}  // namespace lwtest

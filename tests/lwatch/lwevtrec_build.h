// Windows event-log records laid out byte by byte for the tests, as the
// platform delivers them: the fixed part, then source, computer, identity,
// insertion strings and data, without padding (so lengths come out odd); and
// a reader of one log over a backend of the test's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lwatch/lweventlog.h"
#include "lwatch/lwevtrec.h"
#include "lwtest.h"

namespace evtrec {

inline void put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
inline void put16(std::string& b, size_t at, uint16_t v) {
  b[at] = static_cast<char>(v);
  b[at + 1] = static_cast<char>(v >> 8);
}

// A record's pieces; build lays them out.
struct Rec {
  uint32_t number = 42;  // the record number
  uint32_t time = 1000;
  uint32_t id = 7;
  uint16_t type = 4;
  std::string source = "src";
  std::string computer = "HOST";
  std::vector<std::string> strings;
  std::string sid;
  std::string data;
};

inline std::string build(const Rec& r) {
  std::string b(LWEVTREC_FIXED, '\0');
  b += r.source + '\0' + r.computer + '\0';
  uint32_t sid_at = static_cast<uint32_t>(b.size());
  b += r.sid;
  uint32_t strings_at = static_cast<uint32_t>(b.size());
  for (const std::string& s : r.strings) b += s + '\0';
  uint32_t data_at = static_cast<uint32_t>(b.size());
  b += r.data;
  put32(b, 0, static_cast<uint32_t>(b.size()));
  put32(b, 4, 0x654c664c);
  put32(b, 8, r.number);
  put32(b, 12, r.time);
  put32(b, 16, r.time + 1);
  put32(b, 20, r.id);
  put16(b, 24, r.type);
  put16(b, 26, static_cast<uint16_t>(r.strings.size()));
  put16(b, 28, 3);
  put16(b, 30, 0);
  put32(b, 32, 41);
  put32(b, 36, strings_at);
  put32(b, 40, static_cast<uint32_t>(r.sid.size()));
  put32(b, 44, r.sid.empty() ? 0 : sid_at);
  put32(b, 48, static_cast<uint32_t>(r.data.size()));
  put32(b, 52, r.data.empty() ? 0 : data_at);
  return b;
}

// The log called name read through lwevtrec over backend; scan gives the
// record lines one scan reports.
struct Reader {
  Reader(const lwevtrec_backend* backend, void* context, const char* name)
      : backend(backend), context(context) {
    static const lwsource_ops ops = {open,    lwevtrec_read, lwevtrec_close, lwevtrec_resolve,
                                     nullptr, nullptr,       nullptr};
    lwsource_init(&src);
    src.ops = &ops;
    src.context = this;
    kstring_init(&text);
    kstring_init(&log);
    kstring_assign_cstr(&log, name);
    lweventlog_init(&r, &log, nullptr);
  }
  ~Reader() {
    lweventlog_free(&r);
    kstring_free(&log);
    kstring_free(&text);
    lwsource_free(&src);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  static uint32_t open(lwsource* s, const char* name, void** handle) {
    Reader* self = static_cast<Reader*>(s->context);
    return lwevtrec_open(self->backend, self->context, name, handle);
  }
  std::vector<std::string> scan() {
    std::vector<std::string> lines;
    if (!lweventlog_open(&r, &src)) return lines;
    while (lweventlog_read(&r, &text)) lines.push_back(kstring_text(&text));
    lweventlog_close(&r);
    return lines;
  }
  const lwevtrec_backend* backend;
  void* context;
  lwsource src;
  lweventlog r;
  kstring log, text;
};

}  // namespace evtrec

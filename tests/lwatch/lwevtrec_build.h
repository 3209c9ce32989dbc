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

// Writes v little-endian in size bytes at b[at].
inline void put(std::string& b, size_t at, uint32_t v, int size = 4) {
  for (int i = 0; i < size; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
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
  // The fixed part: six 32-bit fields, four 16-bit ones, six 32-bit ones.
  const uint32_t fixed[16] = {static_cast<uint32_t>(b.size()),
                              0x654c664c,
                              r.number,
                              r.time,
                              r.time + 1,
                              r.id,
                              r.type,
                              static_cast<uint32_t>(r.strings.size()),
                              3,
                              0,
                              41,
                              strings_at,
                              static_cast<uint32_t>(r.sid.size()),
                              r.sid.empty() ? 0 : sid_at,
                              static_cast<uint32_t>(r.data.size()),
                              r.data.empty() ? 0 : data_at};
  for (int i = 0, at = 0; i < 16; ++i) {
    const int size = i >= 6 && i < 10 ? 2 : 4;
    put(b, at, fixed[i], size);
    at += size;
  }
  return b;
}

// The log called name read through lwevtrec over backend; scan gives the
// record lines one scan reports.
struct Reader {
  Reader(const lwevtrec_backend* backend, void* context, const char* name)
      : backend(backend), context(context), log(name) {
    static const lwsource_ops ops = {open,    lwevtrec_read, lwevtrec_close, lwevtrec_resolve,
                                     nullptr, nullptr,       nullptr};
    lwsource_init(&src);
    src.ops = &ops;
    src.context = this;
    lweventlog_init(&r, log.get(), nullptr);
  }
  ~Reader() {
    lweventlog_free(&r);
    lwsource_free(&src);
  }
  static uint32_t open(lwsource* s, const char* name, void** handle) {
    Reader* self = static_cast<Reader*>(s->context);
    return lwevtrec_open(self->backend, self->context, name, handle);
  }
  std::vector<std::string> scan() {
    std::vector<std::string> lines;
    if (!lweventlog_open(&r, &src)) return lines;
    while (lweventlog_read(&r, text.get())) lines.push_back(kstring_text(text.get()));
    lweventlog_close(&r);
    return lines;
  }
  const lwevtrec_backend* backend;
  void* context;
  lwtest::Str log, text;
  lwsource src;
  lweventlog r;
};

}  // namespace evtrec

// Windows event-log records laid out as the platform delivers them, unpadded
// (so lengths come out odd); a backend over blocks of them; a reader of one log.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "klib/kerror.h"
#include "lwatch/lweventlog.h"
#include "lwatch/lwevtrec.h"
#include "lwtest.h"

namespace evtrec {

// Writes v little-endian in size bytes at b[at]; the offset after them.
inline size_t put(std::string& b, size_t at, uint32_t v, int size = 4) {
  for (int i = 0; i < size; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
  return at + size;
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
  auto u32 = [](size_t v) { return static_cast<uint32_t>(v); };
  std::string b(LWEVTREC_FIXED, '\0');
  b += r.source + '\0' + r.computer + '\0';
  const uint32_t sid_at = r.sid.empty() ? 0 : u32(b.size());
  b += r.sid;
  const uint32_t strings_at = u32(b.size());
  for (const std::string& s : r.strings) b += s + '\0';
  const uint32_t data_at = r.data.empty() ? 0 : u32(b.size());
  b += r.data;
  // The fixed part: six 32-bit fields, four 16-bit ones, six 32-bit ones.
  size_t at = 0;
  for (uint32_t v : {u32(b.size()), 0x654c664cu, r.number, r.time, r.time + 1, r.id})
    at = put(b, at, v);
  for (uint32_t v : {uint32_t{r.type}, u32(r.strings.size()), 3u, 0u}) at = put(b, at, v, 2);
  for (uint32_t v : {41u, strings_at, u32(r.sid.size()), sid_at, u32(r.data.size()), data_at})
    at = put(b, at, v);
  return b;
}

// A backend over one log whose blocks the test lays out, with accounts and
// message files by name.
struct Fake {
  bool exists = true;
  std::vector<std::string> blocks;                                      // newest first
  std::vector<std::string> forward;                                     // records oldest first
  std::map<std::string, std::pair<std::string, std::string>> accounts;  // identity bytes
  std::map<std::string, std::string> files;                             // "log\source" -> list
  std::map<std::pair<std::string, uint32_t>, std::string> messages;     // by file and id
};
struct Cursor {
  Fake* fake;
  size_t next = 0;  // block
  size_t at = 0;    // forward record
};

inline uint32_t number_of(const std::string& record) {  // the tests number below 256
  return static_cast<uint8_t>(record[8]);
}
inline uint32_t deliver(const std::string& b, uint8_t* buf, uint32_t size, uint32_t* delivered) {
  if (b.empty()) return KERR_EOF;
  if (b.size() > size) return KERR_FAILED;
  memcpy(buf, b.data(), b.size());
  *delivered = static_cast<uint32_t>(b.size());
  return 0;
}

inline uint32_t fake_open(void* context, const char*, void** log) {
  Fake* f = static_cast<Fake*>(context);
  if (!f->exists) return KERR_FAILED;
  *log = new Cursor{f};
  return 0;
}
inline uint32_t fake_range(void* log, uint32_t* oldest, uint32_t* count) {
  const std::vector<std::string>& records = static_cast<Cursor*>(log)->fake->forward;
  *oldest = records.empty() ? 0 : number_of(records[0]);
  *count = static_cast<uint32_t>(records.size());
  return 0;
}
// Two records a block, from the one numbered from.
inline uint32_t fake_read_forward(void* log, uint32_t from, uint8_t* buf, uint32_t size,
                                  uint32_t* delivered) {
  Cursor* c = static_cast<Cursor*>(log);
  const std::vector<std::string>& records = c->fake->forward;
  if (from) {
    c->at = records.size();
    for (size_t i = 0; i < records.size(); ++i)
      if (number_of(records[i]) == from) c->at = i;
    if (c->at == records.size()) return KERR_FAILED;
  }
  std::string b;
  for (int k = 0; k < 2 && c->at < records.size(); ++k) b += records[c->at++];
  return deliver(b, buf, size, delivered);
}
inline uint32_t fake_read_block(void* log, uint8_t* buf, uint32_t size, uint32_t* delivered) {
  Cursor* c = static_cast<Cursor*>(log);
  if (c->next == c->fake->blocks.size()) return KERR_EOF;
  return deliver(c->fake->blocks[c->next++], buf, size, delivered);
}
inline void fake_close(void* log) {
  delete static_cast<Cursor*>(log);
}
inline bool fake_account(void* context, const uint8_t* sid, uint32_t size, kstring* domain,
                         kstring* account) {
  Fake* f = static_cast<Fake*>(context);
  auto it = f->accounts.find(std::string(reinterpret_cast<const char*>(sid), size));
  return it != f->accounts.end() && kstring_assign_cstr(domain, it->second.first.c_str()) &&
         kstring_assign_cstr(account, it->second.second.c_str());
}
inline bool fake_message_files(void* context, const char* log, const char* source, kstring* files) {
  Fake* f = static_cast<Fake*>(context);
  auto it = f->files.find(std::string(log) + "\\" + source);
  return it != f->files.end() && kstring_assign_cstr(files, it->second.c_str());
}
// The message's text followed by arguments 1, 2 and 100.
inline bool fake_format(void* context, const char* file, uint32_t event_id, const char* const* args,
                        kstring* message) {
  Fake* f = static_cast<Fake*>(context);
  auto it = f->messages.find({file, event_id});
  return it != f->messages.end() &&
         kstring_assign_cstr(message, (it->second + args[0] + args[1] + args[99]).c_str());
}
inline const lwevtrec_backend kBackend = {fake_open,    fake_read_block,    fake_close,
                                          fake_account, fake_message_files, fake_format,
                                          fake_range,   fake_read_forward};

// The log called name read through lwevtrec over backend; scan: one scan's lines.
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

#include "lwatch/lwevtrec.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "klib/kerror.h"

// Fields are read byte by byte: a record may start at any offset of its
// block, and the layout is little-endian whatever the host.
static uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

static uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// The NUL-ended text at offset of a record of length bytes, or null when it
// does not end inside the record. *end is the offset after its NUL.
static const char* text_at(const uint8_t* rec, uint32_t length, uint32_t offset, uint32_t* end) {
  if (offset >= length) return nullptr;
  const void* nul = memchr(rec + offset, '\0', length - offset);
  if (!nul) return nullptr;
  *end = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - rec) + 1;
  return reinterpret_cast<const char*>(rec + offset);
}

// A piece of size bytes at offset lies inside the record and after its
// fixed part; 64-bit sums so that no offset wraps around.
static bool piece_fits(uint32_t length, uint32_t offset, uint32_t size) {
  return offset >= LWEVTREC_FIXED && static_cast<uint64_t>(offset) + size <= length;
}

uint32_t lwevtrec_decode(const uint8_t* bytes, uint32_t size, lwevtrec* rec) {
  memset(rec, 0, sizeof *rec);
  if (size < LWEVTREC_FIXED) return LWEVTREC_SHORT;
  rec->length = get32(bytes);
  rec->reserved = get32(bytes + 4);
  rec->record_number = get32(bytes + 8);
  rec->time_generated = get32(bytes + 12);
  rec->time_written = get32(bytes + 16);
  rec->event_id = get32(bytes + 20);
  rec->event_type = get16(bytes + 24);
  rec->num_strings = get16(bytes + 26);
  rec->event_category = get16(bytes + 28);
  rec->reserved_flags = get16(bytes + 30);
  rec->closing_record_number = get32(bytes + 32);
  rec->string_offset = get32(bytes + 36);
  rec->user_sid_length = get32(bytes + 40);
  rec->user_sid_offset = get32(bytes + 44);
  rec->data_length = get32(bytes + 48);
  rec->data_offset = get32(bytes + 52);
  if (rec->length < LWEVTREC_FIXED) return LWEVTREC_LENGTH;
  if (rec->length > size) return LWEVTREC_SHORT;

  uint32_t length = rec->length;
  uint32_t result = LWEVTREC_OK;
  uint32_t end = 0;
  const char* source = text_at(bytes, length, LWEVTREC_FIXED, &end);
  const char* computer = source ? text_at(bytes, length, end, &end) : nullptr;
  rec->source = source;
  rec->computer = computer;
  if (!computer) result = LWEVTREC_NAMES;

  bool strings_sound = true;
  if (rec->num_strings > 0) {
    strings_sound = rec->string_offset >= LWEVTREC_FIXED;
    end = rec->string_offset;
    for (uint32_t k = 0; strings_sound && k < rec->num_strings; ++k)
      strings_sound = text_at(bytes, length, end, &end) != nullptr;
    if (strings_sound) rec->strings = reinterpret_cast<const char*>(bytes + rec->string_offset);
  }
  if (!strings_sound && result == LWEVTREC_OK) result = LWEVTREC_STRINGS;

  if (rec->user_sid_length > 0) {
    if (piece_fits(length, rec->user_sid_offset, rec->user_sid_length))
      rec->user = bytes + rec->user_sid_offset;
    else if (result == LWEVTREC_OK)
      result = LWEVTREC_USER;
  }
  if (rec->data_length > 0) {
    if (piece_fits(length, rec->data_offset, rec->data_length))
      rec->data = bytes + rec->data_offset;
    else if (result == LWEVTREC_OK)
      result = LWEVTREC_DATA;
  }
  return result;
}

bool lwevtrec_walkable(uint32_t result) {
  return result == LWEVTREC_OK || result >= LWEVTREC_NAMES;
}

void lwevtrec_args(const lwevtrec* rec, const char* args[LWEVTREC_ARGS]) {
  const char* next = rec->strings;
  for (uint32_t k = 0; k < LWEVTREC_ARGS; ++k) {
    if (next && k < rec->num_strings) {
      args[k] = next;
      next += strlen(next) + 1;  // decoding found every one ended inside the record
    } else {
      args[k] = "";
    }
  }
}

struct lwevtrec_log {
  const lwevtrec_backend* backend;
  void* context;
  void* log;
  kstring name;
  uint8_t* buffer;      // LWEVTREC_BLOCK bytes
  uint32_t bytes_left;  // of the block, from offset on
  uint32_t offset;      // the next record in buffer
  lwevtrec current;     // the record read last; its pointers into buffer
  bool has_current;
  // Reading forward: the record number to seek first (0: go on where the
  // last forward read stopped), and whether nothing is left to read.
  uint32_t seek_from;
  bool at_end;
};

uint32_t lwevtrec_open(const lwevtrec_backend* backend, void* context, const char* name,
                       void** handle) {
  *handle = nullptr;
  lwevtrec_log* l = new (std::nothrow) lwevtrec_log;
  if (!l) return KERR_NOMEM;
  l->backend = backend;
  l->context = context;
  l->log = nullptr;
  kstring_init(&l->name);
  l->buffer = static_cast<uint8_t*>(malloc(LWEVTREC_BLOCK));
  l->bytes_left = 0;
  l->offset = 0;
  l->has_current = false;
  l->seek_from = 0;
  l->at_end = false;
  if (!l->buffer || !kstring_assign_cstr(&l->name, name)) {
    free(l->buffer);
    kstring_free(&l->name);
    delete l;
    return KERR_NOMEM;
  }
  uint32_t rc = backend->open(context, name, &l->log);
  if (rc != 0) {
    free(l->buffer);
    kstring_free(&l->name);
    delete l;
    return rc;
  }
  *handle = l;
  return 0;
}

void lwevtrec_close(void* handle) {
  lwevtrec_log* l = static_cast<lwevtrec_log*>(handle);
  if (!l) return;
  l->backend->close(l->log);
  free(l->buffer);
  kstring_free(&l->name);
  delete l;
}

// The next record of the block, a new block read first when none is left
// (forward: oldest first by record number; else newest first).
static uint32_t take_record(lwevtrec_log* l, lwevent* ev, bool forward) {
  l->has_current = false;
  if (l->bytes_left == 0) {
    uint32_t delivered = 0;
    uint32_t rc = forward ? l->backend->read_forward(l->log, l->seek_from, l->buffer,
                                                     LWEVTREC_BLOCK, &delivered)
                          : l->backend->read_block(l->log, l->buffer, LWEVTREC_BLOCK, &delivered);
    l->seek_from = 0;
    if (rc != 0) return rc;
    if (delivered == 0) return KERR_EOF;
    if (delivered > LWEVTREC_BLOCK) return KERR_FAILED;
    l->bytes_left = delivered;
    l->offset = 0;
  }
  lwevtrec* rec = &l->current;
  uint32_t result = lwevtrec_decode(l->buffer + l->offset, l->bytes_left, rec);
  if (!lwevtrec_walkable(result)) {
    // Without a sound Length the records after this one cannot be found.
    l->bytes_left = 0;
    return KERR_FAILED;
  }
  l->offset += rec->length;
  l->bytes_left -= rec->length;
  l->has_current = true;

  ev->time = rec->time_generated;
  // The upper bits carry severity and facility flags; the number people
  // know an event by is the low 16 bits.
  ev->id = rec->event_id & 0xFFFF;
  ev->type = rec->event_type;
  // The record text is one line whatever the source name holds.
  if (!rec->source || !kstring_assign_cstr(&ev->source, rec->source))
    kstring_assign_cstr(&ev->source, "N/A");
  kstring_remove_chars_cstr(&ev->source, "\r\n");
  return 0;
}

uint32_t lwevtrec_read(void* handle, lwevent* ev) {
  return take_record(static_cast<lwevtrec_log*>(handle), ev, false);
}

uint32_t lwevtrec_newest(void* handle, kstring* position) {
  lwevtrec_log* l = static_cast<lwevtrec_log*>(handle);
  lwevent ev;
  lwevent_init(&ev);
  uint32_t rc = take_record(l, &ev, false);  // newest first: the newest
  lwevent_free(&ev);
  if (rc != 0) return rc;
  return kstring_format(position, "%u", l->current.record_number) ? 0 : KERR_NOMEM;
}

uint32_t lwevtrec_open_after(const lwevtrec_backend* backend, void* context, const char* name,
                             const kstring* position, void** handle) {
  *handle = nullptr;
  if (!backend->range || !backend->read_forward) return KERR_FAILED;
  uint64_t after = 0;
  for (uint32_t i = 0; i < position->length; ++i) {
    char c = kstring_text(position)[i];
    if (c < '0' || c > '9' || after > UINT32_MAX) return KERR_FAILED;
    after = after * 10 + static_cast<uint64_t>(c - '0');
  }
  if (after > UINT32_MAX) return KERR_FAILED;
  uint32_t rc = lwevtrec_open(backend, context, name, handle);
  if (rc != 0) return rc;
  lwevtrec_log* l = static_cast<lwevtrec_log*>(*handle);
  if (position->length == 0) return 0;  // from the oldest
  uint32_t oldest = 0, count = 0;
  if (backend->range(l->log, &oldest, &count) != 0) {
    lwevtrec_close(l);
    *handle = nullptr;
    return KERR_FAILED;
  }
  uint64_t next = after + 1;
  uint64_t end = static_cast<uint64_t>(oldest) + count;  // one past the newest
  if (count == 0 || next >= end)
    l->at_end = true;  // nothing after it yet
  else if (next > oldest)
    l->seek_from = static_cast<uint32_t>(next);
  // else: its successors were overwritten; from the oldest.
  return 0;
}

uint32_t lwevtrec_next(void* handle, lwevent* ev, kstring* position) {
  lwevtrec_log* l = static_cast<lwevtrec_log*>(handle);
  if (l->at_end) return KERR_EOF;
  uint32_t rc = take_record(l, ev, true);
  if (rc != 0) return rc;
  return kstring_format(position, "%u", l->current.record_number) ? 0 : KERR_NOMEM;
}

void lwevtrec_resolve(void* handle, lwevent* ev) {
  lwevtrec_log* l = static_cast<lwevtrec_log*>(handle);
  if (!l->has_current) return;
  const lwevtrec* rec = &l->current;
  const lwevtrec_backend* b = l->backend;
  if (rec->user &&
      b->account(l->context, rec->user, rec->user_sid_length, &ev->domain, &ev->account))
    ev->has_user = 1;

  // A message needs the record's source and, when it has strings, sound ones.
  if (!rec->source || (rec->num_strings > 0 && !rec->strings)) return;
  kstring files, file;
  kstring_init(&files);
  kstring_init(&file);
  if (b->message_files(l->context, kstring_text(&l->name), rec->source, &files)) {
    const char* args[LWEVTREC_ARGS];
    lwevtrec_args(rec, args);
    // Every element is tried in turn, empty ones included: the first that
    // gives a message wins, the event id looked up whole.
    for (int32_t n = 0; kstring_token_cstr(&files, ";", n, &file); ++n) {
      if (b->format(l->context, kstring_text(&file), rec->event_id, args, &ev->message)) {
        ev->has_message = 1;
        break;
      }
    }
  }
  kstring_free(&file);
  kstring_free(&files);
}

// lwevtrec: records of the Windows event log as its ANSI read call delivers
// them (the EVENTLOGRECORD layout, little-endian), decoded without the
// platform's headers, and an event source (lwsource.h) built on blocks of
// such records. The platform half supplies an lwevtrec_backend: open a log,
// read blocks of whole records newest first, look up an account and a
// message; everything else (walking and checking records, insertion
// arguments, the message-file list) is here, so it is tested on any build.
//
// Decoding never reads outside the bytes it is given: every offset and
// length is checked against the record, and the record against the block.
// Decoded pointers point into the caller's buffer. An open log's state
// belongs to the reader that opened it (one thread).
#pragma once

#include <cstdint>

#include "klib/kstring.h"
#include "lwatch/lwsource.h"

constexpr uint32_t LWEVTREC_FIXED = 56;     // bytes of the fixed part
constexpr uint32_t LWEVTREC_BLOCK = 16384;  // bytes asked for by each block read
constexpr uint32_t LWEVTREC_ARGS = 128;     // insertion arguments given to a message

// Decoding results. From LWEVTREC_NAMES on, the fixed part and Length are
// sound: the record can be stepped over and its fixed fields used.
constexpr uint32_t LWEVTREC_OK = 0;
constexpr uint32_t LWEVTREC_SHORT = 1;    // fewer bytes than the fixed part or than Length
constexpr uint32_t LWEVTREC_LENGTH = 2;   // Length smaller than the fixed part
constexpr uint32_t LWEVTREC_NAMES = 3;    // source or computer name not ended in the record
constexpr uint32_t LWEVTREC_STRINGS = 4;  // an insertion string outside the record
constexpr uint32_t LWEVTREC_USER = 5;     // the identity outside the record
constexpr uint32_t LWEVTREC_DATA = 6;     // the binary data outside the record

struct lwevtrec {
  // The fixed part, field by field in the platform's order.
  uint32_t length;
  uint32_t reserved;
  uint32_t record_number;
  uint32_t time_generated;
  uint32_t time_written;
  uint32_t event_id;
  uint16_t event_type;
  uint16_t num_strings;
  uint16_t event_category;
  uint16_t reserved_flags;
  uint32_t closing_record_number;
  uint32_t string_offset;
  uint32_t user_sid_length;
  uint32_t user_sid_offset;
  uint32_t data_length;
  uint32_t data_offset;
  // Pieces in the record; null when absent or refused.
  const char* source;    // right after the fixed part
  const char* computer;  // right after the source
  const char* strings;   // num_strings NUL-ended texts one after another
  const uint8_t* user;   // user_sid_length bytes; null when the length is 0
  const uint8_t* data;   // data_length bytes; null when the length is 0
};

// Decodes the record at the start of bytes (size bytes available). 0, or
// the first LWEVTREC_* fault; each piece is checked on its own, so the
// pieces found sound are set whatever the result.
uint32_t lwevtrec_decode(const uint8_t* bytes, uint32_t size, lwevtrec* rec);
// True when a record with this result can be stepped over by its Length.
bool lwevtrec_walkable(uint32_t result);
// The record's insertion arguments: args[k] is its k-th string while k is
// below num_strings (and its strings are sound), "" otherwise.
void lwevtrec_args(const lwevtrec* rec, const char* args[LWEVTREC_ARGS]);

// What the platform gives. context is the one passed to lwevtrec_open.
struct lwevtrec_backend {
  // Opens the log called name: 0 with its state in *log, or an error code.
  uint32_t (*open)(void* context, const char* name, void** log);
  // The next block of whole records, newest first, continuing where the
  // previous call stopped: 0 with *delivered bytes (at most size) in buf;
  // KERR_EOF at the end of the log, another code on failure (a record
  // larger than size included).
  uint32_t (*read_block)(void* log, uint8_t* buf, uint32_t size, uint32_t* delivered);
  void (*close)(void* log);
  // Domain and account names of the identity (size bytes); true when found.
  bool (*account)(void* context, const uint8_t* sid, uint32_t size, kstring* domain,
                  kstring* account);
  // The message-file list registered for source in log, expanded; true
  // when there is one.
  bool (*message_files)(void* context, const char* log, const char* source, kstring* files);
  // The message event_id of one file, with LWEVTREC_ARGS arguments; true
  // when the file gave one.
  bool (*format)(void* context, const char* file, uint32_t event_id, const char* const* args,
                 kstring* message);
  // Reading forward by record number, for exact following; both null when
  // the platform has none. range: the oldest record's number and how many
  // records the log holds. read_forward: the next block of whole records,
  // oldest first, from the record numbered from when from is not 0, else
  // where the previous forward read stopped (at first: the oldest); results
  // as read_block.
  uint32_t (*range)(void* log, uint32_t* oldest, uint32_t* count);
  uint32_t (*read_forward)(void* log, uint32_t from, uint8_t* buf, uint32_t size,
                           uint32_t* delivered);
};

// The lwsource functions over a backend. A platform file's lwsource open
// calls lwevtrec_open with its backend; read, close and resolve are these.
uint32_t lwevtrec_open(const lwevtrec_backend* backend, void* context, const char* name,
                       void** handle);
// The next record: time, id (its low 16 bits), type and source. A record
// whose pieces are refused still comes, with the refused ones "N/A" or
// absent, so that the reading rules see every time; a block that cannot be
// walked ends the log (KERR_FAILED).
uint32_t lwevtrec_read(void* handle, lwevent* ev);
// Account and message of the record read last: the account of its
// identity; the message of its full event id from the first element of the
// source's ';'-separated message-file list that gives one.
void lwevtrec_resolve(void* handle, lwevent* ev);
void lwevtrec_close(void* handle);
// Reading by record number (lwsource newest, open_after, next), over a
// backend with range and read_forward. A position is the record number in
// decimal. After a position whose record is gone (the log wrapped) reading
// starts at the oldest record; a log cleared since, whose numbers start
// again below the position, is read once they pass it.
uint32_t lwevtrec_newest(void* handle, kstring* position);
uint32_t lwevtrec_open_after(const lwevtrec_backend* backend, void* context, const char* name,
                             const kstring* position, void** handle);
uint32_t lwevtrec_next(void* handle, lwevent* ev, kstring* position);

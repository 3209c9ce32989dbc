#include "net/smt_frame.h"

#include <cstdio>
#include <cstring>

#include "klib/kerror.h"
#include "klib/kthread.h"

#define SMT_MAGIC_SIZE 5
#define SMT_HEAD_DIGITS 5

static const char kMagicV1[] = "SMTF ";
static const char kMagicV2[] = "SMTF2";

int smt_message_init(smt_message* m) {
  m->version = 2;
  kstring_init(&m->head);
  kstring_init(&m->body);
  return 1;
}

void smt_message_free(smt_message* m) {
  kstring_free(&m->head);
  kstring_free(&m->body);
}

void smt_message_clear(smt_message* m) {
  kstring_clear(&m->head);
  kstring_clear(&m->body);
}

// Drops n transferred bytes from the front of the pieces.
static void advance(ksocket_buf** bufs, uint32_t* nbufs, uint32_t n) {
  while (*nbufs > 0 && n >= (*bufs)->length) {
    n -= (*bufs)->length;
    ++*bufs;
    --*nbufs;
  }
  if (*nbufs > 0 && n > 0) {
    (*bufs)->data = static_cast<char*>((*bufs)->data) + n;
    (*bufs)->length -= n;
  }
}

// The time a transfer may take: timeout_ms for each wait, or, with a
// deadline, whatever is left of it for all the waits together.
struct io_limit {
  uint32_t timeout_ms;
  bool whole;            // the deadline bounds the whole frame
  uint64_t deadline_ms;  // ktick_ms() time
};

static io_limit per_wait(uint32_t timeout_ms) {
  return {timeout_ms, false, 0};
}

static uint32_t wait_ms(const io_limit* limit) {
  if (!limit->whole) return limit->timeout_ms;
  uint64_t now = ktick_ms();
  return now >= limit->deadline_ms ? 0 : static_cast<uint32_t>(limit->deadline_ms - now);
}

// Where a frame's bytes go: the socket's own calls, or the link's over it.
// Plain TCP costs one test of the link per call, no call of its own.
struct stream {
  ksocket* s;
  const smt_link* link;  // null: plain TCP
};

static uint32_t recv_now(const stream* st, const ksocket_buf* bufs, uint32_t nbufs,
                         uint32_t* moved) {
  return st->link ? st->link->recv_now(st->link->ctx, bufs, nbufs, moved)
                  : ksocket_recv_now(st->s, bufs, nbufs, moved);
}

static uint32_t send_now(const stream* st, const ksocket_buf* bufs, uint32_t nbufs,
                         uint32_t* moved) {
  return st->link ? st->link->send_now(st->link->ctx, bufs, nbufs, moved)
                  : ksocket_send_now(st->s, bufs, nbufs, moved);
}

static uint32_t peek_now(const stream* st, void* buf, uint32_t* count) {
  return st->link ? st->link->peek_now(st->link->ctx, buf, count)
                  : ksocket_peek_now(st->s, buf, count);
}

static uint32_t wait_ready(const stream* st, uint32_t mode, uint32_t timeout_ms) {
  return st->link ? st->link->wait(st->link->ctx, mode, timeout_ms)
                  : ksocket_wait(st->s, mode, timeout_ms);
}

// One transfer of whatever the socket takes or gives now, waiting for
// readiness (within the limit) only when it has nothing to take or give. The
// caller has just learnt that the socket is ready, or is about to write, in
// the usual case, so trying first saves a readiness call per transfer.
static uint32_t transfer_some(const stream* s, bool sending, const ksocket_buf* bufs,
                              uint32_t nbufs, const io_limit* limit, uint32_t* moved) {
  for (;;) {
    uint32_t rc = sending ? send_now(s, bufs, nbufs, moved) : recv_now(s, bufs, nbufs, moved);
    if (rc != KERR_WOULDBLOCK) return rc;
    rc = wait_ready(s, sending ? KSOCKET_WRITE : KSOCKET_READ, wait_ms(limit));
    if (rc) return rc;
  }
}

// Moves every byte of the pieces (empty pieces are skipped).
static uint32_t transfer_all(const stream* s, bool sending, ksocket_buf* bufs, uint32_t nbufs,
                             const io_limit* limit) {
  advance(&bufs, &nbufs, 0);
  while (nbufs > 0) {
    uint32_t moved = 0;
    uint32_t rc = transfer_some(s, sending, bufs, nbufs, limit, &moved);
    if (rc) return rc;
    advance(&bufs, &nbufs, moved);
  }
  return 0;
}

static uint32_t read_exactly(const stream* s, char* buf, uint32_t count, const io_limit* limit) {
  ksocket_buf b = {buf, count};
  return transfer_all(s, false, &b, 1, limit);
}

// A length field as the reader takes it: leading white space, an optional
// sign, digits up to the first non-digit; compared as unsigned, so that a
// negative length is above every limit.
static uint32_t parse_length(const char* field, uint32_t digits) {
  char text[16];
  memcpy(text, field, digits);
  text[digits] = '\0';
  return static_cast<uint32_t>(kstring_to_int_cstr(text));
}

uint32_t smt_frame_write(const smt_message* m, ksocket* s, uint32_t timeout_ms,
                         const smt_link* link) {
  bool v1 = m->version == 1;
  uint32_t body_max = v1 ? SMT_BODY_FIELD_MAX_V1 : SMT_BODY_FIELD_MAX_V2;
  // A longer length would need more digits than the field has and misframe
  // the stream for the peer: refuse the whole message instead.
  if (m->head.length > SMT_HEAD_FIELD_MAX || m->body.length > body_max) return KERR_SMT_SIZE;
  char header[32];
  int n = snprintf(header, sizeof header, "%s%05u%0*u", v1 ? kMagicV1 : kMagicV2, m->head.length,
                   v1 ? 5 : 8, m->body.length);
  // Header, head and body leave in one call whenever the socket takes them:
  // separate small sends would wait on Nagle's algorithm and the peer's
  // delayed acknowledgement.
  ksocket_buf bufs[3] = {
      {header, static_cast<uint32_t>(n)},
      {const_cast<char*>(kstring_text(&m->head)), m->head.length},
      {const_cast<char*>(kstring_text(&m->body)), m->body.length},
  };
  io_limit limit = per_wait(timeout_ms);
  stream st = {s, link};
  return transfer_all(&st, true, bufs, 3, &limit);
}

// The reader step by step: magic, lengths, head and body, each judged as
// soon as its bytes are in, so that every failure gets its own code at the
// earliest moment: a wrong magic after five bytes, a length above its limit
// before any byte of the head.
static uint32_t read_in_steps(smt_message* m, const stream* s, const io_limit* limit) {
  char header[SMT_MAGIC_SIZE + SMT_HEAD_DIGITS + 8];
  // The magic alone first: a stream that is not SMT is refused after exactly
  // five bytes, whatever follows them.
  uint32_t rc = read_exactly(s, header, SMT_MAGIC_SIZE, limit);
  if (rc) return rc;
  if (memcmp(header, kMagicV1, SMT_MAGIC_SIZE) == 0)
    m->version = 1;
  else if (memcmp(header, kMagicV2, SMT_MAGIC_SIZE) == 0)
    m->version = 2;
  else
    return KERR_SMT_FRAME;

  // Both length fields in as few receives as the peer allows, but the head
  // length is judged as soon as its five digits are in, without waiting for
  // the body length.
  uint32_t body_digits = m->version == 1 ? 5 : 8;
  uint32_t want = SMT_HEAD_DIGITS + body_digits;
  char* lengths = header + SMT_MAGIC_SIZE;
  uint32_t got = 0;
  uint32_t head_len = 0;
  bool head_checked = false;
  while (got < want) {
    ksocket_buf b = {lengths + got, want - got};
    uint32_t moved = 0;
    rc = transfer_some(s, false, &b, 1, limit, &moved);
    if (rc) return rc;
    got += moved;
    if (!head_checked && got >= SMT_HEAD_DIGITS) {
      head_len = parse_length(lengths, SMT_HEAD_DIGITS);
      if (head_len > SMT_HEAD_MAX) return KERR_SMT_SIZE;
      head_checked = true;
    }
  }
  uint32_t body_len = parse_length(lengths + SMT_HEAD_DIGITS, body_digits);
  if (body_len > SMT_BODY_MAX) return KERR_SMT_SIZE;

  // Storage grows once to the announced size and is kept for the next frame.
  if (!kstring_reserve(&m->head, head_len + 1) || !kstring_reserve(&m->body, body_len + 1))
    return KERR_NOMEM;
  kstring_set_length(&m->head, head_len);
  kstring_set_length(&m->body, body_len);
  // Head and body are adjacent on the stream: one receive fills both.
  ksocket_buf parts[2] = {
      {kstring_text(&m->head), head_len},
      {kstring_text(&m->body), body_len},
  };
  rc = transfer_all(s, false, parts, 2, limit);
  if (rc) return rc;
  kstring_text(&m->head)[head_len] = '\0';
  kstring_text(&m->body)[body_len] = '\0';
  return 0;
}

// A complete, acceptable header at the front of bytes: its size and both
// lengths. Anything else (too few bytes, a wrong magic, a length above its
// limit) is left to read_in_steps.
static bool parse_header(const char* bytes, uint32_t n, uint8_t* version, uint32_t* size,
                         uint32_t* head_len, uint32_t* body_len) {
  if (n < SMT_MAGIC_SIZE) return false;
  if (memcmp(bytes, kMagicV1, SMT_MAGIC_SIZE) == 0)
    *version = 1;
  else if (memcmp(bytes, kMagicV2, SMT_MAGIC_SIZE) == 0)
    *version = 2;
  else
    return false;
  uint32_t body_digits = *version == 1 ? 5 : 8;
  *size = SMT_MAGIC_SIZE + SMT_HEAD_DIGITS + body_digits;
  if (n < *size) return false;
  *head_len = parse_length(bytes + SMT_MAGIC_SIZE, SMT_HEAD_DIGITS);
  *body_len = parse_length(bytes + SMT_MAGIC_SIZE + SMT_HEAD_DIGITS, body_digits);
  return *head_len <= SMT_HEAD_MAX && *body_len <= SMT_BODY_MAX;
}

// Before the frame's first byte: waits up to idle_ms for the socket to become
// readable (first, or only when a look finds nothing, as wait_first says),
// then starts the limit's deadline, if it has one. *started tells whether it
// became readable.
struct idle_wait {
  uint32_t idle_ms;
  bool wait_first;
  bool* started;
};

static uint32_t read_frame(smt_message* m, const stream* s, io_limit* limit,
                           const idle_wait* idle) {
  // The usual frame arrives whole: look at its header without consuming it,
  // then take header, head and body in one receive. That is two calls per
  // frame instead of four, with exactly the bytes of this frame consumed.
  char header[SMT_MAGIC_SIZE + SMT_HEAD_DIGITS + 8];
  uint32_t n = sizeof header;
  uint32_t rc = KERR_WOULDBLOCK;
  if (idle) {
    *idle->started = false;
    if (!idle->wait_first) rc = peek_now(s, header, &n);
    if (rc == KERR_WOULDBLOCK) {
      rc = wait_ready(s, KSOCKET_READ, idle->idle_ms);
      if (rc) return rc;
      rc = KERR_WOULDBLOCK;
    }
    *idle->started = true;
    if (limit->whole) limit->deadline_ms = ktick_ms() + limit->timeout_ms;
  }
  for (;;) {
    if (rc == KERR_WOULDBLOCK) {
      n = sizeof header;
      rc = peek_now(s, header, &n);
    }
    if (rc != KERR_WOULDBLOCK) break;
    rc = wait_ready(s, KSOCKET_READ, wait_ms(limit));
    if (rc) return rc;
    rc = KERR_WOULDBLOCK;
  }
  if (rc) return rc;
  uint8_t version = 0;
  uint32_t size = 0, head_len = 0, body_len = 0;
  if (!parse_header(header, n, &version, &size, &head_len, &body_len) ||
      !kstring_reserve(&m->head, head_len + 1) || !kstring_reserve(&m->body, body_len + 1))
    return read_in_steps(m, s, limit);
  m->version = version;
  kstring_set_length(&m->head, head_len);
  kstring_set_length(&m->body, body_len);
  ksocket_buf parts[3] = {
      {header, size},
      {kstring_text(&m->head), head_len},
      {kstring_text(&m->body), body_len},
  };
  rc = transfer_all(s, false, parts, 3, limit);
  if (rc) return rc;
  kstring_text(&m->head)[head_len] = '\0';
  kstring_text(&m->body)[body_len] = '\0';
  return 0;
}

uint32_t smt_frame_read(smt_message* m, ksocket* s, uint32_t timeout_ms, const smt_link* link) {
  io_limit limit = per_wait(timeout_ms);
  stream st = {s, link};
  return read_frame(m, &st, &limit, nullptr);
}

uint32_t smt_frame_read_next(smt_message* m, ksocket* s, uint32_t idle_ms, uint32_t total_ms,
                             bool wait_first, bool* started, const smt_link* link) {
  io_limit limit = {total_ms, true, 0};
  idle_wait idle = {idle_ms, wait_first, started};
  stream st = {s, link};
  return read_frame(m, &st, &limit, &idle);
}

#include "lwatch/lweventlog.h"

#include "klib/kerror.h"
#include "klib/ktime.h"
#include "lwatch/lwatch.h"
#include "lwatch/lwfacility.h"

bool lweventlog_init(lweventlog* r, const kstring* name, klog* log) {
  r->log = log;
  kstring_init(&r->name);
  kstring_assign(&r->name, name);
  lwevent_init(&r->event);
  r->last_time = 0;
  r->newest_time = 0;
  r->source = nullptr;
  r->handle = nullptr;
  r->exact = 0;
  r->positioned = 0;
  kstring_init(&r->position);
  return true;
}

void lweventlog_free(lweventlog* r) {
  if (r->source) lweventlog_close(r);
  lwevent_free(&r->event);
  kstring_free(&r->position);
  kstring_free(&r->name);
}

bool lweventlog_open(lweventlog* r, lwsource* source) {
  r->source = source;
  r->handle = nullptr;
  void* handle = nullptr;
  if (source->ops->open(source, kstring_text(&r->name), &handle) != 0) {
    r->source = nullptr;
    return false;
  }
  r->handle = handle;
  return true;
}

void lweventlog_close(lweventlog* r) {
  r->last_time = r->newest_time;
  if (r->source) r->source->ops->close(r->handle);
  r->handle = nullptr;
  r->source = nullptr;
}

const char* lweventlog_type_name(uint32_t type) {
  switch (type) {
    case LWEVENT_ERROR:
      return "ERROR";
    case LWEVENT_WARNING:
      return "WARNING";
    case LWEVENT_INFO:
      return "INFO";
    case LWEVENT_AUDIT_SUCCESS:
      return "AUDIT_SUCCESS";
    case LWEVENT_AUDIT_FAILURE:
      return "AUDIT_FAILURE";
    default:
      return "N/A";
  }
}

void lweventlog_user(lweventlog* r, kstring* text) {
  if (!r->event.has_user) {
    kstring_assign_cstr(text, "N/A");
    return;
  }
  kstring_format(text, "%s\\%s", kstring_text(&r->event.domain), kstring_text(&r->event.account));
}

void lweventlog_message(lweventlog* r, kstring* text) {
  if (!r->event.has_message) {
    kstring_assign_cstr(text, "N/A");
    return;
  }
  kstring_assign(text, &r->event.message);
  kstring_remove_chars_cstr(text, "\r\n");
}

// The record text of the current record (see lweventlog.h).
static void record_text(lweventlog* r, kstring* text) {
  lwevent* ev = &r->event;
  ktime t;
  ktime_init(&t);
  ktime_from_seconds(&t, ev->time);
  ktime_format(&t, text);
  ktime_free(&t);
  kstring piece;
  kstring_init(&piece);
  kstring_format(&piece, " : id=%u;type=%s;source=", ev->id, lweventlog_type_name(ev->type));
  kstring_append(text, &piece);
  kstring_append(text, &ev->source);
  kstring_append_cstr(text, ";user=");
  lweventlog_user(r, &piece);
  kstring_append(text, &piece);
  kstring_append_cstr(text, ";message=");
  lweventlog_message(r, &piece);
  kstring_append(text, &piece);
  kstring_free(&piece);
}

bool lweventlog_read(lweventlog* r, kstring* text) {
  if (!r->source) return false;
  lwevent* ev = &r->event;
  lwevent_clear(ev);
  if (r->source->ops->read(r->handle, ev) != 0) return false;
  kstring_clear(text);
  if (r->last_time == 0) {
    // No baseline yet: the newest record becomes it, and nothing is new.
    r->newest_time = ev->time;
    return false;
  }
  // Newest first: the first record that is not strictly later ends the scan.
  if (r->last_time >= ev->time) return false;
  if (ev->time > r->newest_time) r->newest_time = ev->time;
  if (r->source->ops->resolve) r->source->ops->resolve(r->handle, ev);
  record_text(r, text);
  return true;
}

// Exact following: the records after the reader's position, oldest first.
static void scan_by_position(lwfacility* f, lweventlog* r, lwatch_result* result, lwsource* source,
                             kstring* text, bool* hit) {
  const lwsource_ops* ops = source->ops;
  void* handle = nullptr;
  uint32_t rc = r->positioned
                    ? ops->open_after(source, kstring_text(&r->name), &r->position, &handle)
                    : ops->open(source, kstring_text(&r->name), &handle);
  if (rc != 0) {
    klog_plain(f->log, 2, "  cannot open '%s' eventlog\n", kstring_text(&r->name));
    return;
  }
  r->source = source;
  r->handle = handle;
  if (!r->positioned) {
    // The baseline: what the log holds now counts as reported.
    rc = ops->newest(handle, &r->position);
    if (rc == KERR_EOF) kstring_clear(&r->position);
    if (rc == 0 || rc == KERR_EOF) r->positioned = 1;
  } else {
    kstring pos;
    kstring_init(&pos);
    while (!lwfacility_stopping(f)) {
      lwevent_clear(&r->event);
      if (ops->next(handle, &r->event, &pos) != 0) break;
      if (ops->resolve) ops->resolve(handle, &r->event);
      record_text(r, text);
      const lwfilter* filter = lwfacility_match(f, text);
      if (filter) {
        // Not written: the position stays before it, so it comes again.
        if (!lwatch_result_hit(result, &f->name, &filter->name, text)) break;
        *hit = true;
        klog_plain(f->log, 3, "  new %s event = >%s<\n", kstring_text(&r->name),
                   kstring_text(text));
      }
      kstring_assign(&r->position, &pos);
    }
    kstring_free(&pos);
  }
  ops->close(handle);
  r->source = nullptr;
  r->handle = nullptr;
}

bool lwfacility_scan_eventlog(lwfacility* f, lwatch_result* result, lwsource* source) {
  klog_write(f->log, 4, 0, "scanning lwfacility '%s' eventlog\n", kstring_text(&f->name));
  bool hit = false;
  kstring text;
  kstring_init(&text);
  for (uint32_t i = 0; i < f->eventlogs.count && !lwfacility_stopping(f); ++i) {
    lweventlog* r = static_cast<lweventlog*>(karray_get(&f->eventlogs, i));
    if (r->exact && source->ops->next) {
      scan_by_position(f, r, result, source, &text, &hit);
      continue;
    }
    if (!lweventlog_open(r, source)) {
      klog_plain(f->log, 2, "  cannot open '%s' eventlog\n", kstring_text(&r->name));
      continue;
    }
    // Records come newest first and are remembered by one time only, so
    // the hits of one log are kept all or none: a hit the result file does
    // not take takes back those written before it, and the times stay, so
    // that the next scan reads all of them again.
    uint64_t mark = result->size;
    bool written = true, any = false;
    while (!lwfacility_stopping(f) && lweventlog_read(r, &text)) {
      const lwfilter* filter = lwfacility_match(f, &text);
      if (!filter) continue;
      if (!lwatch_result_hit(result, &f->name, &filter->name, &text)) {
        written = false;
        break;
      }
      any = true;
      klog_plain(f->log, 3, "  new %s event = >%s<\n", kstring_text(&r->name), kstring_text(&text));
    }
    if (!written) {
      // Should the file keep them, they come twice rather than never.
      any = !lwatch_result_undo(result, mark);
      r->newest_time = r->last_time;
    }
    if (any) hit = true;
    lweventlog_close(r);
  }
  kstring_free(&text);
  return hit;
}

#include "lwatch/lweventlog.h"

#include "klib/kerror.h"
#include "klib/ktime.h"

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

bool lweventlog_open_after(lweventlog* r, lwsource* source) {
  const lwsource_ops* ops = source->ops;
  void* handle = nullptr;
  uint32_t rc = r->positioned
                    ? ops->open_after(source, kstring_text(&r->name), &r->position, &handle)
                    : ops->open(source, kstring_text(&r->name), &handle);
  if (rc != 0) return false;
  r->source = source;
  r->handle = handle;
  if (!r->positioned) {
    // The baseline: what the log holds now counts as reported.
    rc = ops->newest(handle, &r->position);
    if (rc == KERR_EOF) kstring_clear(&r->position);
    if (rc == 0 || rc == KERR_EOF) r->positioned = 1;
  }
  return true;
}

bool lweventlog_read_after(lweventlog* r, kstring* text, kstring* pos) {
  const lwsource_ops* ops = r->source->ops;
  lwevent_clear(&r->event);
  if (ops->next(r->handle, &r->event, pos) != 0) return false;
  if (ops->resolve) ops->resolve(r->handle, &r->event);
  record_text(r, text);
  return true;
}

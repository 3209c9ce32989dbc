// Event source over the systemd journal (sd-journal). The source's location
// is empty for this machine's own journal, or a directory of journal files.
// A log name selects entries with journal matches:
//   "System"       every entry;
//   "Application"  _TRANSPORT journal, syslog or stdout;
//   "Security"     SYSLOG_FACILITY 4 (auth) or 10 (authpriv);
//   with '='       FIELD=VALUE terms separated by blanks, all required, a
//                  lone "+" between alternatives (as journalctl takes them);
//   anything else  SYSLOG_IDENTIFIER=name.
// An entry delivers its receive time, _PID as its id, a type from PRIORITY
// (or an audit entry's stated result), SYSLOG_IDENTIFIER or _COMM as its
// source, the account of _UID on this host, and MESSAGE.
// Each open log is one sd_journal, read from its tail backwards, and closed
// after the scan; it is used by the thread that opened it only.
#include <pwd.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "klib/kerror.h"
#include "lwatch/lwsource.h"

struct journal_log {
  sd_journal* journal;
  kstring host;  // this machine's name: accounts are resolved here
  // Opened after a cursor whose entry is gone: the journal stands on the
  // first entry after it, which next delivers without moving first.
  bool standing;
};

// A value is delivered as text: it ends at its first NUL (journal fields may
// be binary), and nothing else is cut off.
struct field_text {
  const char* text;
  uint32_t size;
};

static bool field_get(sd_journal* j, const char* field, field_text* out) {
  const void* data = nullptr;
  size_t length = 0;
  if (sd_journal_get_data(j, field, &data, &length) < 0) return false;
  // The data is "FIELD=value". A kstring counts in 32 bits; the journal's
  // own entry size limit keeps values far below that, the cap only keeps the
  // narrowing defined.
  size_t skip = strlen(field) + 1;
  if (length < skip) return false;
  const char* value = static_cast<const char*>(data) + skip;
  size_t size = length - skip;
  const void* nul = memchr(value, '\0', size);
  if (nul) size = static_cast<size_t>(static_cast<const char*>(nul) - value);
  if (size > UINT32_MAX - 1) size = UINT32_MAX - 1;
  out->text = value;
  out->size = static_cast<uint32_t>(size);
  return true;
}

static bool field_is(const field_text* v, const char* text) {
  size_t n = strlen(text);
  return v->size == n && memcmp(v->text, text, n) == 0;
}

// A decimal number of at most max, and nothing else.
static bool field_number(const field_text* v, uint64_t max, uint64_t* out) {
  if (v->size == 0 || v->size > 20) return false;
  uint64_t n = 0;
  for (uint32_t i = 0; i < v->size; ++i) {
    char c = v->text[i];
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (n > (max - digit) / 10) return false;
    n = n * 10 + digit;
  }
  *out = n;
  return true;
}

// The outcome an audit record states. Audit text is "key=value" words; the
// result is "res=success" / "res=1" or "res=failed" / "res=0" (inside the
// msg='…' part of user-space records), or "success=yes" / "success=no" on
// system-call records. Values that callers control are hex-encoded by the
// audit system when they hold blanks or quotes, so a result word starts at
// the text's start, after a blank or after the quote that opens msg='.
// The last such word counts, since the result closes the record.
static uint32_t audit_type(const field_text* message) {
  static const struct {
    const char* word;
    uint32_t type;
  } kResults[] = {
      {"res=success", LWEVENT_AUDIT_SUCCESS}, {"res=1", LWEVENT_AUDIT_SUCCESS},
      {"success=yes", LWEVENT_AUDIT_SUCCESS}, {"res=failed", LWEVENT_AUDIT_FAILURE},
      {"res=0", LWEVENT_AUDIT_FAILURE},       {"success=no", LWEVENT_AUDIT_FAILURE},
  };
  uint32_t type = 0;
  const char* text = message->text;
  uint32_t size = message->size;
  for (uint32_t i = 0; i < size; ++i) {
    if (i > 0 && text[i - 1] != ' ' && text[i - 1] != '\'') continue;
    uint32_t end = i;
    while (end < size && text[end] != ' ' && text[end] != '\'') ++end;
    for (const auto& r : kResults) {
      size_t n = strlen(r.word);
      if (end - i == n && memcmp(text + i, r.word, n) == 0) type = r.type;
    }
  }
  return type;
}

static uint32_t entry_type(sd_journal* j) {
  field_text v;
  if (field_get(j, "_TRANSPORT", &v) && field_is(&v, "audit") && field_get(j, "MESSAGE", &v)) {
    uint32_t type = audit_type(&v);
    if (type) return type;
  }
  if (!field_get(j, "PRIORITY", &v) || v.size != 1) return 0;
  switch (v.text[0]) {
    case '0':
    case '1':
    case '2':
    case '3':
      return LWEVENT_ERROR;
    case '4':
      return LWEVENT_WARNING;
    case '5':
    case '6':
    case '7':
      return LWEVENT_INFO;
    default:
      return 0;
  }
}

// The source piece stays on the record's one line: CR and LF are dropped.
static void entry_source(sd_journal* j, kstring* source) {
  field_text v;
  if ((field_get(j, "SYSLOG_IDENTIFIER", &v) && v.size > 0) ||
      (field_get(j, "_COMM", &v) && v.size > 0)) {
    if (kstring_assign_bytes(source, v.text, v.size)) {
      kstring_remove_chars_cstr(source, "\r\n");
      return;
    }
  }
  kstring_assign_cstr(source, "N/A");
}

// The account of uid in this machine's user database; false when it has
// none (or memory runs out).
static bool account_name(uid_t uid, kstring* account) {
  size_t size = 1024;
  for (;;) {
    char* buf = static_cast<char*>(malloc(size));
    if (!buf) return false;
    struct passwd pw;
    struct passwd* found = nullptr;
    int rc = getpwuid_r(uid, &pw, buf, size, &found);
    bool ok = rc == 0 && found && kstring_assign_cstr(account, found->pw_name);
    free(buf);
    if (rc != ERANGE || size >= (1u << 20)) return ok;
    size *= 2;
  }
}

static void entry_user(journal_log* log, lwevent* ev) {
  field_text v;
  uint64_t uid = 0;
  if (!field_get(log->journal, "_UID", &v) ||
      !field_number(&v, static_cast<uid_t>(-1) - 1ull, &uid))
    return;
  if (!account_name(static_cast<uid_t>(uid), &ev->account)) return;
  if (!kstring_assign(&ev->domain, &log->host)) return;
  ev->has_user = 1;
}

// The record of the entry the journal stands on.
static uint32_t entry_event(journal_log* log, lwevent* ev) {
  sd_journal* j = log->journal;
  uint64_t usec = 0;
  if (sd_journal_get_realtime_usec(j, &usec) < 0) return KERR_FAILED;
  // Times beyond the 32-bit range keep their order as the latest time.
  uint64_t seconds = usec / 1000000;
  ev->time = seconds > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(seconds);

  field_text v;
  uint64_t pid = 0;
  if (field_get(j, "_PID", &v) && field_number(&v, UINT32_MAX, &pid))
    ev->id = static_cast<uint32_t>(pid);
  ev->type = entry_type(j);
  entry_source(j, &ev->source);
  entry_user(log, ev);
  if (field_get(j, "MESSAGE", &v) && kstring_assign_bytes(&ev->message, v.text, v.size))
    ev->has_message = 1;
  return 0;
}

static uint32_t journal_read(void* handle, lwevent* ev) {
  journal_log* log = static_cast<journal_log*>(handle);
  int rc = sd_journal_previous(log->journal);
  if (rc == 0) return KERR_EOF;
  if (rc < 0) return KERR_FAILED;
  return entry_event(log, ev);
}

// The cursor of the entry the journal stands on.
static uint32_t entry_cursor(sd_journal* j, kstring* position) {
  char* cursor = nullptr;
  if (sd_journal_get_cursor(j, &cursor) < 0) return KERR_FAILED;
  bool ok = kstring_assign_cstr(position, cursor);
  free(cursor);
  return ok ? 0 : KERR_NOMEM;
}

static uint32_t journal_newest(void* handle, kstring* position) {
  journal_log* log = static_cast<journal_log*>(handle);
  int rc = sd_journal_previous(log->journal);  // from the tail: the newest entry
  if (rc == 0) return KERR_EOF;
  if (rc < 0) return KERR_FAILED;
  return entry_cursor(log->journal, position);
}

static uint32_t journal_next(void* handle, lwevent* ev, kstring* position) {
  journal_log* log = static_cast<journal_log*>(handle);
  if (log->standing) {
    log->standing = false;
  } else {
    int rc = sd_journal_next(log->journal);
    if (rc == 0) return KERR_EOF;
    if (rc < 0) return KERR_FAILED;
  }
  uint32_t rc = entry_event(log, ev);
  return rc != 0 ? rc : entry_cursor(log->journal, position);
}

// Terms of a match name: blanks separate them, each FIELD=VALUE is required
// (sd-journal lets two values of one field stand for either, as journalctl
// does), and a lone "+" starts an alternative. An empty alternative or a term
// that is no FIELD=VALUE makes the name unusable.
static bool add_match_terms(sd_journal* j, const char* name) {
  const char* p = name;
  bool group_has_term = false;
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (!*p) break;
    const char* term = p;
    while (*p && *p != ' ' && *p != '\t') ++p;
    size_t size = static_cast<size_t>(p - term);
    if (size == 1 && term[0] == '+') {
      if (!group_has_term || sd_journal_add_disjunction(j) < 0) return false;
      group_has_term = false;
      continue;
    }
    if (sd_journal_add_match(j, term, size) < 0) return false;
    group_has_term = true;
  }
  return group_has_term;
}

static bool add_name_matches(sd_journal* j, const char* name) {
  if (strcmp(name, "System") == 0) return true;
  if (strcmp(name, "Application") == 0)
    return sd_journal_add_match(j, "_TRANSPORT=journal", 0) >= 0 &&
           sd_journal_add_match(j, "_TRANSPORT=syslog", 0) >= 0 &&
           sd_journal_add_match(j, "_TRANSPORT=stdout", 0) >= 0;
  if (strcmp(name, "Security") == 0)
    return sd_journal_add_match(j, "SYSLOG_FACILITY=4", 0) >= 0 &&
           sd_journal_add_match(j, "SYSLOG_FACILITY=10", 0) >= 0;
  if (strchr(name, '=')) return add_match_terms(j, name);
  kstring term;
  kstring_init(&term);
  bool ok = kstring_assign_cstr(&term, "SYSLOG_IDENTIFIER=") && kstring_append_cstr(&term, name) &&
            sd_journal_add_match(j, kstring_text(&term), term.length) >= 0;
  kstring_free(&term);
  return ok;
}

static void journal_close(void* handle) {
  journal_log* log = static_cast<journal_log*>(handle);
  if (!log) return;
  if (log->journal) sd_journal_close(log->journal);
  kstring_free(&log->host);
  delete log;
}

static uint32_t journal_open(lwsource* src, const char* name, void** handle) {
  *handle = nullptr;
  journal_log* log = new (std::nothrow) journal_log;
  if (!log) return KERR_NOMEM;
  log->journal = nullptr;
  log->standing = false;
  kstring_init(&log->host);
  int rc = src->location.length == 0
               ? sd_journal_open(&log->journal, SD_JOURNAL_LOCAL_ONLY)
               : sd_journal_open_directory(&log->journal, kstring_text(&src->location), 0);
  // Fields are read whole: a long message is reported as it stands.
  if (rc < 0 || sd_journal_set_data_threshold(log->journal, 0) < 0 ||
      !add_name_matches(log->journal, name) || sd_journal_seek_tail(log->journal) < 0) {
    journal_close(log);
    return KERR_FAILED;
  }
  char host[HOST_NAME_MAX + 1];
  if (gethostname(host, sizeof host) == 0) {
    host[sizeof host - 1] = '\0';
    kstring_assign_cstr(&log->host, host);
  }
  *handle = log;
  return 0;
}

static uint32_t journal_open_after(lwsource* src, const char* name, const kstring* position,
                                   void** handle) {
  uint32_t rc = journal_open(src, name, handle);
  if (rc != 0) return rc;
  journal_log* log = static_cast<journal_log*>(*handle);
  sd_journal* j = log->journal;
  if (position->length == 0) {
    if (sd_journal_seek_head(j) < 0) rc = KERR_FAILED;
  } else if (sd_journal_seek_cursor(j, kstring_text(position)) < 0) {
    rc = KERR_FAILED;
  } else {
    // Seeking a cursor lands on its entry when it still exists, else on
    // the nearest one: an entry that is not the cursor's is still to come.
    int moved = sd_journal_next(j);
    if (moved < 0) rc = KERR_FAILED;
    if (moved > 0 && sd_journal_test_cursor(j, kstring_text(position)) <= 0) log->standing = true;
    if (moved == 0) sd_journal_seek_tail(j);  // nothing after it: next finds the end
  }
  if (rc != 0) {
    journal_close(log);
    *handle = nullptr;
  }
  return rc;
}

const lwsource_ops* lwsource_platform_ops() {
  static const lwsource_ops kOps = {journal_open,   journal_read,       journal_close, nullptr,
                                    journal_newest, journal_open_after, journal_next};
  return &kOps;
}

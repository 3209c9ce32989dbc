#include "agent/agent_watch.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "klib/kdir.h"
#include "klib/kerror.h"
#include "klib/kfile.h"
#include "klib/klog.h"
#include "net/smt_frame.h"

// Every handler keeps its state in locals (lwgetlog until its reply is out,
// in its own connection's record) and only reads the agent's two directory
// strings, so any number of them run side by side and beside the log-watch
// thread; the file system is all they share, and a rename settles which
// fetch owns a result file.

static const char* const kOk = "200 OK";
static const char* const kSyntax = "400 Syntax error";
static const char* const kCannotOpen = "400 Cannot open file";
static const char* const kCannotList = "400 Failed reading directory";
// A replacement that could not be completed: the old file stands.
static const char* const kCannotWrite = "400 Cannot write file";

// A name must stay one entry of its directory: a '/' or '\' would lead out
// of it. ".." without a separator needs nothing: it only ever forms names
// such as "...facility" or "lw...log", entries of the directory like any
// other. A NUL byte cannot occur: the head's tokens end at the first one, so
// no name can cut a path short of its extension.
static bool name_is_plain(const kstring* name) {
  const char* t = kstring_text(name);
  for (uint32_t i = 0; i < name->length; ++i)
    if (t[i] == '/' || t[i] == '\\') return false;
  return true;
}

// The file that a request names: token 1 of its head (the text between the
// first and the second blank; empty after a single trailing blank) between
// prefix and suffix, in dir. nullptr with the path, or the refusal's status.
static const char* named_path(const smt_message* request, const kstring* dir, const char* prefix,
                              const char* suffix, kstring* path) {
  kstring arg, name;
  kstring_init(&arg);
  kstring_init(&name);
  const char* refusal = nullptr;
  if (!kstring_token_cstr(&request->head, " ", 1, &arg))
    refusal = kSyntax;
  else if (!name_is_plain(&arg))
    refusal = kCannotOpen;
  else if (!kstring_assign_cstr(&name, prefix) || !kstring_append(&name, &arg) ||
           !kstring_append_cstr(&name, suffix) || !kstring_path_join(path, dir, &name))
    refusal = kCannotOpen;  // no memory for the path: nothing can be opened
  kstring_free(&name);
  kstring_free(&arg);
  return refusal;
}

// Appends each line of the file at path, with "\n", to body. 0 when it was
// read to its end; -1 when the file cannot be opened or a read failed (a
// directory opens, but cannot be read), with body emptied. A symbolic link
// in the file's place is not followed: it cannot serve a file elsewhere.
static int read_lines(const kstring* path, kstring* body) {
  kfile f;
  kfile_init(&f);
  kfile_set_name(&f, path);
  int result = -1;
  if (kfile_open_regular_nofollow(&f) == 0) {
    // The body holds at most the file's bytes and one "\n" more: reserved at
    // once, a large file is not copied again at every step of growth.
    uint64_t size = 0;
    if (kfile_size(&f, &size) == 0 && size < UINT32_MAX - 2)
      kstring_reserve(body, body->length + static_cast<uint32_t>(size) + 2);
    kstring line;
    kstring_init(&line);
    result = 0;
    while (kfile_read_line(&f, &line) == 0) {
      kstring_append(body, &line);
      kstring_append_char(body, '\n');
    }
    if (kfile_error(&f)) result = -1;
    kstring_free(&line);
    kfile_close(&f);
  }
  if (result < 0) kstring_clear(body);
  kfile_free(&f);
  return result;
}

static void remove_file(const kstring* path) {
  kfile f;
  kfile_init(&f);
  kfile_set_name(&f, path);
  kfile_remove(&f);
  kfile_free(&f);
}

// The files of dir that match pattern in names, each turned in place into
// the text before its first dot without its first skip characters. The
// reply's status: false when the directory cannot be read.
static bool list_stems(const kstring* dir, const char* pattern, uint32_t skip, kstrlist* names,
                       smt_message* reply) {
  kdir d;
  kdir_init(&d, dir);
  const bool listed = kdir_list_files_cstr(&d, pattern, names) == 0;
  kdir_free(&d);
  kstring_assign_cstr(&reply->head, listed ? kOk : kCannotList);
  kstring stem;
  kstring_init(&stem);
  for (uint32_t i = 0; listed && i < kstrlist_count(names); ++i) {
    kstring* name = kstrlist_get(names, i);
    kstring_token_cstr(name, ".", 0, &stem);
    if (stem.length > skip)
      kstring_substr(&stem, skip, stem.length - skip, name);
    else
      kstring_clear(name);
  }
  kstring_free(&stem);
  return listed;
}

// The stems (see list_stems) of the files of dir that match pattern, one per
// line.
static uint32_t list_names(const kstring* dir, const char* pattern, uint32_t skip,
                           smt_message* reply) {
  kstrlist names;
  kstrlist_init(&names);
  if (list_stems(dir, pattern, skip, &names, reply))
    for (uint32_t i = 0; i < kstrlist_count(&names); ++i) {
      kstring_append(&reply->body, kstrlist_get(&names, i));
      kstring_append_char(&reply->body, '\n');
    }
  kstrlist_free(&names);
  return 0;
}

static uint32_t answer(smt_message* reply, const char* status) {
  kstring_assign_cstr(&reply->head, status);
  return 0;
}

uint32_t agent_lwlistf(agent* a, smt_client*, smt_message*, smt_message* reply) {
  return list_names(&a->facilitydir, "*.facility", 0, reply);
}

uint32_t agent_lwreadf(agent* a, smt_client*, smt_message* request, smt_message* reply) {
  kstring path;
  kstring_init(&path);
  const char* status = named_path(request, &a->facilitydir, "", ".facility", &path);
  // A facility file too large for a reply frame ends the connection when the
  // reply is written; nothing is lost, the file stays.
  if (!status) status = read_lines(&path, &reply->body) < 0 ? kCannotOpen : kOk;
  kstring_free(&path);
  return answer(reply, status);
}

uint32_t agent_lwwritef(agent* a, smt_client*, smt_message* request, smt_message* reply) {
  kstring path;
  kstring_init(&path);
  const char* status = named_path(request, &a->facilitydir, "", ".facility", &path);
  if (!status) {
    // Replaced whole, never rewritten in place: the engine may reload the
    // facility at any moment, and must find the old content or the new one,
    // not a truncated file. A write that fails (a full disk) is reported,
    // since the collector would otherwise take the old facility for the new.
    kfile f;
    kfile_init(&f);
    kfile_set_name(&f, &path);
    uint32_t rc = kfile_replace(&f, kstring_text(&request->body), request->body.length);
    status = rc == 0 ? kOk : rc == KERR_FAILED ? kCannotOpen : kCannotWrite;
    kfile_free(&f);
  }
  kstring_free(&path);
  return answer(reply, status);
}

uint32_t agent_lwremovef(agent* a, smt_client*, smt_message* request, smt_message* reply) {
  kstring path;
  kstring_init(&path);
  const char* status = named_path(request, &a->facilitydir, "", ".facility", &path);
  if (!status) {
    remove_file(&path);  // a file that was not there is no failure
    status = kOk;
  }
  kstring_free(&path);
  return answer(reply, status);
}

// ---- result files ----

// A result file being fetched is moved out of sight first: "<name>.<n>.fetch"
// matches neither "lw*.log" (listings, fetches) nor "*.tmp" (the engine's
// unfinished files), and n is new for every fetch. The lines that its reply
// does not carry wait beside it as "<name>.<n>.rest" until the reply is out.
static const char* const kClaimExt = ".fetch";
static const char* const kRestExt = ".rest";
static std::atomic<uint32_t> g_fetch_serial{0};

static bool file_exists(const kstring* path) {
  kfile f;
  kfile_init(&f);
  kfile_set_name(&f, path);
  uint32_t mtime = 0, size = 0;
  bool found = kfile_stat(&f, &mtime, &size) == 0;
  kfile_free(&f);
  return found;
}

// Moves from to to, never over an existing file; a failure is logged, and
// the file waits where it is for the recovery at the next start.
static bool move_file(const kstring* from, const kstring* to, klog* log) {
  kfile f;
  kfile_init(&f);
  kfile_set_name(&f, from);
  bool moved = kfile_rename(&f, to) == 0;
  kfile_free(&f);
  if (!moved)
    klog_write(log, 1, KLOG_WARNING, "cannot move result file %s to %s\n", kstring_text(from),
               kstring_text(to));
  return moved;
}

// The result file that a claimed or rest name stands for: the name without
// its extension (of ext_length characters) and without ".<n>". False for a
// name not made that way.
static bool original_name(const kstring* name, uint32_t ext_length, kstring* out) {
  if (name->length <= ext_length) return false;
  uint32_t end = name->length - ext_length, dot = end;
  const char* t = kstring_text(name);
  while (dot > 0 && t[dot - 1] >= '0' && t[dot - 1] <= '9') --dot;
  if (dot == end || dot < 2 || t[dot - 1] != '.') return false;
  return kstring_assign_prefix(out, name, dot - 1) != 0;
}

// Each file of dir matching pattern, with its full path and the path of the
// result file it stands for, given to fn.
typedef void (*leftover_fn)(const kstring* path, const kstring* original, klog* log);

static void each_leftover(const kstring* dir, const char* pattern, uint32_t ext_length,
                          leftover_fn fn, klog* log) {
  kdir d;
  kdir_init(&d, dir);
  kstrlist names;
  kstrlist_init(&names);
  kdir_list_files_cstr(&d, pattern, &names);
  kstring path, original_base, original;
  kstring_init(&path);
  kstring_init(&original_base);
  kstring_init(&original);
  for (uint32_t i = 0; i < kstrlist_count(&names); ++i) {
    const kstring* name = kstrlist_get(&names, i);
    if (original_name(name, ext_length, &original_base) && kstring_path_join(&path, dir, name) &&
        kstring_path_join(&original, dir, &original_base))
      fn(&path, &original, log);
  }
  kstring_free(&original);
  kstring_free(&original_base);
  kstring_free(&path);
  kstrlist_free(&names);
  kdir_free(&d);
}

static void put_back(const kstring* path, const kstring* original, klog* log) {
  if (move_file(path, original, log))
    klog_write(log, 1, KLOG_PLAIN, "result file %s put back after an unfinished fetch\n",
               kstring_text(original));
}

// A rest whose claimed file is still there holds nothing that file does not
// hold (the reply was not confirmed): it goes. Without it, the reply was
// out and the rest is all that is left of the file.
static void recover_rest(const kstring* path, const kstring* original, klog* log) {
  kstring claimed;
  kstring_init(&claimed);
  kstring_assign_prefix(&claimed, path, path->length - static_cast<uint32_t>(strlen(kRestExt)));
  kstring_append_cstr(&claimed, kClaimExt);
  if (file_exists(&claimed))
    remove_file(path);
  else
    put_back(path, original, log);
  kstring_free(&claimed);
}

void agent_watch_recover(const kstring* resultdir, klog* log) {
  // The rests first: whether their claimed file is left decides what they are.
  each_leftover(resultdir, "lw*.rest", static_cast<uint32_t>(strlen(kRestExt)), recover_rest, log);
  each_leftover(resultdir, "lw*.fetch", static_cast<uint32_t>(strlen(kClaimExt)), put_back, log);
}

static bool id_less(const kstring* a, const kstring* b) {
  return kstring_compare(a, b) < 0;
}

uint32_t agent_list_results(agent* a, smt_message* reply, uint32_t body_max) {
  kstrlist names;
  kstrlist_init(&names);
  // Each name becomes its identifier (between "lw" and the first dot);
  // sorted, the twelve digits yymmddhhmmss put the oldest first. Unfinished
  // result files end in ".tmp", claimed ones in ".fetch" or ".rest": none
  // matches.
  if (!list_stems(&a->resultdir, "lw*.log", 2, &names, reply)) {
    kstrlist_free(&names);
    return 0;
  }
  const uint32_t count = kstrlist_count(&names);
  karray order;
  karray_init(&order, sizeof(const kstring*), count > 0 ? count : 1);
  for (uint32_t i = 0; i < count; ++i) {
    const kstring** slot = static_cast<const kstring**>(karray_append(&order));
    if (slot) *slot = kstrlist_get(&names, i);
  }
  const kstring** ids = static_cast<const kstring**>(order.data);
  std::sort(ids, ids + order.count, id_less);
  // As many as one reply carries; the rest are listed once older ones have
  // been fetched.
  uint32_t listed = 0;
  while (listed < order.count && reply->body.length + ids[listed]->length + 1 <= body_max) {
    kstring_append(&reply->body, ids[listed]);
    kstring_append_char(&reply->body, '\n');
    ++listed;
  }
  if (listed < count)
    klog_limited(a->log_ref, 1, KLOG_WARNING, "lwlistlog cut", "",
                 "lwlistlog lists %u of %u result files, the oldest; the rest follow once these "
                 "are fetched\n",
                 listed, count);
  karray_free(&order);
  kstrlist_free(&names);
  return 0;
}

uint32_t agent_lwlistlog(agent* a, smt_client*, smt_message*, smt_message* reply) {
  return agent_list_results(a, reply, SMT_BODY_MAX);
}

// What a fetch leaves of a result file: the line that did not fit into the
// reply, then every line after it in the open source.
struct rest_of_file {
  kfile* source;
  kstring* line;
};

static uint32_t write_rest(kfile* out, void* data) {
  rest_of_file* rest = static_cast<rest_of_file*>(data);
  do {
    if (kfile_write(out, kstring_text(rest->line), rest->line->length) != rest->line->length ||
        kfile_write(out, "\n", 1) != 1)
      return KERR_EOF;
  } while (kfile_read_line_max(rest->source, rest->line, SMT_BODY_MAX - 1) == 0);
  return kfile_error(rest->source) ? KERR_FAILED : 0;
}

static agent_fetch* fetch_of(smt_client* c) {
  return &reinterpret_cast<agent_conn*>(c)->fetch;
}

static void fetch_free(agent_fetch* f) {
  kstring_free(&f->rest);
  kstring_free(&f->claimed);
  kstring_free(&f->original);
}

// The reply of a fetch is over. Sent: the claimed file goes, and the rest,
// if any, takes the file's name for the next fetch. Not sent: the file is
// put back as it was.
static void fetch_done(smt_client* c, uint32_t rc) {
  agent_fetch* f = fetch_of(c);
  if (rc == 0) {
    remove_file(&f->claimed);
    if (f->rest.length > 0) move_file(&f->rest, &f->original, c->log);
  } else {
    if (f->rest.length > 0) remove_file(&f->rest);
    move_file(&f->claimed, &f->original, c->log);
  }
  fetch_free(f);
}

// Claims the result file at path and reads into body as many whole lines as
// a reply of SMT_BODY_MAX bytes carries (a longer line comes in pieces, each
// ended with "\n"); the lines left are written beside it. On "200 OK" the
// connection's fetch record holds the claim and fetch_done is set to settle
// it once the reply is out; otherwise the file is back and body empty.
static const char* take_lines(smt_client* c, const kstring* path, kstring* body) {
  agent_fetch* fetch = fetch_of(c);
  kstring_init(&fetch->original);
  kstring_init(&fetch->claimed);
  kstring_init(&fetch->rest);
  const uint32_t serial = g_fetch_serial.fetch_add(1, std::memory_order_relaxed);
  kfile f;
  kfile_init(&f);
  kfile_set_name(&f, path);
  // One rename decides between concurrent fetches: the loser finds no file.
  if (!kstring_assign(&fetch->original, path) ||
      !kstring_format(&fetch->claimed, "%s.%u%s", kstring_text(path), serial, kClaimExt) ||
      !kstring_format(&fetch->rest, "%s.%u%s", kstring_text(path), serial, kRestExt) ||
      kfile_rename(&f, &fetch->claimed) != 0) {
    kfile_free(&f);
    fetch_free(fetch);
    return kCannotOpen;
  }
  const char* status = kCannotOpen;
  // The claimed file is opened here, and only here.
  if (kfile_open_regular_nofollow(&f) == 0) {
    uint64_t size = 0;
    if (kfile_size(&f, &size) == 0)
      kstring_reserve(body, body->length + (size < SMT_BODY_MAX ? static_cast<uint32_t>(size) + 2
                                                                : SMT_BODY_MAX));
    kstring line;
    kstring_init(&line);
    bool more = false;
    while (kfile_read_line_max(&f, &line, SMT_BODY_MAX - 1) == 0) {
      if (body->length + line.length + 1 > SMT_BODY_MAX) {
        more = true;
        break;
      }
      kstring_append(body, &line);
      kstring_append_char(body, '\n');
    }
    if (kfile_error(&f)) {
      status = kCannotOpen;  // a directory opens, but cannot be read
    } else if (!more) {
      status = kOk;
      kstring_clear(&fetch->rest);
    } else {
      // Written whole or not at all: a failure (a full disk) leaves the
      // claimed file, which goes back whole.
      kfile target;
      kfile_init(&target);
      kfile_set_name(&target, &fetch->rest);
      rest_of_file rest = {&f, &line};
      status = kfile_replace_with(&target, write_rest, &rest) == 0 ? kOk : kCannotWrite;
      kfile_free(&target);
    }
    kstring_free(&line);
    kfile_close(&f);
  }
  kfile_free(&f);
  if (status == kOk) {
    c->on_sent = fetch_done;
  } else {
    kstring_clear(body);
    move_file(&fetch->claimed, &fetch->original, c->log);
    fetch_free(fetch);
  }
  return status;
}

uint32_t agent_lwgetlog(agent* a, smt_client* c, smt_message* request, smt_message* reply) {
  kstring path;
  kstring_init(&path);
  const char* status = named_path(request, &a->resultdir, "lw", ".log", &path);
  if (!status) status = take_lines(c, &path, &reply->body);
  kstring_free(&path);
  return answer(reply, status);
}

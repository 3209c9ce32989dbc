#include "agent/agent_watch.h"

#include <cstdint>

#include "klib/kdir.h"
#include "klib/kerror.h"
#include "klib/kfile.h"
#include "net/smt_frame.h"

// Every handler keeps its state in locals and only reads the agent's two
// directory strings, so any number of them run side by side and beside the
// log-watch thread; the file system is all they share.

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

// The files of dir that match pattern, each as the text before its first
// dot without its first skip characters, one per line.
static uint32_t list_names(const kstring* dir, const char* pattern, uint32_t skip,
                           smt_message* reply) {
  kdir d;
  kdir_init(&d, dir);
  kstrlist names;
  kstrlist_init(&names);
  if (kdir_list_files_cstr(&d, pattern, &names) != 0) {
    kstring_assign_cstr(&reply->head, kCannotList);
  } else {
    kstring_assign_cstr(&reply->head, kOk);
    kstring stem;
    kstring_init(&stem);
    for (uint32_t i = 0; i < kstrlist_count(&names); ++i) {
      kstring_token_cstr(kstrlist_get(&names, i), ".", 0, &stem);
      if (stem.length > skip)
        kstring_append_bytes(&reply->body, kstring_text(&stem) + skip, stem.length - skip);
      kstring_append_char(&reply->body, '\n');
    }
    kstring_free(&stem);
  }
  kstrlist_free(&names);
  kdir_free(&d);
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

uint32_t agent_lwlistlog(agent* a, smt_client*, smt_message*, smt_message* reply) {
  // Unfinished result files end in ".tmp" and never match.
  return list_names(&a->resultdir, "lw*.log", 2, reply);
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

// Moves the lines of the result file at path into body, as many whole lines
// as a reply of SMT_BODY_MAX bytes carries (a longer line comes in pieces,
// each ended with "\n"). The file is then deleted, or, when lines are left,
// replaced by those lines, so that each line goes out exactly once however
// large the file grew. The status of the reply; body empty unless "200 OK".
static const char* take_lines(const kstring* path, kstring* body) {
  kfile f;
  kfile_init(&f);
  kfile_set_name(&f, path);
  const char* status = kCannotOpen;
  uint32_t mtime = 0, size = 0;
  if (kfile_stat(&f, &mtime, &size) == 0)
    kstring_reserve(body, body->length + (size < SMT_BODY_MAX ? size + 2 : SMT_BODY_MAX));
  if (kfile_open_regular_nofollow(&f) == 0) {
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
    } else {
      // The rest is written beside the file and renamed over it: a failure
      // (a full disk) leaves the file whole for a later fetch.
      kfile target;
      kfile_init(&target);
      kfile_set_name(&target, path);
      rest_of_file rest = {&f, &line};
      status = kfile_replace_with(&target, write_rest, &rest) == 0 ? kOk : kCannotWrite;
      kfile_free(&target);
    }
    kstring_free(&line);
    kfile_close(&f);
    if (status == kOk && !more) remove_file(path);
  }
  if (status != kOk) kstring_clear(body);
  kfile_free(&f);
  return status;
}

uint32_t agent_lwgetlog(agent* a, smt_client*, smt_message* request, smt_message* reply) {
  kstring path;
  kstring_init(&path);
  const char* status = named_path(request, &a->resultdir, "lw", ".log", &path);
  if (!status) status = take_lines(&path, &reply->body);
  kstring_free(&path);
  return answer(reply, status);
}

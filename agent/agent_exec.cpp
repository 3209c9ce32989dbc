#include "agent/agent_exec.h"

#include <cstring>

#include "klib/kfile.h"
#include "klib/kproc.h"
#include "net/smt_frame.h"

// The output is collected in memory before the reply is sent. Unbounded, one
// program printing without end (or a huge file) would hold the connection
// thread until the time limit and could take all of the agent's memory; a
// body above what frame readers accept would be refused by the collector
// anyway. So a body is cut at the readers' limit, whole lines only, and ends
// with a line that says so: ten connections then hold at most about 10 MiB.
static_assert(AGENT_BODY_MAX == SMT_BODY_MAX, "the cut follows the frame readers' limit");
static const uint32_t kCutLength = sizeof AGENT_CUT_LINE - 1;
// Room for output lines and their "\n", leaving space for the cut line.
static const uint32_t kLineRoom = AGENT_BODY_MAX - kCutLength;

// The read bound for the next line: one byte more than the body still takes,
// so that a line read up to the bound never fits, whether it ended there or
// was cut short.
static uint32_t line_bound(const kstring* body) {
  return body->length < kLineRoom ? kLineRoom - body->length + 1 : 1;
}

// Appends line and "\n" when they fit; otherwise closes the body with the cut
// line and sets *cut. False when nothing more is to be collected (no room,
// or no memory: the output then just ends early).
static bool append_line(kstring* body, const kstring* line, bool* cut) {
  if (uint64_t{body->length} + line->length + 1 > kLineRoom) {
    kstring_append_cstr(body, AGENT_CUT_LINE);
    *cut = true;
    return false;
  }
  // Room ahead of need: growing a large reply line by line would copy it
  // thousands of times.
  kstring_reserve_ahead(body, body->length + line->length + 2, AGENT_BODY_MAX + 1);
  return kstring_append(body, line) && kstring_append_char(body, '\n');
}

// The argument tokens of the head (tokens 1, 2, ... at single blanks, as the
// tokenizer cuts them, up to an embedded NUL), each followed by one blank.
// Joined again that is the head after its first blank plus one blank, or
// nothing when the head has no blank; taken in one piece, because asking the
// tokenizer for each token would rescan the head, quadratic in its blanks.
static void append_arguments(const kstring* head, kstring* command) {
  const char* text = kstring_text(head);
  size_t end = strnlen(text, head->length);
  const char* blank = static_cast<const char*>(memchr(text, ' ', end));
  if (!blank) return;
  const char* args = blank + 1;
  kstring_append_bytes(command, args, static_cast<uint32_t>(text + end - args));
  kstring_append_char(command, ' ');
}

// What a request wrote goes into the log with every control character
// shown as '?': a line feed in a request must not forge log lines.
static void loggable(const kstring* text, kstring* out) {
  kstring_assign(out, text);
  char* t = kstring_text(out);
  for (uint32_t i = 0; i < out->length; ++i)
    if (static_cast<unsigned char>(t[i]) < 0x20 || t[i] == 0x7f) t[i] = '?';
}

static uint32_t time_limit_ms(const agent* a) {
  const uint32_t max_s = UINT32_MAX / 1000;  // about 49 days: bound enough
  return a->exec_timeout_s > max_s ? max_s * 1000 : a->exec_timeout_s * 1000;
}

// Runs the command line and answers with its output. Every way out of the
// read loop ends in kproc_finish, which kills the child's process group and
// reaps the child: a cut or timed-out program leaves nothing running.
static void run_command(agent* a, smt_client* c, const kstring* command, smt_message* reply) {
  kproc p;
  kproc_init_k(&p, command);
  kproc_set_time_limit(&p, time_limit_ms(a));
  // A stopping agent does not wait for the program: the connection's stop
  // flag ends the run as the time limit would.
  kproc_set_cancel(&p, &c->stop);
  if (!kproc_run(&p)) {
    kproc_free(&p);
    kstring_assign_cstr(&reply->head, "400 Syntax error");
    return;
  }
  kstring line;
  kstring_init(&line);
  bool cut = false;
  while (kproc_read_line_max(&p, &line, line_bound(&reply->body)))
    if (!append_line(&reply->body, &line, &cut)) break;
  bool timed_out = kproc_timed_out(&p) != 0;
  bool cancelled = kproc_cancelled(&p) != 0;
  kproc_finish(&p);
  kproc_free(&p);
  kstring_free(&line);
  kstring shown;
  kstring_init(&shown);
  loggable(command, &shown);
  if (timed_out)
    klog_write(a->log_ref, 1, KLOG_WARNING,
               "Command exceeded smtsvr.exectimeout (%u s) - process group killed : %s\n",
               a->exec_timeout_s, kstring_text(&shown));
  if (cancelled)
    klog_write(a->log_ref, 1, KLOG_WARNING,
               "Command stopped with the agent - process group killed : %s\n",
               kstring_text(&shown));
  if (cut)
    klog_write(a->log_ref, 1, KLOG_WARNING,
               "Command output cut at %u bytes - process group killed : %s\n", AGENT_BODY_MAX,
               kstring_text(&shown));
  kstring_free(&shown);
  kstring_assign_cstr(&reply->head, "200 OK");
}

uint32_t agent_exec(agent* a, smt_client* c, smt_message* request, smt_message* reply) {
  kstring command;
  kstring_init(&command);
  append_arguments(&request->head, &command);
  run_command(a, c, &command, reply);
  kstring_free(&command);
  return 0;
}

uint32_t agent_cperf(agent* a, smt_client* c, smt_message* request, smt_message* reply) {
  kstring command;
  kstring_init(&command);
  kstring_assign_cstr(&command, "typeperf ");
  append_arguments(&request->head, &command);
  kstring shown;
  kstring_init(&shown);
  loggable(&command, &shown);
  klog_plain(a->log_ref, 2, "Command : %s\n", kstring_text(&shown));
  kstring_free(&shown);
  run_command(a, c, &command, reply);
  kstring_free(&command);
  return 0;
}

// Only regular files are read. A FIFO would block the connection thread until
// some writer appeared, a device such as /dev/zero never ends and opening one
// may act on it, and a directory has no lines: all of them get "400 Cannot
// open file", as a path that does not exist does.
uint32_t agent_read(agent* a, smt_client*, smt_message* request, smt_message* reply) {
  kstring path;
  kstring_init(&path);
  if (!kstring_token_cstr(&request->head, " ", 1, &path)) {
    kstring_free(&path);
    kstring_assign_cstr(&reply->head, "400 Syntax error");
    return 0;
  }
  kfile file;
  kfile_init(&file);
  // A relative path is taken from the current directory: the executable's
  // directory in service mode.
  if (!kfile_set_name(&file, &path) || kfile_open_regular(&file) != 0) {
    kfile_free(&file);
    kstring_free(&path);
    kstring_assign_cstr(&reply->head, "400 Cannot open file");
    return 0;
  }
  kstring line;
  kstring_init(&line);
  bool cut = false;
  while (kfile_read_line_max(&file, &line, line_bound(&reply->body)) == 0)
    if (!append_line(&reply->body, &line, &cut)) break;
  kfile_close(&file);
  kfile_free(&file);
  if (cut)
    klog_write(a->log_ref, 1, KLOG_WARNING, "File read cut at %u bytes : %s\n", AGENT_BODY_MAX,
               kstring_text(&path));
  kstring_free(&line);
  kstring_free(&path);
  kstring_assign_cstr(&reply->head, "200 OK");
  return 0;
}

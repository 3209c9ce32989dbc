// kproc: runs a command line as a child process and hands its caller what the
// child prints, line by line, through a pipe.
//
// The command line is split into arguments at blanks and tabs; a pair of
// double quotes groups blanks into an argument and is itself dropped
// ('sh -c "echo hi"' gives sh the arguments -c and echo hi). The program is
// searched on PATH; no shell is involved. The child gets its own process
// group; its standard input is at end of file from the start and its standard
// error shares the pipe of its standard output. No other descriptor of the
// agent reaches the child, so concurrent runs on different records never hold
// each other's pipes open.
//
// The output ends when every writer has closed the pipe, or KPROC_DRAIN_MS
// after the child exited: what the pipe held at the child's exit (all that
// the child wrote) is read in any case, output of processes it left running
// only until then. So a daemon that keeps the pipe open cannot hold the run.
//
// A record is used by one thread; several records may run children at once.
// The record owns `command`, the held child and, from a successful kproc_run
// to kproc_finish, the reading end of the output pipe. Ending a child
// (kproc_finish, kproc_kill, kproc_is_running once it has exited, kproc_free)
// kills the child's whole process group while the child is still unreaped,
// so the group id cannot have been reused, and then reaps the child: no
// zombie and no member of the group is left behind. Where the platform lets
// the runner adopt orphans, or gives it a control group of its own, the
// processes the child started outside its group (setsid, a double fork) are
// then killed and reaped as well; concurrent runs keep theirs (kproc_reap_posix.h).
// The runner's environment variable VARDO_RUN is replaced, in the child, by
// the run's own.
//
// Usual order: kproc_init_k, kproc_set_time_limit, kproc_run, then on
// success kproc_read_line until it returns 0, kproc_timed_out, kproc_finish;
// kproc_free in every case.
#pragma once

#include <atomic>
#include <cstdint>

#include "klib/kstring.h"

#define KPROC_BUFFER_SIZE 4096
#define KPROC_CANCEL_POLL_MS 200
// How long output is still read once the child has exited.
#define KPROC_DRAIN_MS 200
// How often the child's exit is looked for where it cannot be waited for.
#define KPROC_EXIT_POLL_MS 50
// How often a reader reaps the exited processes the runner adopted.
#define KPROC_REAP_POLL_MS 500

// A platform descriptor or handle; -1 while not held.
typedef intptr_t kproc_handle;

struct kproc {
  kstring command;
  uint32_t pid;  // the child's process id; 0 while no child is held
  // Handles of the child on platforms that have them (a process descriptor
  // to wait on while reading, where there is one).
  kproc_handle process;
  kproc_handle thread;
  kproc_handle job;       // the job object that holds the child and its descendants (Windows)
  kproc_handle out_read;  // the runner's end of the output pipe
  // The child's ends; they exist only inside kproc_run.
  kproc_handle out_write;
  kproc_handle in_write;  // closed at once: the child's input is empty
  kproc_handle in_read;
  kproc_handle err_write;
  uint32_t time_limit_ms;  // run time bound from kproc_run; 0: none
  uint32_t timed_out;      // 1 once kproc_read_line stopped at the bound
  uint64_t deadline_ms;    // ktick_ms() at which the bound runs out; 0: none
  // A flag another thread raises to end the run early (the connection's stop
  // flag); null: none. Polled at least every KPROC_CANCEL_POLL_MS.
  const std::atomic<uint32_t>* cancel;
  uint32_t cancelled;          // 1 once kproc_read_line stopped at the raised flag
  uint64_t run;                // the run's number among the runner's runs; 0: none
  uint32_t drain_left;         // bytes the pipe held at the exit, not yet read
  uint64_t drain_deadline_ms;  // ktick_ms() at which reading ends after the exit; 0: exit not seen
  uint64_t reap_ms;            // ktick_ms() of the next reaping of adopted zombies
  // Output read from the pipe but not yet handed out as lines.
  uint32_t buf_pos;
  uint32_t buf_len;
  char buf[KPROC_BUFFER_SIZE];
};

uint32_t kproc_libinit();  // 0: nothing to prepare; there is no clean-up

int kproc_init(kproc* p, const char* command);       // 0
int kproc_init_k(kproc* p, const kstring* command);  // 0
// Releases the command; a child still held is ended as kproc_kill does.
void kproc_free(kproc* p);

// Bounds the run time of the next kproc_run, in milliseconds; 0: no bound.
void kproc_set_time_limit(kproc* p, uint32_t ms);
// Starts the child with its output on a pipe. 1 when it runs; 0 when the
// command line is empty or the program cannot be started (nothing is held).
int kproc_run(kproc* p);
// Starts the child with the agent's standard input, output and error and no
// other descriptor. 1 or 0 as kproc_run.
int kproc_start(kproc* p);
// The next line of output: cut at LF, every CR dropped. 1 when at least one
// byte was consumed (a lone LF gives an empty line); 0 once every writer has
// closed the pipe or the drain after the child's exit is over, on a read
// failure, or when the time limit ran out. A last line without LF is
// delivered with 1, the next call returns 0.
int kproc_read_line(kproc* p, kstring* line);
// As kproc_read_line, but the line keeps at most max bytes (a max of 0 counts
// as 1): a longer line comes out in pieces of max bytes, the rest with the
// next calls; a line of exactly max bytes comes out whole, with its LF.
// Bounds what one line costs when a child prints without end.
int kproc_read_line_max(kproc* p, kstring* line, uint32_t max);
// 1 when kproc_read_line stopped because the time limit ran out.
uint32_t kproc_timed_out(const kproc* p);
// Makes kproc_read_line return 0 soon after *flag becomes non-zero; the flag
// must outlive the run. null: no such flag.
void kproc_set_cancel(kproc* p, const std::atomic<uint32_t>* flag);
// 1 when kproc_read_line stopped because the flag was raised.
uint32_t kproc_cancelled(const kproc* p);
// Closes the pipe and ends the child (process group killed, child reaped,
// what it left outside the group killed and reaped).
int kproc_finish(kproc* p);  // 1
// 1 while the child runs; once it has exited, ends it as kproc_kill does and
// returns 0 (and 0 on every later call).
int kproc_is_running(kproc* p);
// Kills the child's process group and reaps the child, then what it left
// outside the group; pid becomes 0.
int kproc_kill(kproc* p);                                  // 1
uint32_t kproc_get_command(const kproc* p, kstring* out);  // 1, 0 without memory
uint32_t kproc_get_pid(const kproc* p);

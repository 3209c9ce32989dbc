// The Windows half of kproc. CreateProcessA gets the command line as it is
// (the program is its first word, found by the system's search rules) and
// inherits exactly the child's three pipe ends: standard input is a pipe
// whose writing end is closed at once (end of file from the start), standard
// output and standard error share the output pipe. The child starts
// suspended and is put in a job object of its own before it runs, so that
// ending the run (the time limit, a finish, a stop) terminates the child and
// every process it started. Output is read without blocking: the pipe is
// looked at every few milliseconds, so that the time limit, the stop flag and
// the drain after the child's exit are all kept.
#include <windows.h>

#include <mutex>

#include "klib/kproc.h"
#include "klib/kproc_sys.h"
#include "klib/kthread.h"

// How long one look at an empty pipe waits.
static const uint32_t kPollMs = 10;

// Inheritable ends exist only while this is held, so that a child started by
// one record never inherits the ends of another record's child.
static std::mutex g_spawn;

static HANDLE h_of(kproc_handle h) {
  return reinterpret_cast<HANDLE>(h);
}

static kproc_handle k_of(HANDLE h) {
  return reinterpret_cast<kproc_handle>(h);
}

void kproc_sys_close(kproc_handle* h) {
  if (*h != KPROC_NO_HANDLE) CloseHandle(h_of(*h));
  *h = KPROC_NO_HANDLE;
}

// The pipes of a redirected run: out_read (not inheritable), out_write and
// err_write (inheritable, one pipe) and in_read (inheritable, its writer
// closed).
static bool open_pipes(kproc* p) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE self = GetCurrentProcess();
  HANDLE out_r = nullptr, out_w = nullptr, in_r = nullptr, in_w = nullptr;
  if (!CreatePipe(&out_r, &out_w, &sa, 0)) return false;
  p->out_write = k_of(out_w);
  HANDLE err_w = nullptr;
  bool ok = DuplicateHandle(self, out_w, self, &err_w, 0, TRUE, DUPLICATE_SAME_ACCESS);
  if (ok) p->err_write = k_of(err_w);
  ok = ok && CreatePipe(&in_r, &in_w, &sa, 0);
  if (ok) {
    p->in_read = k_of(in_r);
    CloseHandle(in_w);
  }
  HANDLE mine = nullptr;
  ok = ok && DuplicateHandle(self, out_r, self, &mine, 0, FALSE, DUPLICATE_SAME_ACCESS);
  CloseHandle(out_r);
  if (ok) p->out_read = k_of(mine);
  return ok;
}

bool kproc_sys_launch(kproc* p, bool redirect) {
  if (p->command.length == 0) return false;
  // CreateProcessA may write into the command line.
  char* line = static_cast<char*>(malloc(p->command.length + 1));
  if (!line) return false;
  memcpy(line, kstring_text(&p->command), p->command.length + 1);
  std::lock_guard<std::mutex> lock(g_spawn);
  bool ok = !redirect || open_pipes(p);
  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  if (redirect) {
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = h_of(p->in_read);
    si.hStdOutput = h_of(p->out_write);
    si.hStdError = h_of(p->err_write);
  }
  PROCESS_INFORMATION pi;
  memset(&pi, 0, sizeof pi);
  ok = ok && CreateProcessA(nullptr, line, nullptr, nullptr, redirect ? TRUE : FALSE,
                            CREATE_SUSPENDED, nullptr, nullptr, &si, &pi);
  free(line);
  // The child holds its own copies now.
  kproc_sys_close(&p->out_write);
  kproc_sys_close(&p->err_write);
  kproc_sys_close(&p->in_read);
  if (!ok) return false;
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    // Where the system refuses (an agent inside a job that forbids nesting),
    // ending the run terminates the child alone.
    if (!AssignProcessToJobObject(job, pi.hProcess)) {
      CloseHandle(job);
      job = nullptr;
    }
  }
  ResumeThread(pi.hThread);
  p->process = k_of(pi.hProcess);
  p->thread = k_of(pi.hThread);
  p->job = job ? k_of(job) : KPROC_NO_HANDLE;
  p->pid = pi.dwProcessId;
  return true;
}

bool kproc_sys_exited(const kproc* p) {
  return p->process == KPROC_NO_HANDLE || WaitForSingleObject(h_of(p->process), 0) == WAIT_OBJECT_0;
}

void kproc_sys_end(kproc* p) {
  if (p->pid == 0) return;
  if (p->job != KPROC_NO_HANDLE) TerminateJobObject(h_of(p->job), 0);
  if (!kproc_sys_exited(p)) TerminateProcess(h_of(p->process), 0);
  kproc_sys_close(&p->job);
  kproc_sys_close(&p->thread);
  kproc_sys_close(&p->process);
  p->drain_deadline_ms = 0;
  p->pid = 0;
}

int kproc_sys_fill(kproc* p) {
  if (p->out_read == KPROC_NO_HANDLE || p->timed_out || p->cancelled) return 0;
  HANDLE pipe = h_of(p->out_read);
  for (;;) {
    if (p->cancel && p->cancel->load(std::memory_order_acquire)) {
      p->cancelled = 1;
      return 0;
    }
    uint64_t now = ktick_ms();
    if (p->deadline_ms && now >= p->deadline_ms) {
      p->timed_out = 1;
      return 0;
    }
    DWORD avail = 0;
    // Fails once every writing end is closed and nothing is left.
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr)) return 0;
    bool exited = p->drain_deadline_ms != 0;
    if (!exited && p->pid != 0 && kproc_sys_exited(p)) {
      // All the child wrote is in the pipe now: that much is read in any
      // case, what processes it left running write only until the drain ends.
      p->drain_left = avail;
      p->drain_deadline_ms = now + KPROC_DRAIN_MS;
      exited = true;
    }
    if (avail > 0) {
      DWORD n = 0;
      DWORD want = avail < sizeof p->buf ? avail : static_cast<DWORD>(sizeof p->buf);
      if (!ReadFile(pipe, p->buf, want, &n, nullptr) || n == 0) return 0;
      p->drain_left -= n < p->drain_left ? n : p->drain_left;
      p->buf_pos = 0;
      p->buf_len = n;
      return 1;
    }
    if (exited && now >= p->drain_deadline_ms) return 0;
    if (!exited && p->pid != 0)
      WaitForSingleObject(h_of(p->process), kPollMs);
    else
      Sleep(kPollMs);
  }
}

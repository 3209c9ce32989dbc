// POSIX part of the kproc platform half that ends what a run leaves behind, used only inside
// klib.
//
// A program may start processes that leave its process group (setsid, a
// double fork) and outlive it. The process that runs programs becomes a
// child subreaper, so such a process, once its parents have exited, is
// re-parented to it rather than to init. Every run gets a number, and its
// child starts with the environment variable VARDO_RUN=<runner pid>.<number>,
// which its descendants inherit. Ending a run removes its number from the
// live runs and sweeps the runner's adopted children: a zombie is reaped, a
// living one is killed when it carries the number of a run that is no longer
// live, or carries no number (it cleared its environment, or it is not
// readable) while no run is live at all; with it, every process descending
// from it, found by the parent of each process, whatever its environment.
// The sweep repeats until nothing of that kind is left, since a killed
// process hands its zombie children on to the runner, but stops after
// KPROC_SWEEP_MS at the latest; what it misses is taken by a later sweep.
//
// Where the runner's own control group (cgroup v2) is delegated to it (the
// service manager marked it with trusted.delegate or user.delegate) and
// writable, each run also gets a control group below it, vardo-run-<runner
// pid>.<number>, made before the child starts; the child is moved into it
// right after its start, while the runs are locked.
// Ending the run kills all its members first (cgroup.kill, or one by one),
// whatever their environment or parents, and removes the group once they
// have exited. A process the child started before the move stays outside;
// the sweep still ends it.
//
// Children the runner started without kproc keep its process group and are
// never touched; a run's child and its descendants never have it. The
// children of live runs are registered and left to their runs, which reap
// them by their pid: nothing here waits for any child but a named zombie.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#define KPROC_SWEEP_MS 1000

// A new run number, and in marker (at least 64 bytes) the environment entry
// that names it; in *group the member list of a control group made for the
// run, open for writing, or -1 where there is none. The first call makes the
// calling process a child subreaper.
uint64_t kproc_sys_run_begin(char* marker, size_t size, int* group);
// The run's child could not be started: closes group and removes the
// run's control group.
void kproc_sys_run_abandon(uint64_t run, int group);
// The runner's environment with marker first and any VARDO_RUN entry it had
// left out; one block for free(), null without memory.
char** kproc_sys_environment(const char* marker);
// Held around starting a child and registering it, so that no sweep can see
// the new child before it is known as a run's.
void kproc_sys_runs_lock();
void kproc_sys_runs_unlock();
// Registers the child of a live run (the lock held), moves it into the run's
// control group and closes group. 0 without memory: the caller must then end
// the child itself.
int kproc_sys_run_add(uint64_t run, pid_t pid, int group);
// Reaps the zombies among the adopted children; a long run calls it now and
// then, so that what its program leaves exiting does not pile up.
void kproc_sys_reap();
// The run is no longer live (its child reaped); sweeps what it left.
void kproc_sys_run_end(uint64_t run);

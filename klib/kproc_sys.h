// Platform half of kproc, used only inside klib: starting the child with its
// pipes, refilling the output buffer under the run's bounds, noticing the
// child's exit and ending it. kproc.cpp holds what every platform shares:
// the record's life, the line cutting and the order of the steps.
#pragma once

#include "klib/kproc.h"

// A handle or descriptor that is not held.
constexpr kproc_handle KPROC_NO_HANDLE = -1;

// Closes *h when held and marks it not held.
void kproc_sys_close(kproc_handle* h);
// Starts the child of p->command: with redirect, its output and error on one
// pipe whose reading end goes to out_read and its input at end of file; the
// child's ends may be left in out_write, err_write and in_read for the
// caller to close. Sets pid (and the platform's handles); false when nothing
// could be started.
bool kproc_sys_launch(kproc* p, bool redirect);
// Refills buf; 0 at the end of the output or of the drain after the child's
// exit, on failure, once the time limit ran out (timed_out set) or the
// cancel flag was raised (cancelled set).
int kproc_sys_fill(kproc* p);
// True once the held child has exited (it stays held).
bool kproc_sys_exited(const kproc* p);
// Ends the held child and what it started, and releases it; pid becomes 0.
void kproc_sys_end(kproc* p);

// Splits text in place into arguments (blanks and tabs separate, double quotes
// group and are dropped) and stores up to max pointers in argv, then a null;
// returns their number. An unclosed quote runs to the end of the text.
int kproc_split_args(char* text, char** argv, int max);

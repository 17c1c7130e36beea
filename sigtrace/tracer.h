// SPDX-License-Identifier: ISC
/*
 * sigtrace's kernel side, from the user side: opened, loaded and attached
 * the cheapest way this kernel allows, told which process to trace, and
 * read: its counts and ends, the processes that it traces still, and how
 * each signal for sigtrace itself was sent.
 */
#ifndef TRACER_H
#define TRACER_H

#include <sys/types.h>

#include <vector>

#include "account.h"
#include "sigtrace.h"
#include "sigtrace.skel.h"

namespace sigtrace
{

// How the kernel side sees a signal taken by a call, pending ones thrown
// away, a handler's return and a new mask, which no tracepoint tells.
enum class Watch {
	Functions, // fentry/fexit on the kernel functions that do them
	Calls,	   // sys_enter/sys_exit, on every system call
	Neither,
};

// The kernel side, attached the first way this kernel takes (or the way
// SIGTRACE_WATCH asks), and that way; or a line that says why not, and
// the end.  program is named in the line that says how to trace it.
sigtrace_bpf *load_tracer(const char *program, Watch *watch);
// The process, traced from now on, with all it starts; false, with errno,
// where it cannot be.
bool trace(sigtrace_bpf *skel, pid_t pid);
// The traced processes still alive, by their ids.
std::vector<pid_t> still_traced(sigtrace_bpf *skel);
// The kernel side's counts and ends, given to the model, which no lost
// record can spoil.
void adopt_counts(sigtrace_bpf *skel, Account &account);
// The runs of the kernel side's programs that the kernel skipped.
std::uint64_t skipped_runs(const sigtrace_bpf *skel);
// Whether sig, as it came to us since the last look, missed the program
// (apart: in a process group of its own), and so is for us to pass on.
bool missed(const sigtrace_bpf *skel, int sig, bool apart);

} // namespace sigtrace

#endif

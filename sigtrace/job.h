// SPDX-License-Identifier: ISC
/*
 * sigtrace as its program's job: the signals for the job that come to us
 * passed on to the program only where they missed it, a stop followed by
 * the program's own stop signal, and an end as the program's.
 */
#ifndef JOB_H
#define JOB_H

#include <sys/types.h>

#include <csignal>

#include "tracer.h"

namespace sigtrace
{

// The signals that we catch, blocked but while we wait (waiting()), and
// those that must not stop or end us, ignored.
void catch_signals();
// The mask to wait with, which lets in the signals caught.
const sigset_t &waiting();
// A signal that came to us and missed the program is passed on to it,
// while it is ours.  Reports whether any came.
bool pass_on(pid_t child, const sigtrace_bpf *skel);
// We stop by sig, the signal that stopped the program.
void stop_as(int sig);
// We end as the program ended, by its wait status.
[[noreturn]] void end_as(int status);

} // namespace sigtrace

#endif

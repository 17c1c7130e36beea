// SPDX-License-Identifier: ISC
/*
 * sigtrace as its program's job.  A shell signals and stops the job as a
 * whole, and sees it end as its program ends: we stay for the account
 * while the program takes what it is sent, pass on what missed it, stop
 * as it stops and end as it ends.
 */
#include <sys/resource.h>
#include <sys/wait.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "job.h"

namespace sigtrace
{

namespace
{

// The signals that come to us while the program runs, kept for the loop.
// How each was sent, the kernel side counts.
volatile sig_atomic_t received[NSIG];

void
on_signal(int sig)
{
	received[sig] = 1;
}

void
on_child(int /*sig*/)
{
}

// The signals that may come to us while we wait for records.
sigset_t waiting_mask;

// Whether the program is still ours to signal: once we have waited for
// its end, its pid may be another process's.
bool
still_ours(pid_t child)
{
	siginfo_t info = {};

	return waitid(P_PID, static_cast<id_t>(child), &info,
		      WEXITED | WSTOPPED | WCONTINUED | WNOHANG | WNOWAIT) == 0;
}

} // namespace

// ^C, a hang-up and the like reach the program from the terminal, or
// from kill 0, as they reach us: we stay, to tell what it did.
void
catch_signals()
{
	struct sigaction action = {};

	action.sa_handler = on_signal;
	action.sa_flags = SA_RESTART;
	sigemptyset(&action.sa_mask);
	for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
		sigaction(sig, &action, nullptr);
	// Our lines are not the program's: a terminal that stops writers in
	// the background, a reader that has gone or a file size limit must
	// not stop us.  A failed write is told at the end.
	std::signal(SIGTTOU, SIG_IGN);
	std::signal(SIGPIPE, SIG_IGN);
	std::signal(SIGXFSZ, SIG_IGN);
	// Ctrl-Z stops the program; we follow it, once we have said so.
	std::signal(SIGTSTP, SIG_IGN);
	// The program's stop or end ends the wait for records.
	action.sa_handler = on_child;
	action.sa_flags = 0;
	sigaction(SIGCHLD, &action, nullptr);
	// Each is taken only in that wait, so that none comes between the
	// look at what came and the wait, which has no timeout.
	sigset_t caught;
	sigemptyset(&caught);
	for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD})
		sigaddset(&caught, sig);
	sigprocmask(SIG_BLOCK, &caught, &waiting_mask);
}

const sigset_t &
waiting()
{
	return waiting_mask;
}

bool
pass_on(pid_t child, const sigtrace_bpf *skel)
{
	bool any = false;

	for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
		if (!received[sig])
			continue;
		received[sig] = 0;
		any = true;
		if (missed(skel, sig, getpgid(child) != getpgrp()) &&
		    still_ours(child))
			kill(child, sig);
	}
	return any;
}

// We stop by sig, the signal that stopped the program, so that the shell
// tells the job's stop as it would the program's ("Stopped", "Stopped
// (tty output)").  We ignore SIGTSTP and SIGTTOU for our own reasons, so
// sig takes its default action only while blocked, but for the moment
// that takes the one we send ourselves; as we go on, it is blocked again
// before its action is restored, which throws away any that came since.
// (One sent in the instant after the job goes on, before that, stops us
// again.)  In an orphaned process group the kernel throws ours away, as
// it would the program's, and we go on.
void
stop_as(int sig)
{
	struct sigaction stop = {};
	struct sigaction was;
	sigset_t only;
	sigset_t mask;

	stop.sa_handler = SIG_DFL;
	sigemptyset(&stop.sa_mask);
	sigemptyset(&only);
	sigaddset(&only, sig);
	sigprocmask(SIG_BLOCK, &only, &mask);
	sigaction(sig, &stop, &was);
	kill(getpid(), sig);
	sigprocmask(SIG_UNBLOCK, &only, nullptr); // stopped here
	sigprocmask(SIG_BLOCK, &only, nullptr);
	sigaction(sig, &was, nullptr);
	sigprocmask(SIG_SETMASK, &mask, nullptr);
}

// We end as the program ended: by its signal, without a core of our
// own, which would hold the tracer's memory and could take the place of
// the program's; or with its status.
[[noreturn]] void
end_as(int status)
{
	if (WIFSIGNALED(status)) {
		int sig = WTERMSIG(status);
		rlimit none = {0, 0};
		sigset_t only;
		setrlimit(RLIMIT_CORE, &none);
		std::signal(sig, SIG_DFL);
		sigemptyset(&only);
		sigaddset(&only, sig);
		sigprocmask(SIG_UNBLOCK, &only, nullptr);
		kill(getpid(), sig);
		std::exit(128 + sig);
	}
	std::exit(WEXITSTATUS(status));
}

} // namespace sigtrace

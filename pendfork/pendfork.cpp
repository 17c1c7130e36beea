/*
 * pendfork: a signal that a process sends itself while it is blocked stays
 * pending, and a child made by fork(2) starts with an empty pending set,
 * although it inherits the signal mask and the handler.
 *
 * Copyright (c) 2026 the sigdemos authors
 * SPDX-License-Identifier: ISC
 */

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

/*
 * Installed for SIGUSR1 but never run: SIGUSR1 is blocked before this is
 * installed and stays blocked until both processes end, so puts(3) is
 * never reached in signal context.
 */
static void
kez_signal([[maybe_unused]] int signo)
{
	puts("SIGUSR1 catched!!"); // NOLINT(bugprone-signal-handler)
}

int
main()
{
	sigset_t blocked_set;
	sigset_t pending_set;

	/*
	 * SIG_SETMASK replaces the whole mask: from here on SIGUSR1 is the
	 * only blocked signal, whatever mask we were started with.  A SIGUSR1
	 * from outside before this point still ends the process.
	 */
	sigemptyset(&blocked_set);
	sigaddset(&blocked_set, SIGUSR1);
	sigprocmask(SIG_SETMASK, &blocked_set, nullptr);
	signal(SIGUSR1, kez_signal);

	/* Blocked, so not delivered: SIGUSR1 is now pending in this process. */
	kill(getpid(), SIGUSR1);

	/*
	 * Nothing has been written to stdout yet, so the child gets no copy of
	 * buffered text.  It inherits the mask (SIGUSR1 blocked) and the
	 * handler, but not the pending signal.
	 */
	pid_t pid = fork();
	if (pid < 0) {
		fwrite("fork error\n", 1, 11, stderr);
		exit(1);
	}
	if (pid == 0) {
		sigpending(&pending_set);
		if (sigismember(&pending_set, SIGUSR1))
			printf("child : SIGUSR1 pending");
	} else {
		sigpending(&pending_set);
		if (sigismember(&pending_set, SIGUSR1))
			printf("parent : SIGUSR1 pending");
	}

	/*
	 * Do not report success for text that never arrived (a full disk, a
	 * closed stdout).  The child has nothing buffered, so this cannot
	 * fail there.
	 */
	if (fflush(stdout) == EOF || ferror(stdout)) {
		fwrite("write error\n", 1, 12, stderr);
		return 1;
	}
	return 0;
}

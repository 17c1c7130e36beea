/*
 * alarmloop: a SIGALRM handler that keeps itself going.  Each run prints
 * its number, sends SIGALRM again, sleeps a second and arms a one-second
 * alarm; the fourth run ends the process.
 *
 * Copyright (c) 2026 the sigdemos authors
 * SPDX-License-Identifier: ISC
 */

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int count = 0;

/*
 * Every run is started by the process's own kill(2): the first inside
 * main's call, each later one by the previous run.  For a signal sent that
 * way POSIX lets the handler call printf and exit, which are otherwise not
 * async-signal-safe, and main never touches stdio.
 */
static void
kez_signal_handler([[maybe_unused]] int signo)
{
	// NOLINTNEXTLINE(bugprone-signal-handler): sent by our own kill, see above
	printf("alarm %d\n", count);
	count++;

	/*
	 * SIGALRM is blocked while a run lasts, so this one stays pending and
	 * starts the next run the moment this one returns.
	 */
	kill(getpid(), SIGALRM);
	sleep(1);

	/*
	 * Falls due during the next run's sleep, when SIGALRM is already
	 * pending; a pending signal is not counted twice, so it adds no run.
	 */
	alarm(1);

	if (count > 3) {
		/* Do not report success for text that never arrived. */
		if (fflush(stdout) == EOF || ferror(stdout)) {
			fwrite("write error\n", 1, 12, stderr);
			exit(1); // NOLINT(bugprone-signal-handler)
		}
		exit(0); // NOLINT(bugprone-signal-handler)
	}
}

int
main()
{
	struct sigaction act = {};
	sigset_t alarm_set;

	/* Flags 0: the handler stays installed and SIGALRM is blocked in it. */
	sigemptyset(&act.sa_mask);
	act.sa_flags = 0;
	act.sa_handler = kez_signal_handler;
	sigaction(SIGALRM, &act, nullptr);
	signal(SIGALRM, kez_signal_handler);

	/*
	 * If we were started with SIGALRM blocked, our kill would only leave
	 * it pending and no run would happen.  Unblock it, and only it.
	 */
	sigemptyset(&alarm_set);
	sigaddset(&alarm_set, SIGALRM);
	sigprocmask(SIG_UNBLOCK, &alarm_set, nullptr);

	/* Not blocked: every run of the handler happens before this returns. */
	kill(getpid(), SIGALRM);

	/*
	 * Not reached in a normal run.  A loop with no side effect would be
	 * undefined behaviour, and clang++ deletes it, letting control fall
	 * out of main; the volatile store keeps it a real busy loop.
	 */
	alarm(0);
	volatile unsigned long spins = 0;
	for (;;)
		spins = spins + 1;
}

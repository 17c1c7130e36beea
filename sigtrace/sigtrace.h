/* SPDX-License-Identifier: ISC */
/*
 * What the kernel side of sigtrace tells the user side: one record per
 * event, in the order the kernel reports them.
 *
 * The record is built by a 64-bit BPF program and read by a user side
 * that may be 32-bit, so every field has a fixed size, the 64-bit ones
 * come first and the whole is padded to a multiple of 8 bytes.
 */
#ifndef SIGTRACE_H
#define SIGTRACE_H

#define TASK_COMM_LEN 16

enum event_kind {
	EVENT_EXEC = 1, /* a traced task runs a new program */
	EVENT_FORK,	/* a traced task made a new one */
	EVENT_GENERATE, /* a signal was generated for a traced task */
	EVENT_DELIVER,	/* a traced task takes a signal */
	EVENT_EXIT,	/* a traced task ends */
};

/* How the signal's information came with it (EVENT_GENERATE). */
enum info_kind {
	INFO_NONE = 0,	/* SEND_SIG_NOINFO: raised by the kernel on the
			   task's own behalf, as for SIGPIPE */
	INFO_PRIV = 1,	/* SEND_SIG_PRIV: from the kernel itself */
	INFO_GIVEN = 2, /* a siginfo, whose si_code says who sent it */
};

struct event {
	__u64 time;    /* CLOCK_MONOTONIC, in nanoseconds */
	__u64 handler; /* EVENT_DELIVER: sa_handler */
	__u64 flags;   /* EVENT_DELIVER: sa_flags */
	__u64 pending; /* EVENT_EXIT: the task's and its process's */
	__u64 blocked; /* EVENT_EXIT: the task's mask */
	__u32 kind;    /* enum event_kind */
	__s32 task;    /* the traced task's id */
	__s32 other;   /* EVENT_FORK: the child; EVENT_GENERATE: the
			  task that was running (the sender, when
			  si_code says a process sent it) */
	__s32 sig;
	__s32 code;   /* si_code; EVENT_EXIT: the exit code */
	__s32 result; /* EVENT_GENERATE: what became of it */
	__u32 info;   /* EVENT_GENERATE: enum info_kind */
	__u32 padding;
	char comm[TASK_COMM_LEN]; /* EVENT_EXEC: the program's name;
				   EVENT_GENERATE: the running task's */
};

#endif

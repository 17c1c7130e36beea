/* SPDX-License-Identifier: ISC */
/*
 * What the kernel side of sigtrace tells the user side: one record per
 * event, in the order the kernel reports them, and the counts it keeps
 * per process and signal, which stay exact when records are lost.
 *
 * The record is built by a 64-bit BPF program and read by a user side
 * that may be 32-bit, so every field has a fixed size, the 64-bit ones
 * come first and the whole is padded to a multiple of 8 bytes.
 */
#ifndef SIGTRACE_H
#define SIGTRACE_H

#define TASK_COMM_LEN 16

/* Where a system call's number and first two arguments are still in its
   registers as it returns (x86, arm64), the kernel side watches the
   system calls by their returns alone. */
#if defined(__TARGET_ARCH_x86) || defined(__TARGET_ARCH_arm64) ||              \
    defined(__x86_64__) || defined(__i386__) || defined(__aarch64__)
#define NR_AT_EXIT 1
#endif

/* A signal as a bit of a 64-bit set, and the sets that the kernel treats
   apart: the stop signals (sig_kernel_stop) and those whose default
   action ignores them (sig_kernel_ignore).  The signals' numbers are the
   includer's. */
#define SIGNAL_BIT(sig) (1ULL << ((sig)-1))
#define STOP_SIGNALS                                                           \
	(SIGNAL_BIT(SIGSTOP) | SIGNAL_BIT(SIGTSTP) | SIGNAL_BIT(SIGTTIN) |     \
	 SIGNAL_BIT(SIGTTOU))
#define IGNORED_SIGNALS                                                        \
	(SIGNAL_BIT(SIGCONT) | SIGNAL_BIT(SIGCHLD) | SIGNAL_BIT(SIGWINCH) |    \
	 SIGNAL_BIT(SIGURG))

/* A task's exit code, as the kernel keeps it and wait(2) gives it: the
   signal that ended the task and whether it dumped core, or the status it
   exited with. */
#define EXIT_SIGNAL(code) ((code)&0x7f)
#define EXIT_CORE(code) (((code)&0x80) != 0)
#define EXIT_STATUS(code) (((code) >> 8) & 0xff)

enum event_kind {
	EVENT_EXEC = 1,	 /* a traced task runs a new program */
	EVENT_FORK,	 /* a traced task made a new process or thread */
	EVENT_GENERATE,	 /* a signal was generated for a traced task */
	EVENT_DELIVER,	 /* a traced task takes a signal to its action */
	EVENT_TAKE,	 /* a traced task took a pending signal in a call */
	EVENT_SIGACTION, /* a traced task set a signal's action */
	EVENT_EXIT,	 /* a traced task ends */
	EVENT_RETURN,	 /* a traced task returned from a handler */
	EVENT_MASK,	 /* a traced task set its blocked signals */
	EVENT_WITHDRAW,	 /* a traced task set or deleted a POSIX timer
			    whose signal was pending: from Linux 6.13 the
			    kernel throws that signal away, unseen, when
			    it would be taken, unless the timer expires
			    again first */
};

/* What became of a generated signal (GENERATE's result): the kernel's
   own TRACE_SIGNAL_* codes. */
enum generate_result {
	RESULT_QUEUED = 0,	    /* made pending, its information queued */
	RESULT_IGNORED = 1,	    /* thrown away: its action ignores it */
	RESULT_ALREADY_PENDING = 2, /* merged with the one pending */
	RESULT_OVERFLOW = 3,	    /* lost: the real-time queue was full */
	RESULT_LOSE_INFO = 4,	    /* made pending without its information,
				       the queue being full: it merges with
				       any pending one of the signal, and a
				       lone one comes as from SI_USER */
};

/* How the signal's information came with it (GENERATE, DELIVER). */
enum info_kind {
	INFO_NONE = 0,	/* SEND_SIG_NOINFO: raised by the kernel on the
			   task's own behalf, as for SIGPIPE */
	INFO_PRIV = 1,	/* SEND_SIG_PRIV: from the kernel itself */
	INFO_GIVEN = 2, /* a siginfo, whose si_code says who sent it */
};

/* The call that took a pending signal (EVENT_TAKE's result). */
enum take_call {
	TAKE_SIGTIMEDWAIT = 1, /* rt_sigtimedwait: sigwait, sigwaitinfo,
				  sigtimedwait */
	TAKE_SIGNALFD,	       /* a read of a signalfd */
	TAKE_TRACER,	       /* a ptrace tracer, as its task stopped for it */
};

/* The call that withdrew a timer's signal (EVENT_WITHDRAW's result). */
enum withdraw_call {
	WITHDRAW_SETTIME = 1, /* timer_settime, which sets the timer anew */
	WITHDRAW_DELETE,      /* timer_delete */
};

/* Facts about an event, as bits of its detail. */
enum event_detail {
	DETAIL_GROUP = 1,      /* GENERATE: sent to the whole process;
				  DELIVER, TAKE: taken from its queue */
	DETAIL_ENDING = 2,     /* GENERATE: the process was already ending */
	DETAIL_LAST = 4,       /* EXIT: the last task of its process */
	DETAIL_PRIVILEGED = 8, /* EXEC: the program gained privilege, and
				  the task is traced no more */
	DETAIL_THREAD = 16,    /* FORK: the new task is a thread */
};

struct event {
	__u64 time;	     /* CLOCK_MONOTONIC, in nanoseconds */
	__u64 handler;	     /* DELIVER, SIGACTION: sa_handler */
	__u64 flags;	     /* DELIVER, SIGACTION: sa_flags */
	__u64 pending;	     /* EXIT: the task's and its process's */
	__u64 blocked;	     /* EXIT, EXEC, RETURN, MASK: the task's mask;
				DELIVER: the mask its handler runs with */
	__u64 value;	     /* GENERATE, DELIVER, TAKE: si_value */
	__u64 lost;	     /* events lost on this CPU just before this one */
	__u64 sp;	     /* MASK, RETURN, DELIVER, TAKE, EXIT: the task's
				stack pointer, where it can be read (DELIVER:
				the interrupted code's) */
	__u32 kind;	     /* enum event_kind */
	__u32 detail;	     /* enum event_detail bits */
	__s32 task;	     /* the traced task's id */
	__s32 process;	     /* its process: the id of its first task */
	__s32 other;	     /* FORK: the new task; GENERATE: the task that was
				running (the sender, when si_code says a process
				sent it) */
	__s32 other_process; /* that task's process */
	__s32 sig;
	__s32 code;    /* si_code; EXIT: the exit code; DELIVER of the
			  kernel's own SIGKILL: its process's exit code */
	__s32 result;  /* GENERATE: what became of it; TAKE: take_call;
			  MASK: how (SIG_BLOCK, SIG_UNBLOCK, SIG_SETMASK);
			  WITHDRAW: withdraw_call */
	__u32 info;    /* GENERATE, DELIVER: enum info_kind */
	__s32 overrun; /* DELIVER, TAKE: a POSIX timer's overruns */
	__s32 timer;   /* GENERATE, WITHDRAW: a POSIX timer's id */
	char comm[TASK_COMM_LEN]; /* EXEC: the program's name;
				     GENERATE: the running task's */
};

/* How a signal for sigtrace itself was sent.  The kernel side counts each
   delivered to it, by signal and by this (tracer_got), and the user side
   passes on to the program what did not reach the program as well. */
enum sent_how {
	SENT_OTHERWISE = 0, /* by the kernel or the terminal, or by a process
			       that sigtrace traces */
	SENT_ALONE,	    /* to sigtrace alone, by one it does not trace */
	SENT_GROUP,	    /* by kill() or pidfd_send_signal() to a process
			       group, sigtrace's, by one it does not trace */
	SENT_ALL,	    /* by kill(-1), to every process the sender may
			       signal, by one it does not trace */
	SENT_HOW,	    /* the number of ways */
};

/* The signals counted so: the standard ones, which sigtrace catches. */
#define TRACER_SIGNALS 32

/* Per process and signal, what the kernel did, counted as it happens. */
struct counts_key {
	__s32 process;
	__s32 sig;
};

/* What became of the signals sent, one count each, in this order: the
   user side's tally has the same, by the same names. */
#define SIGTRACE_COUNTS(X)                                                     \
	X(sent)                                                                \
	X(pending)                                                             \
	X(merged)                                                              \
	X(ignored)                                                             \
	X(lost)                                                                \
	X(dropped)                                                             \
	X(delivered)                                                           \
	X(taken)                                                               \
	X(discarded)

struct counts {
#define SIGTRACE_COUNT_FIELD(name) __u64 name;
	SIGTRACE_COUNTS(SIGTRACE_COUNT_FIELD)
#undef SIGTRACE_COUNT_FIELD
	__u64 queued; /* made pending and not yet gone */
	__u64 timers; /* of those, a POSIX timer's, which an exec throws
			 away */
	__u64 parked; /* a POSIX timer's, ignored, which the kernel may
			 queue again once they are not */
	__u64 held;   /* taken by a ptrace tracer, which may give them back:
			 those it never does are taken */
};

/* How each process ended, kept apart from the records for the same
   reason. */
struct end {
	__u64 pending;
	__u64 blocked;
	__s32 code;
	__u32 padding;
};

#endif

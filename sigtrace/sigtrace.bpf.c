/* SPDX-License-Identifier: ISC */
/*
 * The kernel side of sigtrace: from the kernel's own tracepoints, every
 * signal generated for or delivered to a traced task, and every exec,
 * fork and end of one, in one ring buffer, in the order the kernel
 * reports them.  A task is traced when the user side names it, or when a
 * traced task makes it.
 *
 * Where no signal tracepoint tells it (a signal taken by rt_sigtimedwait
 * or a signalfd read, pending signals thrown away by a new action, a
 * handler's return, a new mask), the kernel functions that do it are
 * watched, or else the system calls: these programs are optional, and
 * the user side loads the others alone where neither way can be.
 *
 * The tracepoints are attached through BTF (tp_btf), so no tracefs is
 * needed, and the few kernel fields read are declared here, relocated
 * to the running kernel's layout when the program is loaded (CO-RE).
 */
#include <stdbool.h>

/* The kernel's own types and BPF's constants, which libbpf's headers use. */
#include <linux/bpf.h>
#include <linux/types.h>

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "sigtrace.h"

/* The kernel's special values of a signal's info, which are no pointers. */
#define SEND_SIG_NOINFO 0
#define SEND_SIG_PRIV 1
/* A POSIX timer's si_code. */
#define SI_TIMER (-2)
#define SI_USER 0
#define SI_KERNEL 0x80
#define SI_QUEUE (-1)
#define SI_TKILL (-6)
/* SIGCHLD's si_code for a child stopped for its tracer. */
#define CLD_TRAPPED 4

#define SIGTRAP 5
#define SIGKILL 9
#define SIGCONT 18
#define SIGSTOP 19
#define SIGTSTP 20
#define SIGTTIN 21
#define SIGTTOU 22
#define SIGCHLD 17
#define SIGWINCH 28
#define SIGURG 23
#define SIG_DFL 0
#define SIG_IGN 1
#define SA_NODEFER 0x40000000

/* signal_struct's flags. */
#define SIGNAL_GROUP_EXIT 0x4

#pragma clang attribute push(__attribute__((preserve_access_index)),           \
			     apply_to = record)
typedef struct {
	unsigned long sig[1];
} sigset_t;

struct sigpending {
	sigset_t signal;
};

typedef struct {
	int counter;
} atomic_t;

struct signal_struct {
	atomic_t live;
	struct sigpending shared_pending;
	unsigned int flags;
	int group_exit_code;
};

typedef struct {
	unsigned int val;
} kuid_t;

typedef struct {
	unsigned int val;
} kgid_t;

struct cred {
	kuid_t uid;
	kgid_t gid;
	kuid_t euid;
	kgid_t egid;
	/* 64 bits, as two 32-bit words before Linux 6.3, then as one. */
	struct {
		unsigned long long val;
	} cap_permitted;
};

struct kernel_siginfo;
struct sighand_struct;
struct files_struct;

/* x86's: a task's status bits, TS_COMPAT among them. */
struct thread_info {
	unsigned int status;
};

struct task_struct {
	struct thread_info thread_info;
	int pid;
	int tgid;
	int exit_code;
	struct task_struct *parent; /* its tracer, while it has one */
	sigset_t blocked;
	struct sigpending pending;
	struct signal_struct *signal;
	const struct cred *cred;
	struct kernel_siginfo *last_siginfo; /* while stopped for a tracer */
	struct sighand_struct *sighand;
	struct files_struct *files;
};

union sigval {
	int sival_int;
	void *sival_ptr;
};

union __sifields {
	struct {
		int _tid;
		int _overrun;
		union sigval _sigval;
	} _timer;
	struct {
		int _pid;
		unsigned int _uid;
		union sigval _sigval;
	} _rt;
	struct {
		int _pid;
		unsigned int _uid;
		int _status;
	} _sigchld;
};

struct kernel_siginfo {
	struct {
		int si_signo;
		int si_errno;
		int si_code;
		union __sifields _sifields;
	};
};

struct list_head {
	struct list_head *next;
};

struct sigqueue {
	struct list_head list;
	struct kernel_siginfo info;
};

/* A POSIX timer, from Linux 6.13, when it came to hold its sigqueue and
   the counts below. */
struct k_itimer {
	unsigned int it_signal_seq;
	unsigned int it_sigqueue_seq;
	struct sigqueue sigq;
};

struct sigaction {
	void *sa_handler;
	unsigned long sa_flags;
	sigset_t sa_mask;
};

struct k_sigaction {
	struct sigaction sa;
};
#pragma clang attribute pop

/* Set by the user side before loading: whether a task that gains
   privilege by exec is to be traced no more, as ptrace would stop. */
const volatile __u32 untrace_privilege = 0;

/* The tasks traced, each with the id of its process.  The hash maps are
   filled as they are used, not all at once at the start. */
struct {
	__uint(type, BPF_MAP_TYPE_HASH);
	__uint(map_flags, BPF_F_NO_PREALLOC);
	__uint(max_entries, 16384);
	__type(key, __s32);
	__type(value, __s32);
} traced SEC(".maps");

struct {
	__uint(type, BPF_MAP_TYPE_HASH);
	__uint(map_flags, BPF_F_NO_PREALLOC);
	__uint(max_entries, 16384);
	__type(key, struct counts_key);
	__type(value, struct counts);
} counts SEC(".maps");

struct {
	__uint(type, BPF_MAP_TYPE_HASH);
	__uint(map_flags, BPF_F_NO_PREALLOC);
	__uint(max_entries, 16384);
	__type(key, __s32);
	__type(value, struct end);
} ends SEC(".maps");

/* Where the system calls are watched (below), each traced task's place:
   its call under way, for its end, on machines that keep no number for the
   return (no NR_AT_EXIT); elsewhere, that it is traced.  Kept with the
   task, so that a task that is not traced, having none, costs one look. */
struct call {
	long nr;
	long arg1;
	unsigned long arg2;
};

#define NO_CALL (-2L)

struct {
	__uint(type, BPF_MAP_TYPE_TASK_STORAGE);
	__uint(map_flags, BPF_F_NO_PREALLOC);
	__type(key, int);
	__type(value, struct call);
} calls SEC(".maps");

/* Set by the user side before loading: whether the system calls are
   watched, and so whether a traced task needs a place for its call. */
const volatile __u32 watch_calls = 0;

/* Events lost on each CPU since its last record. */
struct {
	__uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
	__uint(max_entries, 1);
	__type(key, __u32);
	__type(value, __u64);
} gap SEC(".maps");

struct {
	__uint(type, BPF_MAP_TYPE_RINGBUF);
	__uint(max_entries, 4 << 20);
} events SEC(".maps");

/* Each POSIX timer whose signal a traced process was sent (withdraw,
   below), by process and timer: where the signal's information is, and
   whether the signal, still queued, was withdrawn.  The least used make
   room, and an entry left by a process that ended is told by what it
   points to. */
struct timer_key {
	__s32 process;
	__s32 timer;
};

struct timer_signal {
	__u64 info; /* in the timer's own sigqueue */
	__s32 sig;
	__u32 withdrawn;
};

struct {
	__uint(type, BPF_MAP_TYPE_LRU_HASH);
	__uint(max_entries, 4096);
	__type(key, struct timer_key);
	__type(value, struct timer_signal);
} timers SEC(".maps");

/* Read and set by the user side through the skeleton's memory map. */
__u64 lost; /* events that found the ring buffer full */
__s64 live; /* traced tasks that have not yet ended */

/* The first two arguments of a system call, and its number, where they
   are kept on this machine (and on x86, the fourth of a 64-bit call, in
   r10, which a 32-bit kernel has not), and the stack pointer. */
#if defined(__TARGET_ARCH_x86)
struct pt_regs___sigtrace {
	unsigned long bx, cx, di, si, r10, orig_ax, sp;
} __attribute__((preserve_access_index));
#define SP(regs) ((regs)->sp)
#ifdef X86_32 /* 32-bit programs, on a 32- or a 64-bit kernel */
#define ARG1(regs) BPF_CORE_READ(regs, bx)
#define ARG2(regs) BPF_CORE_READ(regs, cx)
#else
#define ARG1(regs) BPF_CORE_READ(regs, di)
#define ARG2(regs) BPF_CORE_READ(regs, si)
#endif
#define NR(regs) ((long)(regs)->orig_ax)
#elif defined(__TARGET_ARCH_arm64)
struct pt_regs___sigtrace {
	unsigned long long regs[31];
	unsigned long long sp;
	unsigned long long orig_x0;
	int syscallno;
} __attribute__((preserve_access_index));
#define SP(regs) ((regs)->sp)
#define ARG1(regs) BPF_CORE_READ(regs, orig_x0)
#define ARG2(regs) BPF_CORE_READ(regs, regs[1])
#define NR(regs) ((long)(regs)->syscallno)
#elif defined(__TARGET_ARCH_arm)
struct pt_regs___sigtrace {
	unsigned long uregs[18];
} __attribute__((preserve_access_index));
#define SP(regs) ((regs)->uregs[13])
#define ARG1(regs) BPF_CORE_READ(regs, uregs[17])
#define ARG2(regs) BPF_CORE_READ(regs, uregs[1])
#elif defined(__TARGET_ARCH_powerpc)
struct pt_regs___sigtrace {
	unsigned long gpr[32];
	unsigned long orig_gpr3;
} __attribute__((preserve_access_index));
#define SP(regs) ((regs)->gpr[1])
#define ARG1(regs) BPF_CORE_READ(regs, orig_gpr3)
#define ARG2(regs) BPF_CORE_READ(regs, gpr[4])
#elif defined(__TARGET_ARCH_s390)
struct pt_regs___sigtrace {
	unsigned long gprs[16];
	unsigned long orig_gpr2;
} __attribute__((preserve_access_index));
#define SP(regs) ((regs)->gprs[15])
#define ARG1(regs) BPF_CORE_READ(regs, orig_gpr2)
#define ARG2(regs) BPF_CORE_READ(regs, gprs[3])
#elif defined(__TARGET_ARCH_riscv)
struct pt_regs___sigtrace {
	unsigned long sp, a1, orig_a0;
} __attribute__((preserve_access_index));
#define SP(regs) ((regs)->sp)
#define ARG1(regs) BPF_CORE_READ(regs, orig_a0)
#define ARG2(regs) BPF_CORE_READ(regs, a1)
#else
struct pt_regs___sigtrace;
#define SP(regs) 0UL
#define ARG1(regs) (-1L)
#define ARG2(regs) 0L
#endif
/* A return's number is read from its registers only where a sigreturn
   leaves -1 there (x86, arm64: NR_AT_EXIT); elsewhere the registers are
   then the interrupted code's, and every return is looked up. */
#ifndef NR_AT_EXIT
#undef NR
#define NR(regs) (-1L)
#endif

/* The running task's own stack pointer, where its registers can be read:
   as it entered the kernel, or was interrupted. */
static __u64
user_sp(void)
{
	if (!bpf_core_enum_value_exists(enum bpf_func_id,
					BPF_FUNC_task_pt_regs))
		return 0;
	return SP((struct pt_regs___sigtrace *)bpf_task_pt_regs(
	    bpf_get_current_task_btf()));
}

static bool
is_traced(__s32 task)
{
	return bpf_map_lookup_elem(&traced, &task) != NULL;
}

static struct event *
new_event(__u32 kind, const struct task_struct *task)
{
	struct event *e = bpf_ringbuf_reserve(&events, sizeof(*e), 0);
	__u32 zero = 0;
	__u64 *missed = bpf_map_lookup_elem(&gap, &zero);

	if (!e) {
		__sync_fetch_and_add(&lost, 1);
		if (missed)
			*missed += 1;
		return NULL;
	}
	__builtin_memset(e, 0, sizeof(*e));
	if (missed) {
		e->lost = *missed;
		*missed = 0;
	}
	/* Taken once the record has its place, so that times rise, as
	   nearly as the clock allows, in the order of the records. */
	e->time = bpf_ktime_get_ns();
	e->kind = kind;
	e->task = task->pid;
	e->process = task->tgid;
	return e;
}

static __noinline struct counts *
counts_of(__s32 process, int sig)
{
	struct counts_key key = {process, sig};
	struct counts *c = bpf_map_lookup_elem(&counts, &key);
	struct counts none = {};

	if (c)
		return c;
	bpf_map_update_elem(&counts, &key, &none, BPF_NOEXIST);
	return bpf_map_lookup_elem(&counts, &key);
}

/* One made-pending signal gone from its queue, counted under what.  Where
   none was known to be queued, it is a POSIX timer's (code) that came
   while ignored, which the kernel kept and queued again once it was not
   (Linux 6.13 and later): made pending after all; or else its generation
   went unseen: it was sent and made pending all the same. */
static void
leaves(struct counts *c, __u64 *what, int code)
{
	__sync_fetch_and_add(what, 1);
	if (c->queued) {
		__sync_fetch_and_add(&c->queued, -1);
		/* A timer's, or one whose code went untold where no more
		   than a timer's were queued. */
		if (c->timers && (code == SI_TIMER || c->timers > c->queued))
			__sync_fetch_and_add(&c->timers, -1);
	} else if (code == SI_TIMER && c->parked && c->ignored) {
		__sync_fetch_and_add(&c->parked, -1);
		__sync_fetch_and_add(&c->ignored, -1);
		__sync_fetch_and_add(&c->pending, 1);
	} else {
		__sync_fetch_and_add(&c->sent, 1);
		__sync_fetch_and_add(&c->pending, 1);
	}
}

/* Every pending one of a signal is thrown away. */
static void
discard_all(__s32 process, int sig)
{
	struct counts *c = counts_of(process, sig);

	if (!c)
		return;
	__sync_fetch_and_add(&c->discarded, c->queued);
	c->queued = 0;
	c->timers = 0;
}

/* A signal set, which is 64 bits whatever the size of a long. */
static __u64
sigset(const sigset_t *set)
{
	__u64 bits = 0;

	bpf_probe_read_kernel(&bits, sizeof(bits), set);
	return bits;
}

static bool
gains_privilege(const struct task_struct *p)
{
	const struct cred *cred = p->cred;
	__u64 caps = 0;

	bpf_probe_read_kernel(&caps, sizeof(caps), &cred->cap_permitted);
	return cred->euid.val != cred->uid.val ||
	       cred->egid.val != cred->gid.val || caps;
}

/*
 * A POSIX timer's signal is the timer's own sigqueue, queued once at most.
 * From Linux 6.13 the kernel counts each setting of a timer
 * (it_signal_seq) and notes the count as it queues the timer's signal
 * (it_sigqueue_seq).  A signal queued before its timer was set anew, or
 * deleted, is thrown away as the task would take it
 * (posixtimer_deliver_signal), where no tracepoint tells it, unless the
 * timer expires again first, which finds it queued (ALREADY_PENDING) and
 * makes it good.  Earlier kernels deliver it.  So the kernel side notes
 * where each timer's signal is as it is queued, and tells its withdrawal
 * as the call that withdrew it returns.
 */
#define TIMERS_WITHDRAW bpf_core_field_exists(struct k_itimer, it_sigqueue_seq)

/* A POSIX timer's signal made pending, or made good again. */
static __noinline void
timer_sent(struct task_struct *task, struct kernel_siginfo *info, int sig,
	   int result)
{
	struct timer_key key = {task->tgid, 0};
	struct timer_signal now = {(unsigned long)info, sig, 0}, *was;
	struct counts *c;

	if (BPF_CORE_READ(info, si_code) != SI_TIMER ||
	    !(c = counts_of(task->tgid, sig)))
		return;
	if (result == RESULT_QUEUED)
		__sync_fetch_and_add(&c->timers, 1);
	if (!TIMERS_WITHDRAW)
		return;
	key.timer = BPF_CORE_READ(info, _sifields._timer._tid);
	if (result == RESULT_QUEUED) {
		bpf_map_update_elem(&timers, &key, &now, BPF_ANY);
		return;
	}
	was = bpf_map_lookup_elem(&timers, &key);
	if (result != RESULT_ALREADY_PENDING || !was || !was->withdrawn)
		return;
	was->withdrawn = 0;
	__sync_fetch_and_add(&c->merged, -1);
	__sync_fetch_and_add(&c->pending, 1);
	__sync_fetch_and_add(&c->queued, 1);
	__sync_fetch_and_add(&c->timers, 1);
}

/* Whether a timer's signal, as noted, is queued still, the timer's still,
   and not yet withdrawn, and so withdrawn now by how. */
static __noinline bool
withdrawn_now(const struct timer_signal *was, int timer, int how)
{
	struct k_itimer *it =
	    (void *)(was->info -
		     bpf_core_field_offset(struct k_itimer, sigq.info));
	unsigned long list = (unsigned long)it +
			     bpf_core_field_offset(struct k_itimer, sigq.list);

	if (was->withdrawn ||
	    (unsigned long)BPF_CORE_READ(it, sigq.list.next) == list ||
	    BPF_CORE_READ(it, sigq.info.si_code) != SI_TIMER ||
	    BPF_CORE_READ(it, sigq.info._sifields._timer._tid) != timer ||
	    BPF_CORE_READ(it, sigq.info.si_signo) != was->sig)
		return false;
	return how == WITHDRAW_DELETE || BPF_CORE_READ(it, it_signal_seq) !=
					     BPF_CORE_READ(it, it_sigqueue_seq);
}

/* A traced task set or deleted a timer (how): its signal, if still
   queued, is withdrawn, counted thrown away and told. */
static __noinline void
withdraw(struct task_struct *current, int timer, int how)
{
	struct timer_key key = {current->tgid, timer};
	struct timer_signal *was = bpf_map_lookup_elem(&timers, &key);
	struct counts *c;
	struct event *e;
	bool gone;
	int sig;

	if (!was)
		return;
	sig = was->sig;
	gone = withdrawn_now(was, timer, how);
	if (how == WITHDRAW_DELETE)
		bpf_map_delete_elem(&timers, &key);
	else if (gone)
		was->withdrawn = 1;
	if (!gone)
		return;
	if ((c = counts_of(current->tgid, sig)))
		leaves(c, &c->discarded, SI_TIMER);
	if (!(e = new_event(EVENT_WITHDRAW, current)))
		return;
	e->sig = sig;
	e->timer = timer;
	e->result = how;
	bpf_ringbuf_submit(e, 0);
}

/*
 * Taking a pending signal without a delivery, throwing pending ones away,
 * a handler's return and a new blocked set have no tracepoint of their
 * own.  rt_sigtimedwait (behind sigwait, sigwaitinfo and sigtimedwait)
 * returns the signal it took; a read of a signalfd copies out each signal
 * it took; a new action that ignores a signal throws away every pending
 * one; a handler returns by rt_sigreturn; a task sets its blocked signals
 * by rt_sigprocmask.  After the last two, the mask is read from the task.
 *
 * Where the kernel has BPF trampolines, the kernel functions that do these
 * are watched as they leave or enter (the programs named after them, here
 * first, for the user side tries them first and the kernel refuses the
 * first where it has none), and only a task that calls one pays anything.
 * Elsewhere the system calls are seen as every task's calls enter and
 * leave (on_call and on_return, last), which every system call on the
 * machine pays for.  The user side loads one way or the other, or neither
 * where neither can be.
 */

/* A signal taken, as the call that took it tells. */
struct took {
	__u64 value;
	int sig, by, code, overrun;
	bool told; /* code, value and overrun are known */
};

static __noinline void
taken(struct task_struct *current, const struct took *t)
{
	struct counts *c = counts_of(current->tgid, t->sig);
	struct event *e;

	if (c)
		leaves(c, &c->taken, t->told ? t->code : 0);
	if (!(e = new_event(EVENT_TAKE, current)))
		return;
	e->sig = t->sig;
	e->sp = user_sp();
	e->result = t->by;
	e->info = t->told ? INFO_GIVEN : INFO_NONE;
	e->code = t->code;
	e->value = t->value;
	e->overrun = t->overrun;
	bpf_ringbuf_submit(e, 0);
}

#pragma clang attribute push(__attribute__((preserve_access_index)),           \
			     apply_to = record)
struct sighand_struct {
	struct k_sigaction action[64];
};
#pragma clang attribute pop

/* What a new action left: each pending signal of the process that the
   action now ignores is thrown away. */
static __noinline void
set_action(struct task_struct *current, int sig)
{
	struct sighand_struct *sighand;
	struct k_sigaction *action;
	unsigned long handler;
	struct event *e;

	if (sig < 1 || sig > 64)
		return;
	/* The array is indexed by the kernel's own size of an action. */
	sighand = BPF_CORE_READ(current, sighand);
	action =
	    (void *)((char *)__builtin_preserve_access_index(&sighand->action) +
		     (sig - 1) * bpf_core_type_size(struct k_sigaction));
	handler = (unsigned long)BPF_CORE_READ(action, sa.sa_handler);
	if (!(handler == SIG_IGN ||
	      (handler == SIG_DFL && (IGNORED_SIGNALS & SIGNAL_BIT(sig)))))
		return;
	discard_all(current->tgid, sig);
	if (!(e = new_event(EVENT_SIGACTION, current)))
		return;
	e->sig = sig;
	e->handler = handler;
	bpf_ringbuf_submit(e, 0);
}

/* The task's mask, as a handler's return or rt_sigprocmask left it, and
   for rt_sigprocmask how it was set. */
static __noinline void
masked(struct task_struct *current, __u32 kind, long how)
{
	struct event *e = new_event(kind, current);

	if (!e)
		return;
	e->result = how;
	e->sp = user_sp();
	e->blocked = sigset(&current->blocked);
	bpf_ringbuf_submit(e, 0);
}

/* What rt_sigtimedwait copied out to the program, where it asked for it
   (uinfo): the code, and a value and a POSIX timer's overruns.  The
   siginfo is laid out as the program's machine lays it out: its union
   follows three ints on a 32-bit machine, four on a 64-bit one. */
#if defined(X86_32) || defined(__TARGET_ARCH_arm)
#define SI_UNION 12
#define SI_VALUE_SIZE 4
#else
#define SI_UNION 16
#define SI_VALUE_SIZE 8
#endif

static void
read_user_info(struct took *t, unsigned long uinfo)
{
	int code = 0, overrun = 0;
	__u64 value = 0;

	if (!uinfo ||
	    bpf_probe_read_user(&code, sizeof(code), (void *)(uinfo + 8)) ||
	    bpf_probe_read_user(&value, SI_VALUE_SIZE,
				(void *)(uinfo + SI_UNION + 8)))
		return;
	if (code == SI_TIMER)
		bpf_probe_read_user(&overrun, sizeof(overrun),
				    (void *)(uinfo + SI_UNION + 4));
	t->code = code;
	t->value = value;
	t->overrun = overrun;
	t->told = true;
}

/* The way by the kernel's functions.  The system calls' own are watched
   as they return, with their arguments as the calls found them: the user
   side names each as this machine's kernel does, as
   __x64_sys_rt_sigtimedwait.  What they call may be inlined into them,
   and is not watched, but for the few things done elsewhere. */

SEC("fexit")
int
BPF_PROG(on_sigtimedwait, const struct pt_regs___sigtrace *regs, long ret)
{
	struct task_struct *current = bpf_get_current_task_btf();
	struct took t = {.sig = ret, .by = TAKE_SIGTIMEDWAIT};

	if (ret > 0 && ret <= 64 && is_traced(current->pid)) {
		read_user_info(&t, ARG2(regs));
		taken(current, &t);
	}
	return 0;
}

SEC("fexit")
int
BPF_PROG(on_sigaction, const struct pt_regs___sigtrace *regs, long ret)
{
	struct task_struct *current = bpf_get_current_task_btf();

	if (ret == 0 && ARG2(regs) && is_traced(current->pid))
		set_action(current, ARG1(regs));
	return 0;
}

SEC("fexit")
int
BPF_PROG(on_sigprocmask, const struct pt_regs___sigtrace *regs, long ret)
{
	struct task_struct *current = bpf_get_current_task_btf();

	if (ret == 0 && ARG2(regs) && is_traced(current->pid))
		masked(current, EVENT_MASK, ARG1(regs));
	return 0;
}

SEC("fexit")
int
BPF_PROG(on_timer_settime, const struct pt_regs___sigtrace *regs, long ret)
{
	struct task_struct *current = bpf_get_current_task_btf();

	if (TIMERS_WITHDRAW && ret == 0 && is_traced(current->pid))
		withdraw(current, ARG1(regs), WITHDRAW_SETTIME);
	return 0;
}

SEC("fexit")
int
BPF_PROG(on_timer_delete, const struct pt_regs___sigtrace *regs, long ret)
{
	struct task_struct *current = bpf_get_current_task_btf();

	if (TIMERS_WITHDRAW && ret == 0 && is_traced(current->pid))
		withdraw(current, ARG1(regs), WITHDRAW_DELETE);
	return 0;
}

/* Once for each signal that a read of a signalfd took, with its
   information, as the read copies it out.  (Its first parameter, not read
   here, is a buffer before Linux 6.8 and an iterator since.) */
SEC("fentry/signalfd_copyinfo")
int
BPF_PROG(on_signalfd_copyinfo, const void *to, struct kernel_siginfo *info)
{
	struct task_struct *current = bpf_get_current_task_btf();
	struct took t = {.by = TAKE_SIGNALFD, .told = true};

	if (!is_traced(current->pid))
		return 0;
	t.sig = BPF_CORE_READ(info, si_signo);
	t.code = BPF_CORE_READ(info, si_code);
	bpf_probe_read_kernel(&t.value,
			      bpf_core_field_size(info->_sifields._rt._sigval),
			      &info->_sifields._rt._sigval);
	if (t.code == SI_TIMER)
		t.overrun = BPF_CORE_READ(info, _sifields._timer._overrun);
	taken(current, &t);
	return 0;
}

/* rt_sigreturn, the architecture's own, restores the handler's alternate
   stack last, once the mask is back, by a function of the kernel's that
   nothing else calls. */
SEC("fexit/restore_altstack")
int
BPF_PROG(on_restore_altstack, const void *stack, int ret)
{
	struct task_struct *current = bpf_get_current_task_btf();

	if (is_traced(current->pid))
		masked(current, EVENT_RETURN, -1);
	return 0;
}

/* A traced task's place for its calls, where they are watched. */
static void
watch(struct task_struct *task)
{
	struct call none = {.nr = NO_CALL};

	if (watch_calls)
		bpf_task_storage_get(&calls, task, &none,
				     BPF_LOCAL_STORAGE_GET_F_CREATE);
}

static void
unwatch(struct task_struct *task)
{
	if (watch_calls)
		bpf_task_storage_delete(&calls, task);
}

/* An exec throws away every POSIX timer's signal still queued
   (flush_itimer_signals): of each signal, given as its index from 0, of
   the process given. */
static long
flush_timers(__u32 index, void *process)
{
	struct counts_key key = {*(__s32 *)process, index + 1};
	struct counts *c = bpf_map_lookup_elem(&counts, &key);
	__u64 gone;

	if (c && (gone = c->timers < c->queued ? c->timers : c->queued)) {
		__sync_fetch_and_add(&c->discarded, gone);
		__sync_fetch_and_add(&c->queued, -gone);
	}
	if (c)
		c->timers = 0;
	return 0;
}

SEC("tp_btf/sched_process_exec")
int
BPF_PROG(on_exec, struct task_struct *p)
{
	__s32 task = p->pid, process = p->tgid;
	bool privileged;
	struct event *e;

	if (!is_traced(task))
		return 0;
	/* bpf_loop has the verifier check its function once (Linux 5.17). */
	if (bpf_core_enum_value_exists(enum bpf_func_id, BPF_FUNC_loop))
		bpf_loop(64, flush_timers, &process, 0);
	privileged = untrace_privilege && gains_privilege(p);
	if ((e = new_event(EVENT_EXEC, p))) {
		bpf_get_current_comm(e->comm, sizeof(e->comm));
		e->detail = privileged ? DETAIL_PRIVILEGED : 0;
		e->blocked = sigset(&p->blocked);
		bpf_ringbuf_submit(e, 0);
	}
	if (!privileged)
		watch(p);
	else if (bpf_map_delete_elem(&traced, &task) == 0) {
		unwatch(p);
		__sync_fetch_and_add(&live, -1);
	}
	return 0;
}

SEC("tp_btf/sched_process_fork")
int
BPF_PROG(on_fork, struct task_struct *parent, struct task_struct *child)
{
	__s32 task = child->pid, process = child->tgid;
	struct event *e;

	if (!is_traced(parent->pid))
		return 0;
	/* A task that does not fit is not traced, and is not waited for. */
	if (bpf_map_update_elem(&traced, &task, &process, BPF_NOEXIST))
		return 0;
	__sync_fetch_and_add(&live, 1);
	watch(child);
	if (!(e = new_event(EVENT_FORK, parent)))
		return 0;
	e->other = task;
	e->other_process = process;
	e->detail = process == parent->tgid ? DETAIL_THREAD : 0;
	bpf_ringbuf_submit(e, 0);
	return 0;
}

/*
 * A signal's information as signal_generate and signal_deliver give it,
 * which may be the kernel's special value SEND_SIG_NOINFO (0) or
 * SEND_SIG_PRIV (1) rather than a pointer.  Some verifiers (Debian's
 * Linux 6.18.15) seem to take the argument for a pointer that is never
 * 0, and to drop the test for 0 from the program; read as the number it
 * is, it keeps its tests.
 */
static struct kernel_siginfo *
info_arg(const unsigned long long *ctx)
{
	struct kernel_siginfo *info = NULL;

	bpf_probe_read_kernel(&info, sizeof(info), &ctx[1]);
	return info;
}

/* What the signal's information says, where it has any. */
static void
read_info(struct event *e, struct kernel_siginfo *info)
{
	unsigned long special = (unsigned long)info;

	if (special == SEND_SIG_NOINFO) {
		e->info = INFO_NONE;
		e->code = SI_USER;
	} else if (special == SEND_SIG_PRIV) {
		e->info = INFO_PRIV;
		e->code = SI_KERNEL;
	} else {
		e->info = INFO_GIVEN;
		e->code = BPF_CORE_READ(info, si_code);
		bpf_probe_read_kernel(
		    &e->value, bpf_core_field_size(info->_sifields._rt._sigval),
		    &info->_sifields._rt._sigval);
		if (e->code == SI_TIMER) {
			e->timer = BPF_CORE_READ(info, _sifields._timer._tid);
			e->overrun =
			    BPF_CORE_READ(info, _sifields._timer._overrun);
		}
	}
}

/*
 * The signals for sigtrace itself.  It passes on to the program a SIGINT,
 * say, sent to it alone, as kill sigtrace's pid sends it, but not one sent
 * to its process group or to every process, which has reached the program
 * too: passed on, it would reach it twice.  No tracepoint says how a
 * signal was sent, but its sender is still in its kill(), with the pid it
 * gave in its registers (or in pidfd_send_signal(), with its flags).
 * Each signal made pending for sigtrace is noted with how it was sent,
 * and counted so as it is delivered, for the user side.
 */

/* sigtrace's own process, set by the user side before loading. */
const volatile __s32 tracer = 0;

__u32 tracer_pending[TRACER_SIGNALS];
__u64 tracer_got[TRACER_SIGNALS][SENT_HOW];

/* The registers a system call entered with, where the kernel keeps them
   so.  On x86, the number in orig_ax and the arguments in di, si, dx, r10,
   or for a 32-bit program's call (TS_COMPAT), and any on a 32-bit kernel,
   in bx, cx, dx, si.  On arm64, the number in syscallno and the arguments
   in orig_x0 and x1 on, for 64- and 32-bit programs alike.  On the other
   machines the number of the call under way cannot be read so, and each
   signal from a process that sigtrace does not trace is passed on, as
   sent to sigtrace alone. */
#define TS_COMPAT 0x0002
#define X32_SYSCALL_BIT 0x40000000

/* kill()'s numbers, and pidfd_send_signal()'s, the same on every machine.
   On arm64, kill()'s for a 32-bit program is a call that sends no signal
   for a 64-bit one, and the other way round. */
#define NR_KILL_X86_64 62
#define NR_KILL_I386 37
#define NR_KILL_ARM64 129
#define NR_KILL_ARM 37
#define NR_PIDFD_SEND_SIGNAL 424
#define PIDFD_SIGNAL_PROCESS_GROUP 4

/* What a kill() given pid was sent to (unused on a machine whose
   registers are not read). */
static __u32 __attribute__((unused)) by_pid(int pid)
{
	return pid == -1 ? SENT_ALL : pid <= 0 ? SENT_GROUP : SENT_ALONE;
}

#if defined(__TARGET_ARCH_x86)
static __u32
sent_by_regs(struct task_struct *sender, struct pt_regs___sigtrace *regs)
{
	int nr = (int)BPF_CORE_READ(regs, orig_ax);
	bool narrow = !bpf_core_field_exists(struct pt_regs___sigtrace, r10);

	if (!narrow && !(nr & X32_SYSCALL_BIT) &&
	    bpf_core_field_exists(sender->thread_info.status))
		narrow = BPF_CORE_READ(sender, thread_info.status) & TS_COMPAT;
	nr &= ~X32_SYSCALL_BIT;
	if (nr == (narrow ? NR_KILL_I386 : NR_KILL_X86_64))
		return by_pid(narrow ? (int)BPF_CORE_READ(regs, bx)
				     : (int)BPF_CORE_READ(regs, di));
	if (nr == NR_PIDFD_SEND_SIGNAL &&
	    ((narrow ? BPF_CORE_READ(regs, si) : BPF_CORE_READ(regs, r10)) &
	     PIDFD_SIGNAL_PROCESS_GROUP))
		return SENT_GROUP;
	return SENT_ALONE;
}

#elif defined(__TARGET_ARCH_arm64)
static __u32
sent_by_regs(struct task_struct *sender, struct pt_regs___sigtrace *regs)
{
	int nr = BPF_CORE_READ(regs, syscallno);

	if (nr == NR_KILL_ARM64 || nr == NR_KILL_ARM)
		return by_pid((int)BPF_CORE_READ(regs, orig_x0));
	if (nr == NR_PIDFD_SEND_SIGNAL &&
	    (BPF_CORE_READ(regs, regs[3]) & PIDFD_SIGNAL_PROCESS_GROUP))
		return SENT_GROUP;
	return SENT_ALONE;
}
#else
static __u32
sent_by_regs(struct task_struct *sender, struct pt_regs___sigtrace *regs)
{
	return SENT_ALONE;
}
#endif

/* What the sender's kill() or pidfd_send_signal() under way was sent to,
   where its registers can be read. */
static __u32
sent_by_call(struct task_struct *sender)
{
	if (!bpf_core_enum_value_exists(enum bpf_func_id,
					BPF_FUNC_task_pt_regs))
		return SENT_ALONE;
	return sent_by_regs(
	    sender, (struct pt_regs___sigtrace *)bpf_task_pt_regs(sender));
}

/* How the running task sent a signal for sigtrace (enum sent_how). */
static __u32
sent_how(struct kernel_siginfo *info)
{
	struct task_struct *sender = bpf_get_current_task_btf();
	unsigned long special = (unsigned long)info;
	int code;

	if (special == SEND_SIG_PRIV || is_traced(sender->pid))
		return SENT_OTHERWISE;
	/* Raised by the kernel on the running task's behalf, it comes as sent
	   by it, to sigtrace alone. */
	if (special == SEND_SIG_NOINFO)
		return SENT_ALONE;
	code = BPF_CORE_READ(info, si_code);
	if (code == SI_QUEUE || code == SI_TKILL)
		return SENT_ALONE;
	if (code != SI_USER)
		return SENT_OTHERWISE;
	return sent_by_call(sender);
}

/* A signal for sigtrace, made pending, noted with how it was sent.  One
   that merges with it is one signal with it, as the two would have been
   had both been sent to the program: if that one reached the program (it
   went to a process group, or to every process), so did the one pending. */
static void
to_tracer(int sig, struct kernel_siginfo *info, int result)
{
	__u32 how, *pending;

	if (sig <= 0 || sig >= TRACER_SIGNALS ||
	    (result != RESULT_QUEUED && result != RESULT_LOSE_INFO &&
	     result != RESULT_ALREADY_PENDING))
		return;
	how = sent_how(info);
	/* The verifier loses the bound over the call: the mask keeps it. */
	pending = &tracer_pending[sig & (TRACER_SIGNALS - 1)];
	if (result != RESULT_ALREADY_PENDING)
		*pending = how;
	else if (*pending != SENT_OTHERWISE && how > *pending)
		*pending = how;
}

/* A signal for sigtrace delivered, counted by how it was sent.  This and
   to_tracer both run under sigtrace's lock of its signals. */
static void
tracer_takes(int sig)
{
	__u32 how;

	if (sig <= 0 || sig >= TRACER_SIGNALS)
		return;
	sig &= TRACER_SIGNALS - 1;
	how = tracer_pending[sig];
	tracer_pending[sig] = SENT_OTHERWISE;
	if (how < SENT_HOW)
		__sync_fetch_and_add(&tracer_got[sig][how], 1);
}

/*
 * A task that a ptrace tracer traces stops as it takes a signal from its
 * queue, and the signal is its tracer's to give back, to change or to
 * keep (ptrace_signal).  The stop's SIGCHLD to the tracer, sent by the
 * stopped task, names the signal it took (CLD_TRAPPED, si_status); its
 * information is where the task keeps it while stopped.  Held so, it is
 * counted delivered when the task is given it back, and taken, by the
 * user side, where it never is.  A SIGTRAP is left alone: the tracer's
 * own stops, at a system call or an exec, name SIGTRAP as well.  A
 * tracer that ignores SIGCHLD, or asks not to hear of stops, is sent
 * none, and sigtrace sees nothing.
 *
 * on_generate asks only where little is left for it to do: a test of the
 * signal before its other tests would have the verifier check all that
 * follows twice, and sigtrace start the slower for it.
 */
static __noinline void
trapped(struct task_struct *current, struct kernel_siginfo *info,
	struct task_struct *to)
{
	struct kernel_siginfo *kept = BPF_CORE_READ(current, last_siginfo);
	struct counts *c;
	struct event *e;
	int sig;

	if ((unsigned long)info <= SEND_SIG_PRIV ||
	    BPF_CORE_READ(info, si_code) != CLD_TRAPPED ||
	    to != current->parent || !is_traced(current->pid))
		return;
	sig = BPF_CORE_READ(info, _sifields._sigchld._status);
	if (sig <= 0 || sig > 64 || sig == SIGTRAP)
		return;
	if ((c = counts_of(current->tgid, sig)))
		leaves(c, &c->held,
		       (unsigned long)kept > SEND_SIG_PRIV
			   ? BPF_CORE_READ(kept, si_code)
			   : 0);
	if (!(e = new_event(EVENT_TAKE, current)))
		return;
	e->sig = sig;
	e->result = TAKE_TRACER;
	read_info(e, kept);
	bpf_ringbuf_submit(e, 0);
}

/*
 * A timer's signal is generated in interrupt context, under whatever task
 * was running: the target is the task given, and the running task is the
 * sender only when the signal's code says that a process sent it.
 */
SEC("tp_btf/signal_generate")
int
BPF_PROG(on_generate, int sig, struct kernel_siginfo *given,
	 struct task_struct *task, int group, int result)
{
	struct kernel_siginfo *info = info_arg(ctx);
	struct task_struct *current;
	bool told = false; /* the signal's code, in its record */
	int code = 0;
	bool ending = false;
	struct counts *c;
	struct event *e;

	if (task->tgid == tracer) {
		to_tracer(sig, info, result);
		return 0;
	}
	current = bpf_get_current_task_btf();
	if (!is_traced(task->pid)) {
		/* A tracer that sigtrace does not trace, told of a stop. */
		if (sig == SIGCHLD)
			trapped(current, info, task);
		return 0;
	}
	/* A process already ending drops what comes (prepare_signal). */
	if (result == RESULT_IGNORED &&
	    (task->signal->flags & SIGNAL_GROUP_EXIT))
		ending = true;
	if ((c = counts_of(task->tgid, sig))) {
		__sync_fetch_and_add(&c->sent, 1);
		if (ending)
			__sync_fetch_and_add(&c->dropped, 1);
		else if (result == RESULT_QUEUED ||
			 (result == RESULT_LOSE_INFO && !c->queued)) {
			__sync_fetch_and_add(&c->pending, 1);
			__sync_fetch_and_add(&c->queued, 1);
		} else if (result == RESULT_IGNORED) {
			__sync_fetch_and_add(&c->ignored, 1);
			if ((unsigned long)info > SEND_SIG_PRIV &&
			    BPF_CORE_READ(info, si_code) == SI_TIMER)
				__sync_fetch_and_add(&c->parked, 1);
		} else if (result == RESULT_ALREADY_PENDING ||
			   result == RESULT_LOSE_INFO)
			__sync_fetch_and_add(&c->merged, 1);
		else if (result == RESULT_OVERFLOW)
			__sync_fetch_and_add(&c->lost, 1);
	}
	/* SIGCONT throws away every pending stop signal, and a stop
	   signal every pending SIGCONT, whatever becomes of it. */
	if (!ending && sig == SIGCONT) {
		discard_all(task->tgid, SIGSTOP);
		discard_all(task->tgid, SIGTSTP);
		discard_all(task->tgid, SIGTTIN);
		discard_all(task->tgid, SIGTTOU);
	} else if (!ending && (STOP_SIGNALS & SIGNAL_BIT(sig)))
		discard_all(task->tgid, SIGCONT);

	if ((e = new_event(EVENT_GENERATE, task))) {
		e->sig = sig;
		e->result = result;
		e->detail =
		    (group ? DETAIL_GROUP : 0) | (ending ? DETAIL_ENDING : 0);
		e->other = current->pid;
		e->other_process = current->tgid;
		bpf_get_current_comm(e->comm, sizeof(e->comm));
		read_info(e, info);
		told = true;
		code = e->code;
		bpf_ringbuf_submit(e, 0);
	}
	if (sig == SIGCHLD)
		trapped(current, info, task);
	/* A timer's, as its record says, or where there is none, may be. */
	else if (!ending && (told ? code == SI_TIMER
				  : (unsigned long)info > SEND_SIG_PRIV))
		timer_sent(task, info, sig, result);
	return 0;
}

SEC("tp_btf/signal_deliver")
int
BPF_PROG(on_deliver, int sig, struct kernel_siginfo *given,
	 struct k_sigaction *ka)
{
	struct kernel_siginfo *info = info_arg(ctx);
	struct task_struct *current = bpf_get_current_task_btf();
	struct counts *c;
	struct event *e;
	int code = 0;

	if (current->tgid == tracer) {
		tracer_takes(sig);
		return 0;
	}
	if (!is_traced(current->pid))
		return 0;
	if (sig == SIGKILL && (unsigned long)info == SEND_SIG_NOINFO) {
		/* The kernel ends the process: the signal that ends it is
		   delivered to its default action, once. */
		code = current->signal->group_exit_code;
		if (EXIT_SIGNAL(code) &&
		    (c = counts_of(current->tgid, EXIT_SIGNAL(code))) &&
		    c->queued)
			leaves(c, &c->delivered, 0);
	} else if ((c = counts_of(current->tgid, sig))) {
		/* One its tracer held, given back. */
		if (c->held) {
			__sync_fetch_and_add(&c->held, -1);
			__sync_fetch_and_add(&c->delivered, 1);
		} else
			leaves(c, &c->delivered,
			       (unsigned long)info > SEND_SIG_PRIV
				   ? BPF_CORE_READ(info, si_code)
				   : 0);
	}

	if (!(e = new_event(EVENT_DELIVER, current)))
		return 0;
	e->sig = sig;
	e->sp = user_sp();
	read_info(e, info);
	if (sig == SIGKILL && e->info == INFO_NONE)
		e->code = code;
	e->handler = (unsigned long)ka->sa.sa_handler;
	e->flags = ka->sa.sa_flags;
	/* The tracepoint comes before the handler's frame is set up; the
	   mask it will run with is made as signal_delivered makes it. */
	e->blocked = sigset(&current->blocked) | sigset(&ka->sa.sa_mask);
	if (!(e->flags & SA_NODEFER) && sig >= 1 && sig <= 64)
		e->blocked |= 1ULL << (sig - 1);
	bpf_ringbuf_submit(e, 0);
	return 0;
}

/* What is still pending, and what is blocked, as the task ends. */
SEC("tp_btf/sched_process_exit")
int
BPF_PROG(on_exit, struct task_struct *p)
{
	__s32 task = p->pid, process = p->tgid;
	bool last = p->signal->live.counter == 0;
	struct end end = {};
	struct event *e;

	if (!is_traced(task))
		return 0;
	end.code = p->exit_code;
	end.pending = sigset(&p->pending.signal) |
		      sigset(&p->signal->shared_pending.signal);
	end.blocked = sigset(&p->blocked);
	if (last)
		bpf_map_update_elem(&ends, &process, &end, BPF_ANY);
	if ((e = new_event(EVENT_EXIT, p))) {
		e->code = end.code;
		e->sp = user_sp();
		e->pending = end.pending;
		e->blocked = end.blocked;
		e->detail = last ? DETAIL_LAST : 0;
		bpf_ringbuf_submit(e, 0);
	}
	bpf_map_delete_elem(&traced, &task);
	unwatch(p);
	/* Last, so that the user side, seeing none live, has every event. */
	__sync_fetch_and_add(&live, -1);
	return 0;
}

/* The way by the system calls.  Every call of every task on the machine
   passes through on_return, and on machines that keep no number for the
   return (no NR_AT_EXIT), through on_call too: each first tests the call's
   number against the watched ones, then looks for the task's own state,
   which only a traced task has. */

/* The watched calls, as bits of their numbers here, 64 bits to a word,
   set by the user side. */
#define WATCHED_WORDS 8
const volatile __u64 watched[WATCHED_WORDS] = {};

/* 64 bits, as the user side sets them, whatever its size of a long. */
const volatile __s64 nr_read = -1, nr_rt_sigaction = -1,
		     nr_rt_sigtimedwait = -1, nr_rt_sigreturn = -1,
		     nr_sigreturn = -1, nr_rt_sigprocmask = -1,
		     nr_timer_settime = -1, nr_timer_settime64 = -1,
		     nr_timer_delete = -1;

static bool
is_watched(long nr)
{
	return nr >= 0 && nr < WATCHED_WORDS * 64 &&
	       (watched[nr / 64] >> (nr % 64) & 1);
}

#pragma clang attribute push(__attribute__((preserve_access_index)),           \
			     apply_to = record)
struct qstr {
	const unsigned char *name;
};

struct dentry {
	struct qstr d_name;
};

struct path {
	struct dentry *dentry;
};

struct file {
	struct path f_path;
};

struct fdtable {
	unsigned int max_fds;
	struct file **fd;
};

struct files_struct {
	struct fdtable *fdt;
};
#pragma clang attribute pop

/* Whether the file behind a descriptor is a signalfd. */
static bool
is_signalfd(long fd)
{
	struct task_struct *current = bpf_get_current_task_btf();
	struct fdtable *fdt = BPF_CORE_READ(current, files, fdt);
	struct file *file = NULL;
	static const char signalfd[] = "[signalfd]";
	char name[sizeof(signalfd)] = {};

	if (fd < 0 || fd >= BPF_CORE_READ(fdt, max_fds))
		return false;
	bpf_probe_read_kernel(&file, sizeof(file), BPF_CORE_READ(fdt, fd) + fd);
	if (!file)
		return false;
	bpf_probe_read_kernel_str(
	    name, sizeof(name),
	    BPF_CORE_READ(file, f_path.dentry, d_name.name));
	for (unsigned int i = 0; i < sizeof(name); i++)
		if (name[i] != signalfd[i])
			return false;
	return true;
}

/* Where the number is not kept for the return, the call is noted as it
   enters. */
SEC("tp_btf/sys_enter")
int
BPF_PROG(on_call, struct pt_regs___sigtrace *regs, long nr)
{
	struct call *call;
	long fd;

	if (!is_watched(nr) ||
	    !(call = bpf_task_storage_get(&calls, bpf_get_current_task_btf(),
					  NULL, 0)))
		return 0;
	fd = ARG1(regs);
	if (nr == nr_read && !is_signalfd(fd))
		return 0;
	call->nr = nr;
	call->arg1 = fd;
	call->arg2 = ARG2(regs);
	return 0;
}

/* The records of a signalfd read: struct signalfd_siginfo, 128 bytes. */
#define SSI_SIZE 128
#define SSI_MOST 8

/* The buffer and the length of a signalfd read. */
struct read {
	unsigned long buffer;
	long size;
};

/* The record at index of a read, if the read holds it: 1 where not. */
static long
read_ssi(__u32 index, void *of)
{
	const struct read *r = of;
	struct {
		__u32 signo;
		__s32 errno_;
		__s32 code;
		__u32 pid, uid;
		__s32 fd;
		__u32 tid, band, overrun, trapno;
		__s32 status, int_;
		__u64 ptr;
	} ssi = {};

	if ((index + 1) * SSI_SIZE > r->size)
		return 1;
	bpf_probe_read_user(&ssi, sizeof(ssi),
			    (void *)(r->buffer + index * SSI_SIZE));
	struct took t = {ssi.ptr,  ssi.signo,	TAKE_SIGNALFD,
			 ssi.code, ssi.overrun, true};

	taken(bpf_get_current_task_btf(), &t);
	return 0;
}

/* Each record of a read, by bpf_loop, whose function the verifier checks
   once (Linux 5.17), or else by a loop it checks through. */
static __noinline void
read_signalfd(unsigned long buffer, long size)
{
	struct read r = {buffer, size};

	if (bpf_core_enum_value_exists(enum bpf_func_id, BPF_FUNC_loop)) {
		bpf_loop(SSI_MOST, read_ssi, &r, 0);
		return;
	}
#pragma clang loop unroll(disable)
	for (int i = 0; i < SSI_MOST; i++)
		if (read_ssi(i, &r))
			break;
}

SEC("tp_btf/sys_exit")
int
BPF_PROG(on_return, struct pt_regs___sigtrace *regs, long ret)
{
	long nr = NR(regs);
	struct task_struct *current;
	struct call *call;
#ifdef NR_AT_EXIT
	struct call here;
#endif

	/* A sigreturn leaves -1 as the number, where it is kept. */
	if (nr != -1 && !is_watched(nr))
		return 0;
	current = bpf_get_current_task_btf();
	if (!(call = bpf_task_storage_get(&calls, current, NULL, 0)))
		return 0;
#ifdef NR_AT_EXIT
	/* The arguments are still where the call found them. */
	here.nr = nr == -1 ? nr_rt_sigreturn : nr;
	here.arg1 = ARG1(regs);
	here.arg2 = ARG2(regs);
	if (here.nr == nr_read && !is_signalfd(here.arg1))
		return 0;
	call = &here;
#else
	if (call->nr == NO_CALL)
		return 0;
#endif
	if (call->nr == nr_rt_sigtimedwait && ret > 0) {
		struct took t = {.sig = ret, .by = TAKE_SIGTIMEDWAIT};

		read_user_info(&t, call->arg2);
		taken(current, &t);
	} else if (call->nr == nr_read && ret >= SSI_SIZE)
		read_signalfd(call->arg2, ret);
	else if (call->nr == nr_rt_sigaction && ret == 0 && call->arg2)
		set_action(current, call->arg1);
	else if (call->nr == nr_rt_sigreturn || call->nr == nr_sigreturn)
		masked(current, EVENT_RETURN, -1);
	else if (call->nr == nr_rt_sigprocmask && ret == 0 && call->arg2)
		masked(current, EVENT_MASK, call->arg1);
	else if (TIMERS_WITHDRAW && ret == 0 &&
		 (call->nr == nr_timer_settime ||
		  call->nr == nr_timer_settime64 ||
		  call->nr == nr_timer_delete))
		withdraw(current, call->arg1,
			 call->nr == nr_timer_delete ? WITHDRAW_DELETE
						     : WITHDRAW_SETTIME);
	call->nr = NO_CALL;
	return 0;
}

/*
 * The kernel lets only programs under a GPL-compatible licence use BTF
 * tracepoints and the helpers above, and knows such licences by a short
 * list of names that ISC is not on.  ISC permits distribution under the
 * GPL, so the object is offered as "Dual BSD/GPL", the name the kernel
 * knows for permissive code.
 */
char LICENSE[] SEC("license") = "Dual BSD/GPL";

/* SPDX-License-Identifier: ISC */
/*
 * The kernel side of sigtrace: from the kernel's own tracepoints, every
 * signal generated for or delivered to a traced task, and every exec,
 * fork and end of one, in one ring buffer, in the order the kernel
 * reports them.  A task is traced when the user side names it, or when a
 * traced task forks it.
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
#define SI_USER 0
#define SI_KERNEL 0x80

#pragma clang attribute push(__attribute__((preserve_access_index)),           \
			     apply_to = record)
typedef struct {
	unsigned long sig[1];
} sigset_t;

struct sigpending {
	sigset_t signal;
};

struct signal_struct {
	struct sigpending shared_pending;
};

struct task_struct {
	int pid;
	int exit_code;
	sigset_t blocked;
	struct sigpending pending;
	struct signal_struct *signal;
};

struct kernel_siginfo {
	struct {
		int si_signo;
		int si_errno;
		int si_code;
	};
};

struct sigaction {
	void *sa_handler;
	unsigned long sa_flags;
};

struct k_sigaction {
	struct sigaction sa;
};
#pragma clang attribute pop

/* The tasks traced; the value is unused. */
struct {
	__uint(type, BPF_MAP_TYPE_HASH);
	__uint(max_entries, 16384);
	__type(key, __s32);
	__type(value, __u8);
} traced SEC(".maps");

struct {
	__uint(type, BPF_MAP_TYPE_RINGBUF);
	__uint(max_entries, 4 << 20);
} events SEC(".maps");

/* Read and set by the user side through the skeleton's memory map. */
__u64 lost; /* events that found the ring buffer full */
__s64 live; /* traced tasks that have not yet ended */

static bool
is_traced(__s32 task)
{
	return bpf_map_lookup_elem(&traced, &task) != NULL;
}

static struct event *
new_event(__u32 kind, __s32 task)
{
	struct event *e = bpf_ringbuf_reserve(&events, sizeof(*e), 0);

	if (!e) {
		__sync_fetch_and_add(&lost, 1);
		return NULL;
	}
	__builtin_memset(e, 0, sizeof(*e));
	/* Taken once the record has its place, so that times rise, as
	   nearly as the clock allows, in the order of the records. */
	e->time = bpf_ktime_get_ns();
	e->kind = kind;
	e->task = task;
	return e;
}

/* A signal set, which is 64 bits whatever the size of a long. */
static __u64
sigset(const sigset_t *set)
{
	__u64 bits = 0;

	bpf_probe_read_kernel(&bits, sizeof(bits), set);
	return bits;
}

SEC("tp_btf/sched_process_exec")
int
BPF_PROG(on_exec, struct task_struct *p)
{
	struct event *e;

	if (!is_traced(p->pid) || !(e = new_event(EVENT_EXEC, p->pid)))
		return 0;
	bpf_get_current_comm(e->comm, sizeof(e->comm));
	bpf_ringbuf_submit(e, 0);
	return 0;
}

SEC("tp_btf/sched_process_fork")
int
BPF_PROG(on_fork, struct task_struct *parent, struct task_struct *child)
{
	__s32 task = child->pid;
	__u8 yes = 1;
	struct event *e;

	if (!is_traced(parent->pid))
		return 0;
	/* A child that does not fit is not traced, and is not waited for. */
	if (bpf_map_update_elem(&traced, &task, &yes, BPF_NOEXIST))
		return 0;
	__sync_fetch_and_add(&live, 1);
	if (!(e = new_event(EVENT_FORK, parent->pid)))
		return 0;
	e->other = task;
	bpf_ringbuf_submit(e, 0);
	return 0;
}

/*
 * A timer's signal is generated in interrupt context, under whatever task
 * was running: the target is the task given, and the running task is the
 * sender only when the signal's code says that a process sent it.
 */
SEC("tp_btf/signal_generate")
int
BPF_PROG(on_generate, int sig, struct kernel_siginfo *info,
	 struct task_struct *task, int group, int result)
{
	unsigned long special = (unsigned long)info;
	struct event *e;

	if (!is_traced(task->pid) ||
	    !(e = new_event(EVENT_GENERATE, task->pid)))
		return 0;
	e->sig = sig;
	e->result = result;
	e->other = bpf_get_current_pid_tgid();
	bpf_get_current_comm(e->comm, sizeof(e->comm));
	if (special == SEND_SIG_NOINFO) {
		e->info = INFO_NONE;
		e->code = SI_USER;
	} else if (special == SEND_SIG_PRIV) {
		e->info = INFO_PRIV;
		e->code = SI_KERNEL;
	} else {
		e->info = INFO_GIVEN;
		e->code = BPF_CORE_READ(info, si_code);
	}
	bpf_ringbuf_submit(e, 0);
	return 0;
}

SEC("tp_btf/signal_deliver")
int
BPF_PROG(on_deliver, int sig, struct kernel_siginfo *info,
	 struct k_sigaction *ka)
{
	__s32 task = bpf_get_current_pid_tgid();
	struct event *e;

	if (!is_traced(task) || !(e = new_event(EVENT_DELIVER, task)))
		return 0;
	e->sig = sig;
	e->code = BPF_CORE_READ(info, si_code);
	e->handler = (unsigned long)ka->sa.sa_handler;
	e->flags = ka->sa.sa_flags;
	bpf_ringbuf_submit(e, 0);
	return 0;
}

/* What is still pending, and what is blocked, as the task ends. */
SEC("tp_btf/sched_process_exit")
int
BPF_PROG(on_exit, struct task_struct *p)
{
	__s32 task = p->pid;
	struct event *e;

	if (!is_traced(task))
		return 0;
	if ((e = new_event(EVENT_EXIT, task))) {
		e->code = p->exit_code;
		e->pending = sigset(&p->pending.signal) |
			     sigset(&p->signal->shared_pending.signal);
		e->blocked = sigset(&p->blocked);
		bpf_ringbuf_submit(e, 0);
	}
	bpf_map_delete_elem(&traced, &task);
	/* Last, so that the user side, seeing none live, has every event. */
	__sync_fetch_and_add(&live, -1);
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

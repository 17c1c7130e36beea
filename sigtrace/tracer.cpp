// SPDX-License-Identifier: ISC
/*
 * sigtrace's kernel side, from the user side: libbpf opens, loads and
 * attaches it, as the field's libbpf tools do; the way it watches the
 * kernel is the cheapest that the kernel takes.  Its maps are read here,
 * and nowhere else.
 */
#include <sys/syscall.h>

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "tool.h"
#include "tracer.h"

namespace sigtrace
{

namespace
{

// libbpf's own words, behind -v; without it, our one line is enough.
int
print_libbpf(enum libbpf_print_level level, const char *format, va_list args)
{
	if (!verbose || level == LIBBPF_DEBUG)
		return 0;
	// As in fail().
	// NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
	return std::vfprintf(stderr, format, args);
}

// How this machine's kernel names the system calls' entries, as
// __x64_sys_rt_sigtimedwait.  A 32-bit sigtrace watches the system calls
// by their numbers, which it knows.
#if defined(__x86_64__)
constexpr const char *syscall_prefix = "__x64_sys_";
#elif defined(__aarch64__)
constexpr const char *syscall_prefix = "__arm64_sys_";
#elif defined(__s390x__)
constexpr const char *syscall_prefix = "__s390x_sys_";
#elif defined(__riscv) && __riscv_xlen == 64
constexpr const char *syscall_prefix = "__riscv_sys_";
#else
constexpr const char *syscall_prefix = nullptr;
#endif

// The system calls that take and throw away pending signals, by their
// numbers here, for the way by the system calls.
void
watch_calls(sigtrace_bpf *skel)
{
	skel->rodata->watch_calls = 1;
	skel->rodata->nr_read = SYS_read;
	skel->rodata->nr_rt_sigaction = SYS_rt_sigaction;
	skel->rodata->nr_rt_sigtimedwait = SYS_rt_sigtimedwait;
	skel->rodata->nr_rt_sigreturn = SYS_rt_sigreturn;
#ifdef SYS_sigreturn
	skel->rodata->nr_sigreturn = SYS_sigreturn;
#endif
	skel->rodata->nr_rt_sigprocmask = SYS_rt_sigprocmask;
	skel->rodata->nr_timer_settime = SYS_timer_settime;
#ifdef SYS_timer_settime64
	skel->rodata->nr_timer_settime64 = SYS_timer_settime64;
#endif
	skel->rodata->nr_timer_delete = SYS_timer_delete;
	// One bit for each, 64 to a word.
	for (long nr :
	     {skel->rodata->nr_read, skel->rodata->nr_rt_sigaction,
	      skel->rodata->nr_rt_sigtimedwait, skel->rodata->nr_rt_sigreturn,
	      skel->rodata->nr_sigreturn, skel->rodata->nr_rt_sigprocmask,
	      skel->rodata->nr_timer_settime, skel->rodata->nr_timer_settime64,
	      skel->rodata->nr_timer_delete}) {
		auto at = static_cast<std::size_t>(nr / 64);
		if (nr >= 0 && at < std::size(skel->rodata->watched))
			skel->rodata->watched[at] |= 1ULL << (nr % 64);
	}
}

sigtrace_bpf *
open_tracer(Watch watch, int *error)
{
	sigtrace_bpf *skel = sigtrace_bpf__open();

	if (!skel) {
		*error = errno;
		return nullptr;
	}
	// As ptrace, a user who is not root traces no program that gains
	// privilege; root traces on.
	skel->rodata->untrace_privilege = getuid() != 0;
	// Which signals for us reached the program too, the kernel side
	// knows as they are sent.
	skel->rodata->tracer = getpid();
	bool functions = watch == Watch::Functions;
	bool calls = watch == Watch::Calls;
	for (bpf_program *prog : {skel->progs.on_signalfd_copyinfo,
				  skel->progs.on_restore_altstack})
		bpf_program__set_autoload(prog, functions);
	for (auto [prog, call] :
	     {std::pair{skel->progs.on_sigtimedwait, "rt_sigtimedwait"},
	      {skel->progs.on_sigaction, "rt_sigaction"},
	      {skel->progs.on_sigprocmask, "rt_sigprocmask"},
	      {skel->progs.on_timer_settime, "timer_settime"},
	      {skel->progs.on_timer_delete, "timer_delete"}}) {
		bpf_program__set_autoload(prog, functions);
		if (functions)
			bpf_program__set_attach_target(
			    prog, 0,
			    (std::string(syscall_prefix) + call).c_str());
	}
#ifdef NR_AT_EXIT
	bpf_program__set_autoload(skel->progs.on_call, false);
#else
	bpf_program__set_autoload(skel->progs.on_call, calls);
#endif
	bpf_program__set_autoload(skel->progs.on_return, calls);
	if (calls)
		watch_calls(skel);
	*error = -sigtrace_bpf__load(skel);
	if (*error == 0)
		*error = -sigtrace_bpf__attach(skel);
	if (*error == 0)
		return skel;
	sigtrace_bpf__destroy(skel);
	return nullptr;
}

// The ways to try, the cheapest first, for those who trace and those who
// do not.  A kernel without BPF trampolines, or one that refuses them (as
// with EPERM), or one that lacks a function, refuses the kernel side's
// first program, which needs them: trying once costs less than reading
// the kernel's types twice, once to ask and once to load.
// SIGTRACE_WATCH (asked) names one way alone, to compare them.
std::vector<Watch>
ways_to_try(const char *asked)
{
	if (!asked)
		return {Watch::Functions, Watch::Calls, Watch::Neither};
	if (std::strcmp(asked, "fentry/fexit") == 0)
		return {Watch::Functions};
	if (std::strcmp(asked, "sys_enter/sys_exit") == 0)
		return {Watch::Calls};
	fail(EXIT_CANNOT_TRACE,
	     "SIGTRACE_WATCH is fentry/fexit or sys_enter/sys_exit, not %s",
	     asked);
}

// Under -v, the way taken.
void
say_way(Watch watch, bool refused)
{
	if (!verbose || watch == Watch::Neither)
		return;
	std::fprintf(stderr,
		     "sigtrace: signals taken, discarded and masked, and "
		     "handlers' returns, seen by %s\n",
		     watch == Watch::Functions
			 ? "fentry/fexit on the kernel's functions"
		     : refused ? "sys_enter/sys_exit on every system call "
				 "(this kernel refuses fentry/fexit)"
			       : "sys_enter/sys_exit on every system call");
}

// Calls what with each key of a map, in the kernel's order.
template <typename Key, typename What>
void
each_key(const bpf_map *map, What what)
{
	Key next = {};

	for (int more =
		 bpf_map__get_next_key(map, nullptr, &next, sizeof(next));
	     more == 0;) {
		Key key = next;
		what(key);
		more = bpf_map__get_next_key(map, &key, &next, sizeof(next));
	}
}

// The kernel side's counts of a signal, as the model tallies them.
Tally
tally_of(const counts &kept)
{
	Tally tally;
#define SIGTRACE_ADOPT(name) tally.name = kept.name;
	SIGTRACE_COUNTS(SIGTRACE_ADOPT)
#undef SIGTRACE_ADOPT
	// What a ptrace tracer held at the end it never gave back.
	tally.taken += kept.held;
	return tally;
}

// How many of sig, sent how, the kernel side has counted delivered to us
// since the last look.
__u64
newly(const sigtrace_bpf *skel, int sig, __u32 how)
{
	static __u64 seen[TRACER_SIGNALS][SENT_HOW];
	__u64 got =
	    __atomic_load_n(&skel->bss->tracer_got[sig][how], __ATOMIC_ACQUIRE);
	__u64 fresh = got - seen[sig][how];

	seen[sig][how] = got;
	return fresh;
}

// Whether a signal for us, sent how, reached the program too: one sent to
// every process did, and one sent to our process group (kill 0, kill
// -PGRP) did unless the program is apart, in a group of its own.
bool
reaches(__u32 how, bool apart)
{
	return how == SENT_ALL || (how == SENT_GROUP && !apart);
}

} // namespace

sigtrace_bpf *
load_tracer(const char *program, Watch *watch)
{
	if (access("/sys/kernel/btf/vmlinux", R_OK) != 0)
		fail(EXIT_CANNOT_TRACE,
		     "this kernel does not describe its types "
		     "(no /sys/kernel/btf/vmlinux): "
		     "sigtrace needs one built with CONFIG_DEBUG_INFO_BTF");
	libbpf_set_print(print_libbpf);
	const char *asked = std::getenv("SIGTRACE_WATCH");
	if (asked && !*asked)
		asked = nullptr;
	int error = ENOSYS;
	bool refused = false;
	for (Watch way : ways_to_try(asked)) {
		if (way == Watch::Functions && !syscall_prefix)
			continue;
		if (sigtrace_bpf *skel = open_tracer(*watch = way, &error)) {
			say_way(way, refused);
			return skel;
		}
		refused = refused || way == Watch::Functions;
	}
	if (asked)
		fail(EXIT_CANNOT_TRACE,
		     "the kernel refused the tracer's %s: %s", asked,
		     std::strerror(error));
	if (error == EPERM) {
		if (getuid() == 0)
			fail(EXIT_CANNOT_TRACE,
			     "root here may not trace: it lacks CAP_BPF "
			     "and CAP_PERFMON (a container, or a user "
			     "namespace?)");
		fail(EXIT_CANNOT_TRACE,
		     "tracing needs root, or CAP_BPF and CAP_PERFMON "
		     "(sigtrace(1) says how a lab grants them): "
		     "sudo sigtrace %s",
		     program);
	}
	if (error == ENOSYS)
		fail(
		    EXIT_CANNOT_TRACE,
		    "this kernel cannot run BPF programs (CONFIG_BPF_SYSCALL)");
	fail(EXIT_CANNOT_TRACE, "the kernel refused the tracer: %s",
	     std::strerror(error));
}

bool
trace(sigtrace_bpf *skel, pid_t pid)
{
	__s32 id = pid;

	if (bpf_map__update_elem(skel->maps.traced, &id, sizeof(id), &id,
				 sizeof(id), BPF_NOEXIST) != 0)
		return false;
	__atomic_store_n(&skel->bss->live, 1, __ATOMIC_RELEASE);
	return true;
}

std::vector<pid_t>
still_traced(sigtrace_bpf *skel)
{
	std::vector<pid_t> processes;

	each_key<__s32>(skel->maps.traced, [&](__s32 task) {
		__s32 process = 0;
		if (bpf_map__lookup_elem(skel->maps.traced, &task, sizeof(task),
					 &process, sizeof(process), 0) == 0)
			processes.push_back(process);
	});
	std::sort(processes.begin(), processes.end());
	processes.erase(std::unique(processes.begin(), processes.end()),
			processes.end());
	return processes;
}

// The kernel side's counts and ends, which no lost record can spoil.
// With -v, where no record was lost, a count that the records made
// otherwise is told: the model and the kernel side disagree.
void
adopt_counts(sigtrace_bpf *skel, Account &account)
{
	bool whole = __atomic_load_n(&skel->bss->lost, __ATOMIC_ACQUIRE) == 0;

	each_key<counts_key>(skel->maps.counts, [&](const counts_key &key) {
		counts kept = {};
		if (bpf_map__lookup_elem(skel->maps.counts, &key, sizeof(key),
					 &kept, sizeof(kept), 0) == 0 &&
		    kept.sent + kept.delivered + kept.taken &&
		    !account.adopt(key.process, key.sig, tally_of(kept)) &&
		    whole && verbose)
			std::fprintf(stderr,
				     "sigtrace: process %d, %s: the records "
				     "counted otherwise than the kernel side\n",
				     key.process, signame(key.sig).c_str());
	});
	each_key<__s32>(skel->maps.ends, [&](__s32 process) {
		end ended = {};
		if (bpf_map__lookup_elem(skel->maps.ends, &process,
					 sizeof(process), &ended, sizeof(ended),
					 0) == 0)
			account.adopt_end(process, ended.code, ended.pending,
					  ended.blocked);
	});
}

// The kernel runs none of the kernel side's programs on a CPU where it is
// running already: a signal sent from an interrupt, as a timer's is, in
// the middle of the hook's run for another signal goes unseen, and
// uncounted.  The kernel counts each run it skipped: a tracepoint's from
// Linux 6.7 on.
std::uint64_t
skipped_runs(const sigtrace_bpf *skel)
{
	std::uint64_t skipped = 0;
	bpf_program *prog = nullptr;

	bpf_object__for_each_program(prog, skel->obj)
	{
		bpf_prog_info info = {};
		__u32 size = sizeof(info);
		int fd = bpf_program__fd(prog);
		if (fd >= 0 && bpf_obj_get_info_by_fd(fd, &info, &size) == 0)
			skipped += info.recursion_misses;
	}
	return skipped;
}

// Whether sig, as it came to us since the last look, missed the program:
// sent to us alone by a process that is not traced, as kill sigtrace's
// pid sends it, or to our group while the program is apart.  What came
// meanwhile, and one pending for us still, came at once, as one signal
// that the program would have merged: if any of them reached it, it
// missed nothing.  From the terminal or a traced process, a signal has
// reached the program already, or was not meant for it.
bool
missed(const sigtrace_bpf *skel, int sig, bool apart)
{
	__u64 alone = 0;
	__u64 reached = 0;

	for (__u32 how : {SENT_ALONE, SENT_GROUP, SENT_ALL}) {
		__u64 came = newly(skel, sig, how);
		(reaches(how, apart) ? reached : alone) += came;
	}
	sigset_t pending;
	if (sigpending(&pending) == 0 && sigismember(&pending, sig) &&
	    reaches(__atomic_load_n(&skel->bss->tracer_pending[sig],
				    __ATOMIC_ACQUIRE),
		    apart))
		reached++;
	return alone && !reached;
}

} // namespace sigtrace

// SPDX-License-Identifier: ISC
/*
 * sigtrace: the kernel's own account of the signals of a program and of
 * every process and thread it starts, told as the kernel acts.
 *
 *	sigtrace [-v] [--json] [-o FILE] [--svg PICTURE] PROGRAM [ARGUMENT...]
 *	sigtrace --from ACCOUNT [--json] [-o FILE] [--svg PICTURE]
 *
 * PROGRAM runs with its input and output left as they are.  Standard
 * error (or FILE) gets one line for each event that the kernel reports,
 * or with --json one JSON object: a signal generated, and whether it is
 * now pending, merged with one already pending, ignored, lost or dropped;
 * a signal delivered, taken by a call that waits for it, or discarded; an
 * exec, a fork, a new thread, a stop, an end.  Once the last process has
 * ended, a summary per process follows, from the kernel side's own
 * counts.  sigtrace ends as PROGRAM ended: with its status, or by its
 * signal.  --svg draws the run as a picture besides; --from reads an
 * account that --json wrote and tells it again, or draws it, with no
 * privilege at all.
 *
 * Tracing needs CAP_BPF and CAP_PERFMON.  sigtrace gives up every
 * capability once its tracer is attached.  Run by root, PROGRAM runs as
 * root would; run by anyone else, as that user with no capability.
 */
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <bpf/libbpf.h>
#include <fcntl.h>
#include <getopt.h>
#include <linux/capability.h>
#include <linux/types.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "account.h"
#include "output.h"
#include "sigtrace.h"
#include "writers.h"

#include "sigtrace.skel.h"

static_assert(sizeof(event) == 120,
	      "the kernel side writes 120 bytes per event");

namespace
{

// Exit statuses of our own, as a shell gives them for a program.
constexpr int EXIT_CANNOT_TRACE = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_CANNOT_RUN = 126;
constexpr int EXIT_NOT_FOUND = 127;

// The account, where it shares standard error with our messages: what
// it holds goes first.
FILE *account_stream;

[[noreturn]] void
fail(int status, const char *format, ...)
{
	va_list args;

	if (account_stream)
		std::fflush(account_stream);
	va_start(args, format);
	std::fputs("sigtrace: ", stderr);
	// The analyzer loses va_start when it reads several files at once.
	// NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
	std::vfprintf(stderr, format, args);
	std::fputc('\n', stderr);
	va_end(args);
	std::exit(status);
}

// The program, found and refused as a shell would find and refuse it.
// Looking it up reads nothing of it.
std::string
find_program(const char *name)
{
	std::string path = name;

	if (!std::strchr(name, '/')) {
		const char *search = std::getenv("PATH");
		std::string dirs =
		    search ? search : "/usr/local/bin:/usr/bin:/bin";
		path.clear();
		for (size_t start = 0, end; start <= dirs.size();
		     start = end + 1) {
			end = dirs.find(':', start);
			if (end == std::string::npos)
				end = dirs.size();
			std::string dir = dirs.substr(start, end - start);
			std::string candidate =
			    (dir.empty() ? "." : dir) + "/" + name;
			struct stat st;
			if (stat(candidate.c_str(), &st) == 0 &&
			    !S_ISDIR(st.st_mode) &&
			    access(candidate.c_str(), X_OK) == 0) {
				path = candidate;
				break;
			}
		}
		if (path.empty())
			fail(EXIT_NOT_FOUND, "%s: command not found", name);
	}
	struct stat st;
	if (stat(path.c_str(), &st) != 0)
		fail(EXIT_NOT_FOUND, "%s: %s", name, std::strerror(errno));
	if (S_ISDIR(st.st_mode))
		fail(EXIT_CANNOT_RUN, "%s: %s", name, std::strerror(EISDIR));
	if (access(path.c_str(), X_OK) != 0)
		fail(EXIT_CANNOT_RUN, "%s: %s", name, std::strerror(errno));
	return path;
}

// The tracepoints report the machine's process ids; in a pid namespace of
// our own, the ids we know are others.
void
refuse_pid_namespace()
{
	std::ifstream status("/proc/self/status");
	std::string text;

	while (std::getline(status, text))
		if (text.rfind("NSpid:", 0) == 0 &&
		    text.find_first_of(" \t", 7) != std::string::npos)
			fail(EXIT_CANNOT_TRACE,
			     "the kernel's tracepoints know processes by "
			     "other ids than this pid namespace: "
			     "run sigtrace outside it");
}

// Every capability given up: effective, permitted, inheritable, ambient.
bool
drop_capabilities()
{
	__user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
	__user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};

	return syscall(SYS_capset, &header, none) == 0 &&
	       prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0;
}

bool
holds_capabilities()
{
	__user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
	__user_cap_data_struct held[_LINUX_CAPABILITY_U32S_3] = {};

	return syscall(SYS_capget, &header, held) != 0 ||
	       std::any_of(std::begin(held), std::end(held),
			   [](const auto &word) {
				   return word.effective || word.permitted ||
					  word.inheritable;
			   });
}

bool verbose = false;

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

// How the kernel side sees a signal taken by a call, pending ones thrown
// away, a handler's return and a new mask, which no tracepoint tells.
enum class Watch {
	Functions, // fentry/fexit on the kernel functions that do them
	Calls,	   // sys_enter/sys_exit, on every system call
	Neither,
};

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
	      {skel->progs.on_sigprocmask, "rt_sigprocmask"}}) {
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
	if (calls) {
		// The system calls that take and throw away pending signals,
		// by their numbers here.
		skel->rodata->watch_calls = 1;
		skel->rodata->nr_read = SYS_read;
		skel->rodata->nr_rt_sigaction = SYS_rt_sigaction;
		skel->rodata->nr_rt_sigtimedwait = SYS_rt_sigtimedwait;
		skel->rodata->nr_rt_sigreturn = SYS_rt_sigreturn;
#ifdef SYS_sigreturn
		skel->rodata->nr_sigreturn = SYS_sigreturn;
#endif
		skel->rodata->nr_rt_sigprocmask = SYS_rt_sigprocmask;
		// One bit for each, 64 to a word.
		for (long nr :
		     {skel->rodata->nr_read, skel->rodata->nr_rt_sigaction,
		      skel->rodata->nr_rt_sigtimedwait,
		      skel->rodata->nr_rt_sigreturn, skel->rodata->nr_sigreturn,
		      skel->rodata->nr_rt_sigprocmask}) {
			auto word = static_cast<std::size_t>(nr / 64);
			if (nr >= 0 && word < std::size(skel->rodata->watched))
				skel->rodata->watched[word] |= 1ULL
							       << (nr % 64);
		}
	}
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

// The child waits until it is traced, then runs the program: as root,
// when root started us, for root's program must run as root's would; as
// the user with no capability, when a file's capabilities did.
[[noreturn]] void
run_program(const std::string &path, char **argv, int release)
{
	uid_t uid = getuid();
	gid_t gid = getgid();
	uid_t uids[3];
	gid_t gids[3];
	char go;

	if (uid != 0 &&
	    (setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0 ||
	     !drop_capabilities() || holds_capabilities() ||
	     getresuid(&uids[0], &uids[1], &uids[2]) != 0 ||
	     getresgid(&gids[0], &gids[1], &gids[2]) != 0 || uids[0] != uid ||
	     uids[1] != uid || uids[2] != uid || gids[0] != gid ||
	     gids[1] != gid || gids[2] != gid)) {
		std::fprintf(
		    stderr,
		    "sigtrace: %s not run: it could not be made to run as you, "
		    "with no capability\n",
		    argv[0]);
		_exit(EXIT_CANNOT_RUN);
	}
	if (read(release, &go, 1) != 1)
		_exit(EXIT_CANNOT_TRACE);
	execv(path.c_str(), argv);
	int error = errno;
	std::fprintf(stderr, "sigtrace: %s: %s\n", argv[0],
		     std::strerror(error));
	_exit(error == ENOENT ? EXIT_NOT_FOUND : EXIT_CANNOT_RUN);
}

__u64
now()
{
	timespec now;

	clock_gettime(CLOCK_MONOTONIC, &now);
	return static_cast<__u64>(now.tv_sec) * 1000000000ULL +
	       static_cast<__u64>(now.tv_nsec);
}

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
sigset_t waiting;

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
	sigprocmask(SIG_BLOCK, &caught, &waiting);
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

// Whether the program is still ours to signal: once we have waited for
// its end, its pid may be another process's.
bool
still_ours(pid_t child)
{
	siginfo_t info = {};

	return waitid(P_PID, static_cast<id_t>(child), &info,
		      WEXITED | WSTOPPED | WCONTINUED | WNOHANG | WNOWAIT) == 0;
}

// A signal that came to us and missed the program is passed on to it,
// while it is ours.  Reports whether any came.
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

// The traced processes still alive, by their ids.
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

// The kernel side's counts of a signal, as the model tallies them.
sigtrace::Tally
tally_of(const counts &kept)
{
	sigtrace::Tally tally;
#define SIGTRACE_ADOPT(name) tally.name = kept.name;
	SIGTRACE_COUNTS(SIGTRACE_ADOPT)
#undef SIGTRACE_ADOPT
	return tally;
}

// The kernel side's counts and ends, which no lost record can spoil.
// With -v, where no record was lost, a count that the records made
// otherwise is told: the model and the kernel side disagree.
void
adopt_counts(sigtrace_bpf *skel, sigtrace::Account &account)
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
				     key.process,
				     sigtrace::signame(key.sig).c_str());
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

// The model, and the writer that tells each event it makes as it makes
// it.
struct Telling {
	sigtrace::Account account;
	sigtrace::Writer &writer;

	void
	tell(const std::vector<sigtrace::Event> &events) const
	{
		for (const sigtrace::Event &each : events)
			writer.event(each);
	}
};

int
on_event(void *context, void *data, size_t size)
{
	auto &telling = *static_cast<Telling *>(context);
	event record;

	if (size < sizeof(record))
		return 0;
	std::memcpy(&record, data, sizeof(record));
	telling.tell(telling.account.decode(record));
	return 0;
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

// The program stopped.  A job stops, for its shell, once the account of
// the stop is on the screen.
void
stopped(ring_buffer *events, FILE *out, int sig)
{
	ring_buffer__consume(events);
	std::fflush(out);
	if (sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU)
		stop_as(sig);
}

// What wakes the wait for records: a record, and the program's end,
// which no record says in time (the kernel side's last record of a
// process comes before its parent can wait for it).  Where the kernel
// has no pidfd, the wait ends at its timeout instead.
class Waker
{
      public:
	Waker(const sigtrace_bpf *skel, pid_t child)
	{
#ifdef SYS_pidfd_open
		poll_ = epoll_create1(EPOLL_CLOEXEC);
		program_ = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
		epoll_event records = {};
		epoll_event end = {};
		records.events = end.events = EPOLLIN;
		if (poll_ < 0 || program_ < 0 ||
		    epoll_ctl(poll_, EPOLL_CTL_ADD,
			      bpf_map__fd(skel->maps.events), &records) != 0 ||
		    epoll_ctl(poll_, EPOLL_CTL_ADD, program_, &end) != 0)
			forget();
#else
		(void)skel;
		(void)child;
#endif
	}
	~Waker()
	{
		forget();
	}
	Waker(const Waker &) = delete;
	Waker &operator=(const Waker &) = delete;

	// For a record, the program's end or a signal to us, with no
	// timeout while the program runs, so that an idle sigtrace costs
	// nothing; then the records that came: their number, or an error.
	// (Without the pidfd, a look each 10 ms.)
	int
	wait(ring_buffer *events, bool running) const
	{
		if (poll_ < 0) {
			sigset_t was;
			sigprocmask(SIG_SETMASK, &waiting, &was);
			int got = ring_buffer__poll(events, 10);
			sigprocmask(SIG_SETMASK, &was, nullptr);
			return got;
		}
		epoll_event ready[2];
		if (epoll_pwait(poll_, ready, 2, running ? -1 : 10, &waiting) <
			0 &&
		    errno != EINTR)
			return -errno;
		return ring_buffer__consume(events);
	}

	// Once the program has ended, its pidfd would wake every wait.
	void
	forget()
	{
		for (int *fd : {&program_, &poll_})
			if (*fd >= 0) {
				close(*fd);
				*fd = -1;
			}
	}

      private:
	int poll_ = -1;
	int program_ = -1;
};

// A storm of signals makes a record each few hundred nanoseconds.  The
// kernel side wakes the reader with each record that finds it has read
// all the others, which a reader waiting in poll always has: a wakeup,
// an interrupt on the program's CPU and a context switch here per
// record, at the program's cost.  After a read that found records, the
// reader rests a moment instead, and the next read takes all that came
// meanwhile, for one wakeup.  A millisecond of a storm is a few thousand
// records, a small part of what the kernel side's buffer holds.
constexpr long REST_NS = 1000000;
// A read this large says the reader is behind: it reads on at once.
constexpr int BEHIND = 4096;

// The rest after a read that found got records.
void
rest_after(int got)
{
	if (got > 0 && got < BEHIND) {
		timespec rest = {0, REST_NS};
		nanosleep(&rest, nullptr);
	}
}

// Until every traced task has ended, then once more for the last events:
// the kernel side counts a task out only after its last event.  Returns
// the program's wait status.
int
follow(pid_t child, sigtrace_bpf *skel, ring_buffer *events, Telling &telling,
       FILE *out)
{
	int status = 0;
	bool ended = false;
	bool told = false;
	__u64 ended_at = 0;
	Waker waker(skel, child);

	for (bool done = false; !done;) {
		done = ended &&
		       __atomic_load_n(&skel->bss->live, __ATOMIC_ACQUIRE) <= 0;
		int got = ring_buffer__consume(events);
		if (got == 0 && !done)
			got = waker.wait(events, !ended);
		if (got < 0 && got != -EINTR)
			fail(EXIT_CANNOT_TRACE,
			     "the kernel's events cannot be read: %s",
			     std::strerror(-got));
		std::fflush(out);
		if (pass_on(child, skel) && ended)
			break; // the wait for descendants, cut short
		if (ended) {
			// Descendants live on: say so, once they have had a
			// moment to end with the program.
			if (!told && now() - ended_at > 200000000ULL) {
				telling.tell(telling.account.waiting(
				    now(), still_traced(skel)));
				told = true;
			}
		} else {
			pid_t pid =
			    waitpid(child, &status, WNOHANG | WUNTRACED);
			if (pid == child && WIFSTOPPED(status))
				stopped(events, out, WSTOPSIG(status));
			else if (pid == child) {
				ended = true;
				ended_at = now();
				waker.forget();
				continue; // the last records, without a rest
			}
		}
		if (!done)
			rest_after(got);
	}
	return status;
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

[[noreturn]] void
usage()
{
	std::fputs("usage: sigtrace [-v] [--json] [-o FILE] [--svg PICTURE] "
		   "PROGRAM [ARGUMENT...]\n"
		   "       sigtrace --from ACCOUNT [--json] [-o FILE] "
		   "[--svg PICTURE]\n",
		   stderr);
	std::exit(EXIT_USAGE);
}

struct Options {
	const char *output = nullptr;
	const char *svg = nullptr;
	const char *from = nullptr;
	bool json = false;
	char **program = nullptr;
};

Options
parse(int argc, char *argv[])
{
	static const option longs[] = {
	    {"from", required_argument, nullptr, 'f'},
	    {"json", no_argument, nullptr, 'j'},
	    {"output", required_argument, nullptr, 'o'},
	    {"svg", required_argument, nullptr, 's'},
	    {"verbose", no_argument, nullptr, 'v'},
	    {nullptr, 0, nullptr, 0}};
	Options options;
	int option;

	opterr = 0; // one line of usage is enough
	while ((option = getopt_long(argc, argv, "+o:v", longs, nullptr)) != -1)
		switch (option) {
		case 'f':
			options.from = optarg;
			break;
		case 'j':
			options.json = true;
			break;
		case 's':
			options.svg = optarg;
			break;
		case 'o':
			options.output = optarg;
			break;
		case 'v':
			verbose = true;
			break;
		default:
			usage();
		}
	// A program to trace, or an account to read: one or the other.
	if ((optind == argc) == !options.from)
		usage();
	options.program = argv + optind;
	return options;
}

// An output sigtrace writes: path, or where none is given the standard
// stream named name, if any.
void
open_output(sigtrace::Output &output, const char *path, int stream,
	    const char *name)
{
	if (!output.open(path, stream, name))
		fail(EXIT_CANNOT_TRACE, "%s: %s", path ? path : name,
		     std::strerror(errno));
}

// The account and the picture, which must not write over each other.
void
open_outputs(const Options &options, sigtrace::Output &account, int stream,
	     const char *name, sigtrace::Output &picture)
{
	if (options.output && options.svg &&
	    sigtrace::same_place(options.output, options.svg))
		fail(EXIT_CANNOT_TRACE, "%s: both the account and the picture",
		     options.svg);
	open_output(account, options.output, stream, name);
	open_output(picture, options.svg, -1, nullptr);
	account_stream = account.file();
}

// Every output whole and in place, or a line that says which is not.  A
// picture of an account that failed is not put in place.
bool
close_outputs(sigtrace::Output &account, sigtrace::Output &picture)
{
	account_stream = nullptr;
	sigtrace::Output *failed = !account.close()   ? &account
				   : !picture.close() ? &picture
						      : nullptr;
	if (!failed)
		return true;
	std::fprintf(stderr, "sigtrace: %s: %s\n", failed->name().c_str(),
		     std::strerror(errno));
	picture.abandon();
	return false;
}

// The account, as text or JSON to out, and as a picture where asked.
std::unique_ptr<sigtrace::Writer>
writers(bool json, FILE *out, FILE *picture)
{
	std::vector<std::unique_ptr<sigtrace::Writer>> all;

	if (out)
		all.push_back(json ? sigtrace::json_writer(out)
				   : sigtrace::text_writer(out));
	if (picture)
		all.push_back(sigtrace::svg_writer(picture));
	return sigtrace::all_of(std::move(all));
}

// An account written earlier, read back and told again: as text, as
// JSON or as a picture.  Nothing here needs a privilege, so none is kept.
[[noreturn]] void
tell_again(const Options &options)
{
	if (!drop_capabilities() || holds_capabilities())
		fail(EXIT_CANNOT_TRACE, "cannot give up its capabilities: %s",
		     std::strerror(errno));
	// A write that fails is told, not died of.
	std::signal(SIGPIPE, SIG_IGN);
	std::signal(SIGXFSZ, SIG_IGN);
	bool stdin_ = std::strcmp(options.from, "-") == 0;
	FILE *in = stdin_ ? stdin : std::fopen(options.from, "r");
	struct stat read;
	if (!in || fstat(fileno(in), &read) != 0)
		fail(EXIT_CANNOT_TRACE, "%s: %s", options.from,
		     std::strerror(errno));
	// An account is never written over by what is read from it.
	for (const char *path : {options.output, options.svg})
		if (path && S_ISREG(read.st_mode) &&
		    sigtrace::same_file(path, read))
			fail(EXIT_CANNOT_TRACE, "%s: the account being read",
			     path);
	// A picture alone, where one is asked for and no account is.
	bool account_too = options.output || options.json || !options.svg;
	sigtrace::Output account;
	sigtrace::Output picture;
	open_outputs(options, account, account_too ? STDOUT_FILENO : -1,
		     "standard output", picture);
	std::unique_ptr<sigtrace::Writer> writer =
	    writers(options.json, account.file(), picture.file());
	std::string error;
	if (!sigtrace::replay_json(in, *writer, error))
		fail(EXIT_CANNOT_TRACE, "%s: %s", options.from, error.c_str());
	std::exit(close_outputs(account, picture) ? EXIT_SUCCESS
						  : EXIT_CANNOT_TRACE);
}

} // namespace

int
main(int argc, char *argv[])
{
	Options options = parse(argc, argv);
	if (options.from)
		tell_again(options);
	char **program = options.program;

	// Neither ptrace nor /proc may give the user the tracer's descriptors
	// once the capabilities are gone.  (A file with capabilities starts
	// so; under sudo it does not.)
	prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
	std::string path = find_program(program[0]);
	refuse_pid_namespace();

	Watch watch;
	sigtrace_bpf *skel = load_tracer(program[0], &watch);
	int release[2];
	if (pipe2(release, O_CLOEXEC) != 0)
		fail(EXIT_CANNOT_TRACE, "%s", std::strerror(errno));
	pid_t child = fork();
	if (child < 0)
		fail(EXIT_CANNOT_TRACE, "cannot fork: %s",
		     std::strerror(errno));
	if (child == 0) {
		close(release[1]);
		run_program(path, program, release[0]);
	}
	close(release[0]);

	// The child, traced from its first instruction of the program on.
	__s32 id = child;
	if (bpf_map__update_elem(skel->maps.traced, &id, sizeof(id), &id,
				 sizeof(id), BPF_NOEXIST) != 0)
		fail(EXIT_CANNOT_TRACE, "the program cannot be traced: %s",
		     std::strerror(errno));
	__atomic_store_n(&skel->bss->live, 1, __ATOMIC_RELEASE);
	// Nothing the user names is opened or run before this: looking the
	// program up read no more than its file's mode.
	if (!drop_capabilities() || holds_capabilities())
		fail(EXIT_CANNOT_TRACE, "cannot give up its capabilities: %s",
		     std::strerror(errno));
	sigtrace::Output account_file;
	sigtrace::Output picture;
	open_outputs(options, account_file, STDERR_FILENO, "standard error",
		     picture);
	FILE *out = account_file.file();
	// Written a poll's worth at a time, not a line at a time.
	static char buffer[1 << 16];
	std::setvbuf(out, buffer, _IOFBF, sizeof(buffer));

	catch_signals();
	std::unique_ptr<sigtrace::Writer> writer =
	    writers(options.json, out, picture.file());
	writer->start(program[0], child);
	std::fflush(out);
	if (watch == Watch::Neither)
		std::fputs("sigtrace: this kernel lets no signal be seen taken "
			   "by sigwait or signalfd, nor discarded as its "
			   "action becomes SIG_IGN\n",
			   stderr);
	Telling telling{sigtrace::Account(now()), *writer};
	ring_buffer *events = ring_buffer__new(bpf_map__fd(skel->maps.events),
					       on_event, &telling, nullptr);
	if (!events)
		fail(EXIT_CANNOT_TRACE,
		     "the kernel's events cannot be read: %s",
		     std::strerror(errno));
	if (write(release[1], "", 1) != 1)
		fail(EXIT_CANNOT_TRACE, "%s", std::strerror(errno));
	close(release[1]);

	int status = follow(child, skel, events, telling, out);
	adopt_counts(skel, telling.account);
	telling.account.ended(child, status);
	telling.tell(telling.account.lost(
	    __atomic_load_n(&skel->bss->lost, __ATOMIC_ACQUIRE)));
	writer->summary(telling.account.summary());
	// A failed write is told; the program's own failure, if any, is
	// what sigtrace ends with.
	bool written = close_outputs(account_file, picture);
	ring_buffer__free(events);
	sigtrace_bpf__destroy(skel);
	if (!written && WIFEXITED(status) && WEXITSTATUS(status) == 0)
		std::exit(EXIT_CANNOT_TRACE);
	end_as(status);
}

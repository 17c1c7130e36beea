// SPDX-License-Identifier: ISC
/*
 * sigtrace: the kernel's own account of the signals of a program and of
 * every process it starts, told as the kernel acts.
 *
 *	sigtrace [-o FILE] PROGRAM [ARGUMENT...]
 *
 * PROGRAM runs with its input and output left as they are.  Standard
 * error (or FILE) gets one line for each event that the kernel reports:
 * a signal generated, and whether it is now pending, merged with one
 * already pending, ignored or lost; a signal delivered; an exec, a fork,
 * an end.  Once the last process has ended, a summary per process
 * follows.  The exit status is PROGRAM's, as a shell gives it.
 *
 * Tracing needs CAP_BPF and CAP_PERFMON.  sigtrace gives up every
 * capability once its tracer is attached, and PROGRAM runs with none, as
 * the user who started sigtrace.
 */
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <bpf/libbpf.h>
#include <fcntl.h>
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
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "sigtrace.h"
#include "sigtrace.skel.h"

static_assert(sizeof(event) == 88, "the kernel side writes 88 bytes per event");

namespace
{

// Exit statuses of our own, as a shell gives them for a program.
constexpr int EXIT_CANNOT_TRACE = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_CANNOT_RUN = 126;
constexpr int EXIT_NOT_FOUND = 127;

// What became of each signal of one process, and how that process ended.
struct Tally {
	unsigned sent = 0, pending = 0, merged = 0, ignored = 0, lost = 0,
		 delivered = 0;
};

struct Task {
	pid_t parent = 0;     // the traced task that forked it, if any
	bool started = false; // has run a program
	std::string end;      // how it ended, once it has
	std::map<int, Tally> signals;
	// Who sent each instance still queued, oldest first.
	std::map<int, std::deque<std::string>> queued;
};

struct Account {
	FILE *out = stderr;
	__u64 origin = 0; // when the program was let go
	std::map<pid_t, Task> tasks;
	std::vector<pid_t> order; // in the order first seen
};

[[noreturn]] void
fail(int status, const char *format, ...)
{
	va_list args;

	va_start(args, format);
	std::fputs("sigtrace: ", stderr);
	// The analyzer loses va_start when it reads several files at once.
	// NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
	std::vfprintf(stderr, format, args);
	std::fputc('\n', stderr);
	va_end(args);
	std::exit(status);
}

std::string
format(const char *format, ...)
{
	char text[256];
	va_list args;

	va_start(args, format);
	// As in fail().
	// NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
	std::vsnprintf(text, sizeof(text), format, args);
	va_end(args);
	return text;
}

std::string
signame(int sig)
{
	// glibc calls signal 29 by its System V name.
	if (sig == SIGIO)
		return "SIGIO";
	if (sig >= SIGRTMIN && sig <= SIGRTMAX) {
		// As kill -l numbers them, from whichever end is nearer.
		if (sig - SIGRTMIN <= (SIGRTMAX - SIGRTMIN) / 2)
			return sig == SIGRTMIN
				   ? "SIGRTMIN"
				   : format("SIGRTMIN+%d", sig - SIGRTMIN);
		return sig == SIGRTMAX ? "SIGRTMAX"
				       : format("SIGRTMAX-%d", SIGRTMAX - sig);
	}
	const char *name =
	    sig > 0 && sig < SIGRTMIN ? sigabbrev_np(sig) : nullptr;
	return name ? std::string("SIG") + name : format("signal %d", sig);
}

std::string
sigset_names(__u64 set)
{
	std::string names;

	for (int sig = 1; sig <= 64; sig++)
		if (set & 1ULL << (sig - 1))
			names += (names.empty() ? "" : " ") + signame(sig);
	return names.empty() ? "none" : names;
}

// The flags of struct sigaction that change what a delivery does.
std::string
flag_names(__u64 flags)
{
	static const std::pair<unsigned long, const char *> known[] = {
	    {SA_SIGINFO, "SA_SIGINFO"},	    {SA_ONSTACK, "SA_ONSTACK"},
	    {SA_RESTART, "SA_RESTART"},	    {SA_NODEFER, "SA_NODEFER"},
	    {SA_RESETHAND, "SA_RESETHAND"},
	};
	std::string names;

	for (const auto &[flag, name] : known)
		if (flags & flag)
			names += (names.empty() ? "" : " ") + std::string(name);
	return names.empty() ? "" : " (" + names + ")";
}

Task &
task(Account &account, pid_t id)
{
	auto [it, added] = account.tasks.try_emplace(id);
	if (added)
		account.order.push_back(id);
	return it->second;
}

std::string
who(Account &account, pid_t id)
{
	return (task(account, id).parent ? "child " : "process ") +
	       std::to_string(id);
}

void
line(Account &account, const event &ev, const std::string &what)
{
	// The clock is read on each CPU; a moment's difference between them
	// must not make a time before the start.
	unsigned long long ms =
	    ev.time > account.origin ? (ev.time - account.origin) / 1000000 : 0;

	std::fprintf(account.out, "%7llu  %-13s  %s\n", ms,
		     who(account, ev.task).c_str(), what.c_str());
}

// Why the kernel raised a signal itself, where its code says so.
std::string
kernel_reason(Account &account, const event &ev)
{
	if (ev.info == INFO_NONE) {
		// Raised on the task's own behalf, in a system call of its own.
		switch (ev.sig) {
		case SIGPIPE:
			return "the kernel: a write to a pipe or socket with "
			       "no reader";
		case SIGXFSZ:
			return "the kernel: a write past the file size limit";
		}
		return "the kernel";
	}
	switch (ev.sig) {
	case SIGALRM:
	case SIGVTALRM:
	case SIGPROF:
		return "the kernel's timer";
	case SIGXCPU:
		return "the kernel: the CPU time limit";
	case SIGINT:
	case SIGQUIT:
	case SIGTSTP:
		return "the kernel: a key on the terminal";
	case SIGWINCH:
		return "the kernel: the terminal's size changed";
	case SIGTTIN:
	case SIGTTOU:
		return "the kernel: the terminal, used from the background";
	case SIGHUP:
		return "the kernel: the terminal hung up";
	case SIGCHLD:
		if (ev.code >= CLD_EXITED && ev.code <= CLD_CONTINUED) {
			// What the child did, by si_code from CLD_EXITED on.
			static const char *what[] = {
			    "ended",   "was killed", "dumped core",
			    "trapped", "stopped",    "continued"};
			return "the kernel: " + who(account, ev.other) + " " +
			       what[ev.code - CLD_EXITED];
		}
		break;
	case SIGSEGV:
		return "the kernel: a bad memory access";
	case SIGBUS:
		return "the kernel: a bus error";
	case SIGFPE:
		return "the kernel: an arithmetic error";
	case SIGILL:
		return "the kernel: an illegal instruction";
	case SIGTRAP:
		return "the kernel: a trap";
	case SIGSYS:
		return "the kernel: a forbidden system call";
	}
	return "the kernel";
}

// Who sent it: the signal's code says whether a process did, and then it
// is the task that was running.
std::string
sender(Account &account, const event &ev)
{
	if (ev.info != INFO_GIVEN || ev.code > 0)
		return kernel_reason(account, ev);
	if (ev.code == SI_TIMER)
		return "a POSIX timer";
	if (ev.other == ev.task)
		return "itself";
	if (task(account, ev.task).parent == ev.other)
		return "its parent";
	auto sent_by = account.tasks.find(ev.other);
	if (sent_by != account.tasks.end() && sent_by->second.parent == ev.task)
		return "its child " + std::to_string(ev.other);
	return std::string(ev.comm, strnlen(ev.comm, sizeof(ev.comm))) + " " +
	       std::to_string(ev.other);
}

void
on_generate(Account &account, const event &ev)
{
	static const char *results[] = {"pending", "ignored", "merged", "lost",
					"pending"};
	const char *result =
	    ev.result >= 0 && ev.result <= 4 ? results[ev.result] : "?";
	std::string from = sender(account, ev);
	Task &proc = task(account, ev.task);
	Tally &tally = proc.signals[ev.sig];

	line(account, ev,
	     format("%-8s %-9s  from %s", signame(ev.sig).c_str(), result,
		    from.c_str()));
	tally.sent++;
	switch (ev.result) {
	case 0:
	case 4: // queued, with its information lost
		tally.pending++;
		proc.queued[ev.sig].push_back(from);
		break;
	case 1:
		tally.ignored++;
		break;
	case 2:
		tally.merged++;
		break;
	case 3:
		tally.lost++;
		break;
	}
}

void
on_deliver(Account &account, const event &ev)
{
	Task &proc = task(account, ev.task);
	std::string how;

	if (ev.sig == SIGKILL && !proc.signals.count(SIGKILL))
		// A fatal signal that is neither blocked nor caught ends the
		// process at once, through a SIGKILL of the kernel's own.
		how = "from the kernel, to end the process";
	else if (ev.handler == reinterpret_cast<uintptr_t>(SIG_DFL))
		how = "to its default action";
	else if (ev.handler == reinterpret_cast<uintptr_t>(SIG_IGN))
		how = "and ignored";
	else
		how = "to its handler" + flag_names(ev.flags);
	auto &queue = proc.queued[ev.sig];
	if (!queue.empty()) {
		how += ", sent by " + queue.front();
		queue.pop_front();
	}
	proc.signals[ev.sig].delivered++;
	line(account, ev,
	     format("%-8s %-9s  %s", signame(ev.sig).c_str(), "delivered",
		    how.c_str()));
}

void
on_exit(Account &account, const event &ev)
{
	int sig = ev.code & 0x7f;
	std::string end =
	    sig ? "killed by " + signame(sig) +
		      (ev.code & 0x80 ? " (core dumped)" : "")
		: format("exits with status %d", (ev.code >> 8) & 0xff);

	end += "; still pending: " + sigset_names(ev.pending) +
	       "; blocked: " + sigset_names(ev.blocked);
	task(account, ev.task).end = end;
	line(account, ev, end);
}

// libbpf's callback for each record of the ring buffer, in the order
// of libbpf's type ring_buffer_sample_fn.
// NOLINTBEGIN(bugprone-easily-swappable-parameters)
int
on_event(void *context, void *data, size_t size)
// NOLINTEND(bugprone-easily-swappable-parameters)
{
	Account &account = *static_cast<Account *>(context);
	event ev;

	if (size < sizeof(ev))
		return 0;
	std::memcpy(&ev, data, sizeof(ev));
	switch (ev.kind) {
	case EVENT_EXEC: {
		Task &proc = task(account, ev.task);
		std::string comm(ev.comm, strnlen(ev.comm, sizeof(ev.comm)));
		line(account, ev, (proc.started ? "execs " : "starts ") + comm);
		proc.started = true;
		break;
	}
	case EVENT_FORK:
		task(account, ev.other).parent = ev.task;
		line(account, ev, "forks child " + std::to_string(ev.other));
		break;
	case EVENT_GENERATE:
		on_generate(account, ev);
		break;
	case EVENT_DELIVER:
		on_deliver(account, ev);
		break;
	case EVENT_EXIT:
		on_exit(account, ev);
		break;
	}
	return 0;
}

void
summary(Account &account, __u64 lost)
{
	std::fputs("summary:\n", account.out);
	if (lost)
		std::fprintf(
		    account.out,
		    "  %llu events lost, the kernel's buffer being full: "
		    "the counts below leave them out\n",
		    static_cast<unsigned long long>(lost));
	for (pid_t id : account.order) {
		Task &proc = account.tasks[id];
		std::string name = who(account, id);
		for (const auto &[sig, n] : proc.signals) {
			std::string text =
			    format("  %-13s  %s: sent %u", name.c_str(),
				   signame(sig).c_str(), n.sent);
			for (const auto &[count, kind] :
			     {std::pair{n.pending, "pending"},
			      {n.merged, "merged"},
			      {n.ignored, "ignored"},
			      {n.lost, "lost"},
			      {n.delivered, "delivered"}})
				if (count)
					text += format(", %s %u", kind, count);
			std::fprintf(account.out, "%s\n", text.c_str());
		}
		if (proc.signals.empty())
			std::fprintf(account.out, "  %-13s  no signals\n",
				     name.c_str());
		std::fprintf(account.out, "  %-13s  %s\n", "",
			     proc.end.empty() ? "still running"
					      : proc.end.c_str());
	}
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

// The loader's own words, with one line of ours, would be too many.
int
quiet(enum libbpf_print_level /*level*/, const char * /*format*/,
      va_list /*args*/)
{
	return 0;
}

sigtrace_bpf *
load_tracer(const char *program)
{
	if (access("/sys/kernel/btf/vmlinux", R_OK) != 0)
		fail(EXIT_CANNOT_TRACE,
		     "this kernel does not describe its types "
		     "(no /sys/kernel/btf/vmlinux): "
		     "sigtrace needs one built with CONFIG_DEBUG_INFO_BTF");
	libbpf_set_print(quiet);
	sigtrace_bpf *skel = sigtrace_bpf__open_and_load();
	int error = skel ? -sigtrace_bpf__attach(skel) : errno;
	if (error == 0)
		return skel;
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

// The child: the user who started us, holding no capability, waits until
// it is traced, then runs the program.
[[noreturn]] void
run_program(const std::string &path, char **argv, int release)
{
	uid_t uid = getuid();
	gid_t gid = getgid();
	uid_t uids[3];
	gid_t gids[3];
	char go;

	if (setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0 ||
	    !drop_capabilities() || holds_capabilities() ||
	    getresuid(&uids[0], &uids[1], &uids[2]) != 0 ||
	    getresgid(&gids[0], &gids[1], &gids[2]) != 0 || uids[0] != uid ||
	    uids[1] != uid || uids[2] != uid || gids[0] != gid ||
	    gids[1] != gid || gids[2] != gid) {
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

int
status_of(int status)
{
	return WIFSIGNALED(status) ? 128 + WTERMSIG(status)
				   : WEXITSTATUS(status);
}

} // namespace

int
main(int argc, char *argv[])
{
	const char *output = nullptr;
	int option;

	opterr = 0; // one line of usage is enough
	while ((option = getopt(argc, argv, "+o:")) == 'o')
		output = optarg;
	if (option != -1 || optind == argc) {
		std::fputs("usage: sigtrace [-o FILE] PROGRAM [ARGUMENT...]\n",
			   stderr);
		return EXIT_USAGE;
	}
	char **program = argv + optind;
	// Neither ptrace nor /proc may give the user the tracer's descriptors
	// once the capabilities are gone.  (A file with capabilities starts
	// so; under sudo it does not.)
	prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
	std::string path = find_program(program[0]);
	refuse_pid_namespace();

	sigtrace_bpf *skel = load_tracer(program[0]);
	Account account;
	ring_buffer *events = ring_buffer__new(bpf_map__fd(skel->maps.events),
					       on_event, &account, nullptr);
	if (!events)
		fail(EXIT_CANNOT_TRACE,
		     "the kernel's events cannot be read: %s",
		     std::strerror(errno));

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
	__u8 yes = 1;
	if (bpf_map__update_elem(skel->maps.traced, &id, sizeof(id), &yes,
				 sizeof(yes), BPF_NOEXIST) != 0)
		fail(EXIT_CANNOT_TRACE, "the program cannot be traced: %s",
		     std::strerror(errno));
	__atomic_store_n(&skel->bss->live, 1, __ATOMIC_RELEASE);
	// Nothing the user names is opened or run before this: looking the
	// program up read no more than its file's mode.
	if (!drop_capabilities() || holds_capabilities())
		fail(EXIT_CANNOT_TRACE, "cannot give up its capabilities: %s",
		     std::strerror(errno));
	if (output && !(account.out = std::fopen(output, "w")))
		fail(EXIT_CANNOT_TRACE, "%s: %s", output, std::strerror(errno));

	// From here on ^C is for the program alone: we stay to say what it did.
	std::signal(SIGINT, SIG_IGN);
	std::signal(SIGQUIT, SIG_IGN);
	std::fprintf(account.out,
		     "sigtrace: what the kernel did with the signals of %s\n",
		     program[0]);
	std::fprintf(account.out, "%7s  %-13s  %-8s %s\n", "ms", "process",
		     "signal", "what the kernel did");
	std::fflush(account.out);
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	account.origin = now.tv_sec * 1000000000ULL + now.tv_nsec;
	if (write(release[1], "", 1) != 1)
		fail(EXIT_CANNOT_TRACE, "%s", std::strerror(errno));
	close(release[1]);

	// Until every traced task has ended, then once more for the last
	// events: the kernel side counts a task out only after its last event.
	for (bool done = false; !done;) {
		done = __atomic_load_n(&skel->bss->live, __ATOMIC_ACQUIRE) <= 0;
		int error = ring_buffer__poll(events, done ? 0 : 10);
		if (error < 0 && error != -EINTR)
			fail(EXIT_CANNOT_TRACE,
			     "the kernel's events cannot be read: %s",
			     std::strerror(-error));
		std::fflush(account.out);
	}
	int status;
	while (waitpid(child, &status, 0) < 0 && errno == EINTR)
		;
	summary(account, __atomic_load_n(&skel->bss->lost, __ATOMIC_ACQUIRE));
	if (std::fclose(account.out) != 0 && output)
		fail(EXIT_CANNOT_TRACE, "%s: %s", output, std::strerror(errno));
	ring_buffer__free(events);
	sigtrace_bpf__destroy(skel);
	return status_of(status);
}

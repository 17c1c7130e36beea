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
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <bpf/libbpf.h>
#include <getopt.h>
#include <linux/types.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "account.h"
#include "job.h"
#include "launch.h"
#include "output.h"
#include "sigtrace.h"
#include "tool.h"
#include "tracer.h"
#include "writers.h"

static_assert(sizeof(event) == 128,
	      "the kernel side writes 128 bytes per event");

namespace sigtrace
{

bool verbose = false;
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

__u64
now()
{
	timespec now;

	clock_gettime(CLOCK_MONOTONIC, &now);
	return static_cast<__u64>(now.tv_sec) * 1000000000ULL +
	       static_cast<__u64>(now.tv_nsec);
}

} // namespace sigtrace

using namespace sigtrace;

namespace
{

// The model, and the writer that tells each event it makes as it makes
// it.
struct Telling {
	Account account;
	Writer &writer;
};

// The events the model made, told.
void
tell(Telling &telling, const std::vector<Event> &events)
{
	for (const Event &each : events)
		telling.writer.event(each);
}

int
on_event(void *context, void *data, size_t size)
{
	auto &telling = *static_cast<Telling *>(context);
	event record;

	if (size < sizeof(record))
		return 0;
	std::memcpy(&record, data, sizeof(record));
	tell(telling, telling.account.decode(record));
	return 0;
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
			sigprocmask(SIG_SETMASK, &waiting(), &was);
			int got = ring_buffer__poll(events, 10);
			sigprocmask(SIG_SETMASK, &was, nullptr);
			return got;
		}
		epoll_event ready[2];
		if (epoll_pwait(poll_, ready, 2, running ? -1 : 10,
				&waiting()) < 0 &&
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
				tell(telling, telling.account.waiting(
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
open_output(Output &output, const char *path, int stream, const char *name)
{
	if (!output.open(path, stream, name))
		fail(EXIT_CANNOT_TRACE, "%s: %s", path ? path : name,
		     std::strerror(errno));
}

// The account and the picture, which must not write over each other.
void
open_outputs(const Options &options, Output &account, int stream,
	     const char *name, Output &picture)
{
	if (options.output && options.svg &&
	    same_place(options.output, options.svg))
		fail(EXIT_CANNOT_TRACE, "%s: both the account and the picture",
		     options.svg);
	open_output(account, options.output, stream, name);
	open_output(picture, options.svg, -1, nullptr);
	account_stream = account.file();
}

// Every output whole and in place, or a line that says which is not.  A
// picture of an account that failed is not put in place.
bool
close_outputs(Output &account, Output &picture)
{
	account_stream = nullptr;
	Output *failed = !account.close()   ? &account
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
std::unique_ptr<Writer>
writers(bool json, FILE *out, FILE *picture)
{
	std::vector<std::unique_ptr<Writer>> all;

	if (out)
		all.push_back(json ? json_writer(out) : text_writer(out));
	if (picture)
		all.push_back(svg_writer(picture));
	return all_of(std::move(all));
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
		if (path && S_ISREG(read.st_mode) && same_file(path, read))
			fail(EXIT_CANNOT_TRACE, "%s: the account being read",
			     path);
	// A picture alone, where one is asked for and no account is.
	bool account_too = options.output || options.json || !options.svg;
	Output account;
	Output picture;
	open_outputs(options, account, account_too ? STDOUT_FILENO : -1,
		     "standard output", picture);
	std::unique_ptr<Writer> writer =
	    writers(options.json, account.file(), picture.file());
	std::string error;
	if (!replay_json(in, *writer, error))
		fail(EXIT_CANNOT_TRACE, "%s: %s", options.from, error.c_str());
	std::exit(close_outputs(account, picture) ? EXIT_SUCCESS
						  : EXIT_CANNOT_TRACE);
}

// The run, told as it goes and summed up at its end, to the outputs
// asked for: returns the program's wait status, once every output is
// whole, or the end, where a write failed and the program did not.
int
tell_run(const Options &options, sigtrace_bpf *skel, pid_t child, int go,
	 Watch watch)
{
	Output account_file;
	Output picture;
	open_outputs(options, account_file, STDERR_FILENO, "standard error",
		     picture);
	FILE *out = account_file.file();
	// Written a poll's worth at a time, not a line at a time.
	static char buffer[1 << 16];
	std::setvbuf(out, buffer, _IOFBF, sizeof(buffer));

	catch_signals();
	std::unique_ptr<Writer> writer =
	    writers(options.json, out, picture.file());
	writer->start(options.program[0], child);
	std::fflush(out);
	if (watch == Watch::Neither)
		std::fputs("sigtrace: this kernel lets no signal be seen taken "
			   "by sigwait or signalfd, nor discarded as its "
			   "action becomes SIG_IGN\n",
			   stderr);
	Telling telling{Account(now()), *writer};
	ring_buffer *events = ring_buffer__new(bpf_map__fd(skel->maps.events),
					       on_event, &telling, nullptr);
	if (!events)
		fail(EXIT_CANNOT_TRACE,
		     "the kernel's events cannot be read: %s",
		     std::strerror(errno));
	go_ahead(go);

	int status = follow(child, skel, events, telling, out);
	adopt_counts(skel, telling.account);
	telling.account.skipped(skipped_runs(skel));
	telling.account.ended(child, status);
	tell(telling, telling.account.lost(
			  __atomic_load_n(&skel->bss->lost, __ATOMIC_ACQUIRE)));
	writer->summary(telling.account.summary());
	// A failed write is told; the program's own failure, if any, is
	// what sigtrace ends with.
	bool written = close_outputs(account_file, picture);
	ring_buffer__free(events);
	if (!written && WIFEXITED(status) && WEXITSTATUS(status) == 0)
		std::exit(EXIT_CANNOT_TRACE);
	return status;
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
	int go;
	pid_t child = start_program(path, program, &go);
	// The child, traced from its first instruction of the program on.
	if (!trace(skel, child))
		fail(EXIT_CANNOT_TRACE, "the program cannot be traced: %s",
		     std::strerror(errno));
	// Nothing the user names is opened or run before this: looking the
	// program up read no more than its file's mode.
	if (!drop_capabilities() || holds_capabilities())
		fail(EXIT_CANNOT_TRACE, "cannot give up its capabilities: %s",
		     std::strerror(errno));
	int status = tell_run(options, skel, child, go, watch);
	sigtrace_bpf__destroy(skel);
	end_as(status);
}

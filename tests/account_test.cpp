// SPDX-License-Identifier: ISC
// How the text and the JSON tell what kernel records made up here say:
// who sent each signal, what became of it.  No root, no BPF: the record
// in sigtrace.h is the contract.  (model_test.cpp checks the events
// themselves.)
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "account.h"
#include "records.h"
#include "writers.h"

using namespace sigtrace;

namespace
{

int failures = 0;

void
expect(const char *what, const std::string &got, const std::string &want)
{
	if (got == want)
		return;
	std::printf("FAIL %s\n  got:  %s\n  want: %s\n", what, got.c_str(),
		    want.c_str());
	failures++;
}

// The records decoded, and what a writer made of them, line by line
// without the times and the padding.
class Run
{
      public:
	explicit Run(bool json = false)
	    : out_(open_memstream(&text_, &size_)),
	      writer_(json ? json_writer(out_) : text_writer(out_)), account_(0)
	{
	}
	~Run()
	{
		std::fclose(out_);
		std::free(text_);
	}
	Run(const Run &) = delete;
	Run &operator=(const Run &) = delete;

	Run &
	operator<<(const event &record)
	{
		for (const Event &each : account_.decode(record))
			writer_->event(each);
		return *this;
	}

	std::vector<std::string>
	lines(bool summary = false)
	{
		if (summary)
			writer_->summary(account_.summary());
		std::fflush(out_);
		std::vector<std::string> all;
		std::string text(text_, size_);
		for (size_t at = 0, end; at < text.size(); at = end + 1) {
			end = text.find('\n', at);
			std::string line = text.substr(at, end - at);
			line =
			    line.substr(line.find_first_not_of(" 0123456789"));
			std::string squeezed;
			for (char ch : line)
				if (ch != ' ' || squeezed.empty() ||
				    squeezed.back() != ' ')
					squeezed += ch;
			all.push_back(squeezed);
		}
		return all;
	}

      private:
	char *text_ = nullptr;
	size_t size_ = 0;
	FILE *out_;
	std::unique_ptr<Writer> writer_;
	Account account_;
};

void
senders()
{
	struct Case {
		const char *what;
		event record;
		const char *line;
	} const cases[] = {
	    {"itself", generate(10, SIGUSR1, 0, 10),
	     "process 10 SIGUSR1 pending from itself"},
	    {"its parent", generate(11, SIGUSR1, 0, 10),
	     "child 11 SIGUSR1 pending from its parent"},
	    {"its child", generate(10, SIGUSR2, 2, 11),
	     "process 10 SIGUSR2 merged from its child 11"},
	    {"another", generate(10, SIGTERM, 1, 99),
	     "process 10 SIGTERM ignored from kill 99"},
	    {"the timer", generate(10, SIGALRM, 2, 99, INFO_PRIV),
	     "process 10 SIGALRM merged from the kernel's timer"},
	    {"a pipe", generate(10, SIGPIPE, 0, 10, INFO_NONE),
	     "process 10 SIGPIPE pending from the kernel: a write to a pipe "
	     "or socket with no reader"},
	    {"a child's end",
	     generate(10, SIGCHLD, 1, 11, INFO_GIVEN, CLD_EXITED),
	     "process 10 SIGCHLD ignored from the kernel: child 11 ended"},
	    {"a fault", generate(10, SIGSEGV, 0, 10, INFO_GIVEN, SEGV_MAPERR),
	     "process 10 SIGSEGV pending from the kernel: a bad memory access "
	     "(address not mapped)"},
	    {"a divide", generate(10, SIGFPE, 0, 10, INFO_GIVEN, FPE_INTDIV),
	     "process 10 SIGFPE pending from the kernel: an arithmetic error "
	     "(integer divide by zero)"},
	    {"a POSIX timer",
	     generate(10, SIGRTMIN, 0, 99, INFO_GIVEN, SI_TIMER),
	     "process 10 SIGRTMIN pending from a POSIX timer, value 0"},
	    {"raise", generate(10, SIGRTMIN + 1, 0, 10, INFO_GIVEN, SI_TKILL),
	     "process 10 SIGRTMIN+1 pending from itself by tgkill"},
	    {"a full queue",
	     generate(10, SIGRTMAX, 3, 10, INFO_GIVEN, SI_QUEUE),
	     "process 10 SIGRTMAX lost from itself by sigqueue, value 0, its "
	     "queue being full"},
	};
	for (const Case &one : cases) {
		Run run;
		run << fork(10, 11) << one.record;
		expect(one.what, run.lines()[1], one.line);
	}
}

// Each generation has one fate, and a delivery the sender of the oldest
// still queued.
void
fates()
{
	Run run;
	int rt = SIGRTMIN + 2;
	run << fork(10, 11) << fork(10, 12) << generate(10, rt, 0, 11)
	    << generate(10, rt, 0, 12) << generate(10, rt, 0, 10)
	    << generate(10, SIGUSR1, 0, 11) << generate(10, SIGUSR1, 2, 12)
	    << deliver(10, 10, rt) << deliver(10, 10, rt)
	    << deliver(10, 10, SIGUSR1);
	event took = record(EVENT_TAKE, 10, 10, rt);
	took.result = TAKE_SIGNALFD;
	run << took << generate(10, SIGTSTP, 0, 11)
	    << generate(10, SIGCONT, 1, 11);
	event ignore = record(EVENT_SIGACTION, 10, 10, SIGUSR2);
	ignore.handler = 1; // SIG_IGN
	run << generate(10, SIGUSR2, 0, 10) << ignore;
	std::vector<std::string> lines = run.lines(true);
	std::vector<std::string> want = {
	    "SIGRTMIN+2 delivered to its handler, sent by its child 11",
	    "SIGRTMIN+2 delivered to its handler, sent by its child 12",
	    "SIGUSR1 delivered to its handler, sent by its child 11",
	    "SIGRTMIN+2 taken by a read of a signalfd, sent by itself",
	    "SIGTSTP discarded by a SIGCONT, sent by its child 11",
	    "SIGUSR2 discarded as its action became SIG_IGN, sent by itself",
	    "process 10 SIGUSR1: sent 2, pending 1, merged 1, delivered 1",
	    "process 10 SIGUSR2: sent 1, pending 1, discarded 1",
	    "process 10 SIGTSTP: sent 1, pending 1, discarded 1",
	    "process 10 SIGCONT: sent 1, ignored 1",
	    "process 10 SIGRTMIN+2: sent 3, pending 3, delivered 2, taken 1",
	};
	for (const std::string &line : want) {
		bool found = false;
		for (const std::string &got : lines)
			found = found || got.find(line) != std::string::npos;
		expect("fates", found ? line : "(none)", line);
	}
}

// A signal for the whole process, taken by another of its threads, was
// sent by the one who sent it; the process ends once.
void
threads()
{
	Run run;
	event took = record(EVENT_TAKE, 21, 20, SIGUSR1);
	took.result = TAKE_SIGTIMEDWAIT;
	took.detail = DETAIL_GROUP;
	event to_thread =
	    generate(20, SIGUSR2, 0, 20, INFO_GIVEN, SI_TKILL, false);
	to_thread.task = 21;
	event from_thread = generate(20, SIGUSR2, 2, 20, INFO_GIVEN, SI_USER);
	from_thread.other = 21;
	run << fork(20, 21, true) << fork(20, 22)
	    << generate(20, SIGUSR1, 0, 22) << took << to_thread << from_thread
	    << exit(21, 20, 0, 0, false) << exit(20, 20, 3 << 8);
	std::vector<std::string> lines = run.lines();
	expect("a new thread", lines[0], "process 20 starts thread 21");
	expect("to the process", lines[2],
	       "process 20 SIGUSR1 pending from its child 22, to the process");
	expect("taken by another thread", lines[3],
	       "thread 21 SIGUSR1 taken by rt_sigtimedwait (sigwait, "
	       "sigwaitinfo, sigtimedwait), sent by its child 22");
	expect("from the main thread to another", lines[4],
	       "thread 21 SIGUSR2 pending from its main thread by tgkill, to "
	       "thread 21");
	expect("from another thread to the process", lines[5],
	       "process 20 SIGUSR2 merged from its thread 21, to the process");
	expect("a thread's end", lines[6], "thread 21 ends");
	expect("the process's end", lines[7],
	       "process 20 exits with status 3; still pending: none; "
	       "blocked: none");
}

// A fatal default: the kernel's SIGKILL to each thread tells of the
// signal that ends the process, once, and it is pending no more.
void
deaths()
{
	Run run;
	event kill1 = record(EVENT_DELIVER, 30, 30, SIGKILL);
	kill1.info = INFO_NONE;
	kill1.code = SIGTERM;
	event kill2 = kill1;
	kill2.task = 31;
	run << fork(30, 31, true) << generate(30, SIGTERM, 0, 99) << kill1
	    << kill2 << exit(31, 30, SIGTERM, 1ULL << (SIGTERM - 1), false)
	    << exit(30, 30, SIGTERM, 1ULL << (SIGTERM - 1));
	std::vector<std::string> lines = run.lines(true);
	expect("the signal that ends it", lines[2],
	       "process 30 SIGTERM delivered to its default action: the "
	       "process ends, sent by kill 99");
	expect("ends once", lines[3], "thread 31 ends");
	expect(
	    "killed", lines[4],
	    "process 30 killed by SIGTERM; still pending: none; blocked: none");
	expect("no SIGKILL counted", lines[6],
	       "process 30 SIGTERM: sent 1, pending 1, delivered 1");

	Run core;
	core << deliver(40, 40, SIGSEGV, 0) << exit(40, 40, SIGSEGV | 0x80);
	expect("a core", core.lines()[1],
	       "process 40 killed by SIGSEGV (core dumped); still pending: "
	       "none; blocked: none");

	Run stop;
	stop << deliver(50, 50, SIGTSTP, 0) << generate(50, SIGCONT, 1, 99);
	std::vector<std::string> said = stop.lines();
	expect("stops", said[1], "process 50 stops");
	expect(
	    "continues", said[2],
	    "process 50 SIGCONT ignored from kill 99, and the process goes on");
	expect("goes on", said[3], "process 50 goes on");

	Run late;
	event dropped = generate(60, SIGINT, 1, 99);
	dropped.detail |= DETAIL_ENDING;
	late << dropped;
	expect("dropped", late.lines()[0],
	       "process 60 SIGINT dropped from kill 99, the process already "
	       "ending");
}

void
names()
{
	struct {
		int sig;
		const char *name;
	} const rt[] = {{SIGRTMIN, "SIGRTMIN"},
			{SIGRTMIN + 1, "SIGRTMIN+1"},
			{SIGRTMAX - 1, "SIGRTMAX-1"},
			{SIGRTMAX, "SIGRTMAX"},
			{SIGIO, "SIGIO"}};
	for (const auto &one : rt)
		expect("a signal's name", signame(one.sig), one.name);
	expect("nearly every signal",
	       sigset_names(~0ULL & ~(1ULL << 8) & ~(1ULL << 18)),
	       "every signal but SIGKILL SIGSTOP");
	expect("a few", sigset_names(1ULL << 9 | 1ULL << 13),
	       "SIGUSR1 SIGALRM");
	expect("none", sigset_names(0), "none");
}

void
json()
{
	Run run(true);
	clock_ns = 1000;
	event exec = record(EVENT_EXEC, 70, 70);
	std::memcpy(exec.comm, "a\"b\\\x01\xff", 6);
	event queued = generate(70, SIGUSR1, 0, 70, INFO_GIVEN, SI_QUEUE);
	queued.value = 7;
	run << exec << queued << deliver(70, 70, SIGUSR1)
	    << exit(70, 70, SIGSEGV | 0x80);
	std::vector<std::string> lines = run.lines(true);
	expect("exec", lines[0],
	       "{\"type\":\"exec\",\"us\":2,\"pid\":70,\"tid\":70,"
	       "\"program\":\"a\\\"b\\\\\\u0001\\ufffd\",\"blocked\":[]}");
	expect("signal", lines[1],
	       "{\"type\":\"signal\",\"us\":3,\"pid\":70,\"tid\":70,\"sig\":"
	       "\"SIGUSR1\",\"signo\":10,\"what\":\"pending\",\"to\":"
	       "\"process\",\"from\":{\"kind\":\"self\",\"pid\":70,\"tid\":70,"
	       "\"comm\":\"kill\"},\"code\":\"SI_QUEUE\",\"value\":7}");
	expect("delivered", lines[2],
	       "{\"type\":\"signal\",\"us\":4,\"pid\":70,\"tid\":70,\"sig\":"
	       "\"SIGUSR1\",\"signo\":10,\"what\":\"delivered\",\"from\":{"
	       "\"kind\":\"self\",\"pid\":70,\"tid\":70,\"comm\":\"kill\"},"
	       "\"queued_us\":3,\"code\":\"SI_USER\",\"action\":\"handler\","
	       "\"flags\":[],\"blocked\":[]}");
	expect("exit", lines[3],
	       "{\"type\":\"exit\",\"us\":5,\"pid\":70,\"tid\":70,\"signal\":"
	       "\"SIGSEGV\",\"core\":true,\"pending\":[],\"blocked\":[]}");
	expect("summary", lines[4].substr(0, 63),
	       "{\"type\":\"summary\",\"us\":5,\"pid\":0,\"tid\":0,\"lost\":0,"
	       "\"processes\":[");
}

// Handler runs, nested and ended by rt_sigreturn or by a long jump, and
// the blocked set as the task sets it.
void
runs()
{
	Run run;
	event exec = record(EVENT_EXEC, 80, 80);
	const std::uint64_t usr1 = 1ULL << (SIGUSR1 - 1);
	const std::uint64_t usr2 = 1ULL << (SIGUSR2 - 1);
	event outer = deliver(80, 80, SIGUSR1);
	event inner = deliver(80, 80, SIGUSR2);
	event back = record(EVENT_RETURN, 80, 80);
	event mask = record(EVENT_MASK, 80, 80);
	mask.result = SIG_SETMASK;
	outer.blocked = usr1;
	inner.blocked = usr1 | usr2;
	run << exec << outer << inner;
	back.blocked = usr1;
	run << back;
	mask.blocked = usr1; // no change: nothing said
	run << mask;
	mask.blocked = usr1 | usr2; // a change of the handler's own
	run << mask;
	event unblock = mask;
	unblock.result = SIG_UNBLOCK;
	unblock.blocked = 0; // the handler lets its own signal in
	run << unblock;
	mask.blocked = usr1; // and defers it again
	run << mask;
	mask.blocked = 0; // what the outer run interrupted: siglongjmp
	run << mask;
	mask.blocked = usr2; // and a change outside any run
	run << mask;
	std::vector<std::string> lines = run.lines();
	expect("nested: the inner returns first", lines[3],
	       "process 80 SIGUSR2 returns from its handler, after 0.001 ms; "
	       "blocked: SIGUSR1");
	expect("a handler's own mask", lines[4],
	       "process 80 blocks SIGUSR1 SIGUSR2");
	expect("a handler unblocking its own signal stays in it", lines[5],
	       "process 80 blocks no signal");
	expect("a long jump out of the outer", lines[7],
	       "process 80 SIGUSR1 leaves its handler by a long jump, after "
	       "0.003 ms; blocked: none");
	expect("a mask outside any run", lines[8], "process 80 blocks SIGUSR2");
	expect("nothing more", std::to_string(lines.size()), "9");
}

// Records the kernel side cannot send (a signal outside 1 to 64, an end
// by one) are passed over, with nothing shifted by them.
void
unsound()
{
	Run run;
	event exec = record(EVENT_EXEC, 70, 70);
	event none = deliver(70, 70, 0);
	event past = deliver(70, 70, 65);
	event mask = record(EVENT_MASK, 70, 70);
	mask.blocked = 1ULL << (SIGUSR1 - 1);
	run << exec << none << past << mask << exit(70, 70, 0x45);
	std::vector<std::string> lines = run.lines();
	expect("no signal 0 or 65, no handler run to end", lines[1],
	       "process 70 blocks SIGUSR1");
	expect("no end by signal 69", std::to_string(lines.size()), "2");
}

// An account written as JSON and read back tells what the records told.
void
again()
{
	char *json_text = nullptr;
	char *told = nullptr;
	char *again = nullptr;
	size_t json_size = 0;
	size_t told_size = 0;
	size_t again_size = 0;
	FILE *json_out = open_memstream(&json_text, &json_size);
	FILE *told_out = open_memstream(&told, &told_size);
	std::vector<std::unique_ptr<Writer>> both;
	both.push_back(json_writer(json_out));
	both.push_back(text_writer(told_out));
	std::unique_ptr<Writer> writer = all_of(std::move(both));
	Account account(0);
	std::vector<event> records;
	records.push_back(record(EVENT_EXEC, 90, 90));
	records.push_back(fork(90, 91));
	records.push_back(exit(91, 91, 0));
	records.push_back(generate(90, SIGCHLD, 0, 91, INFO_GIVEN, CLD_EXITED));
	records.push_back(generate(90, SIGUSR1, 0, 91));
	std::strcpy(records.back().comm, "a<b&\"c");
	records.push_back(generate(90, SIGUSR1, 2, 91));
	records.push_back(deliver(90, 90, SIGUSR1));
	records.push_back(record(EVENT_RETURN, 90, 90));
	records.push_back(exit(90, 90, 3 << 8, 1ULL << (SIGCHLD - 1)));

	writer->start("prog", 90);
	for (const event &each : records)
		for (const Event &made : account.decode(each))
			writer->event(made);
	writer->summary(account.summary());
	std::fclose(json_out);

	FILE *in = fmemopen(json_text, json_size, "r");
	FILE *again_out = open_memstream(&again, &again_size);
	std::unique_ptr<Writer> text = text_writer(again_out);
	std::string error;
	expect("read back", replay_json(in, *text, error) ? "yes" : error,
	       "yes");
	std::fclose(in);
	std::fclose(again_out);
	std::fclose(told_out);
	expect("told again, the same", std::string(again, again_size),
	       std::string(told, told_size));

	in = fmemopen(const_cast<char *>("{\"type\":\"start\",\"version\":1,"
					 "\"us\":0,\"pid\":1,\"tid\":1,"
					 "\"program\":\"p\"}\n{\"type\":"
					 "\"signal\",\"us\":\"x\"}\n"),
		      118, "r");
	FILE *nowhere = std::fopen("/dev/null", "w");
	std::unique_ptr<Writer> json_again = json_writer(nowhere);
	expect("a fault, by its line",
	       replay_json(in, *json_again, error) ? "" : error,
	       "line 2: us is not a whole number");
	std::fclose(in);
	std::fclose(nowhere);
	std::free(json_text);
	std::free(told);
	std::free(again);
}

} // namespace

int
main()
{
	senders();
	fates();
	threads();
	deaths();
	names();
	json();
	runs();
	unsound();
	again();
	std::printf("%d passed, %d failed\n", failures ? 0 : 1,
		    failures ? 1 : 0);
	return failures ? 1 : 0;
}

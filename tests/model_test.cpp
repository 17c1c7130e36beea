// SPDX-License-Identifier: ISC
// sigtrace's model, from kernel records made up here: the events it makes
// and the summary, field by field, as a recording writer keeps them.  No
// writer's words are read: a rewording breaks none of these.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "account.h"
#include "records.h"

using namespace sigtrace;

namespace
{

int failures = 0;

std::string
shown(const std::string &text)
{
	return text;
}

template <typename Number>
std::string
shown(Number number)
{
	return std::to_string(number);
}

template <typename Value>
void
expect(const char *what, const Value &got, const Value &want)
{
	if (got == want)
		return;
	std::printf("FAIL %s\n  got:  %s\n  want: %s\n", what,
		    shown(got).c_str(), shown(want).c_str());
	failures++;
}

std::uint64_t
bit(int sig)
{
	return 1ULL << (sig - 1);
}

// What the model made of the records: every event, and the summary.
struct Told {
	std::vector<Event> events;
	Summary end;
};

// A writer that only keeps what it is told.
class Recording : public Writer
{
      public:
	explicit Recording(Told &told) : told_(told)
	{
	}
	void
	start(const char * /*program*/, pid_t /*pid*/) override
	{
	}
	void
	event(const Event &ev) override
	{
		told_.events.push_back(ev);
	}
	void
	summary(const Summary &summary) override
	{
		told_.end = summary;
	}

      private:
	Told &told_;
};

// The last event of a type, of a task.
const Event &
last(const Told &run, Type type, pid_t tid)
{
	static const Event none;
	auto found = std::find_if(
	    run.events.rbegin(), run.events.rend(),
	    [&](const Event &ev) { return ev.type == type && ev.tid == tid; });
	return found != run.events.rend() ? *found : none;
}

Told
told(const std::vector<event> &records)
{
	Told run;
	Recording recording(run);
	Account account(0);
	for (const event &each : records)
		for (const Event &ev : account.decode(each))
			recording.event(ev);
	recording.summary(account.summary());
	return run;
}

// A blocked signal that a thread sends itself (raise, pthread_kill) waits
// on the thread's own queue: pending at its end, and gone with it, though
// the kernel may have emptied the queue by the time it tells of the end.
void
own_queue()
{
	event raised =
	    generate(10, SIGUSR1, 0, 10, INFO_GIVEN, SI_TKILL, false);
	Told alone =
	    told({record(EVENT_EXEC, 10, 10), raised, exit(10, 10, 0, 0)});
	expect("raised, pending at the end",
	       last(alone, Type::Exit, 10).pending, bit(SIGUSR1));
	expect("and in the summary", alone.end.processes.at(0).end.pending,
	       bit(SIGUSR1));

	event to_thread =
	    generate(10, SIGUSR2, 0, 10, INFO_GIVEN, SI_TKILL, false);
	to_thread.task = 11;
	Told threads =
	    told({record(EVENT_EXEC, 10, 10), fork(10, 11, true), to_thread,
		  exit(11, 10, 0, 0, false), exit(10, 10, 0, 0)});
	expect("a thread's own, at its end",
	       last(threads, Type::ThreadExit, 11).pending, bit(SIGUSR2));
	expect("gone with the thread", last(threads, Type::Exit, 10).pending,
	       std::uint64_t{0});
	expect("the sender's thread", threads.events.at(2).from.tid, pid_t{10});
	expect("to the thread", threads.events.at(2).tid, pid_t{11});
	expect("of a process with threads", threads.events.at(2).threaded,
	       true);
}

// A POSIX timer's signal carries the timer's sigev_value, delivered or
// taken, as sigqueue's does.
void
timer_value()
{
	event fired = generate(10, SIGRTMIN, 0, 0, INFO_GIVEN, SI_TIMER);
	fired.value = 42;
	event got = deliver(10, 10, SIGRTMIN);
	got.code = SI_TIMER;
	got.value = 42;
	got.overrun = 2;
	got.detail = DETAIL_GROUP;
	Told run = told({record(EVENT_EXEC, 10, 10), fired, got});
	const Event &pending = run.events.at(1);
	const Event &delivered = run.events.at(2);
	expect("sent by a POSIX timer", pending.from.kind == From::PosixTimer,
	       true);
	expect("with its value", pending.has_value, true);
	expect("the value", pending.value, std::uint64_t{42});
	expect("delivered with it", delivered.has_value, true);
	expect("its value", delivered.value, std::uint64_t{42});
	expect("and its overrun", delivered.overrun, 2);
}

// A delivery whose generation went unseen, as the kernel side may miss
// one: it was sent and made pending all the same, and the tally adds up.
void
unseen()
{
	event got = deliver(10, 10, SIGUSR1);
	got.code = SI_TIMER;
	Told run = told({record(EVENT_EXEC, 10, 10), got});
	const Event &delivered = run.events.at(1);
	const Tally &tally = run.end.processes.at(0).signals.at(SIGUSR1);
	expect("no sender known", delivered.has_from, false);
	expect("sent", tally.sent, std::uint64_t{1});
	expect("pending", tally.pending, std::uint64_t{1});
	expect("delivered", tally.delivered, std::uint64_t{1});
}

// A POSIX timer's signal that came while ignored, which the kernel kept
// and queued again once a handler was set (Linux 6.13 and later): made
// pending after all, sent by the timer, and ignored no more.
void
parked()
{
	event fired = generate(10, SIGUSR1, 1, 0, INFO_GIVEN, SI_TIMER);
	event got = deliver(10, 10, SIGUSR1);
	got.code = SI_TIMER;
	got.detail = DETAIL_GROUP;
	Told run = told({record(EVENT_EXEC, 10, 10), fired, got});
	const Event &delivered = run.events.at(2);
	const Tally &tally = run.end.processes.at(0).signals.at(SIGUSR1);
	expect("ignored as it came", run.events.at(1).what == What::Ignored,
	       true);
	expect("queued again", delivered.requeued, true);
	expect("by the timer", delivered.from.kind == From::PosixTimer, true);
	expect("sent once", tally.sent, std::uint64_t{1});
	expect("ignored no more", tally.ignored, std::uint64_t{0});
	expect("made pending", tally.pending, std::uint64_t{1});
}

// A POSIX timer's signal, pending as its timer is set anew or deleted, is
// withdrawn (Linux 6.13 and later), unless the timer expires again first,
// which makes it good; an exec throws away every timer's signal queued.
void
withdrawn()
{
	auto fired = [](int sig, int timer, int result = RESULT_QUEUED) {
		event ev = generate(10, sig, result, 0, INFO_GIVEN, SI_TIMER);
		ev.timer = timer;
		return ev;
	};
	auto call = [](int sig, int timer, int how) {
		event ev = record(EVENT_WITHDRAW, 10, 10, sig);
		ev.timer = timer;
		ev.result = how;
		return ev;
	};
	event exec = record(EVENT_EXEC, 10, 10);
	Told run =
	    told({record(EVENT_EXEC, 10, 10), fired(SIGUSR1, 1),
		  fired(SIGUSR1, 2), call(SIGUSR1, 2, WITHDRAW_SETTIME),
		  fired(SIGUSR1, 2, RESULT_ALREADY_PENDING),
		  call(SIGUSR1, 1, WITHDRAW_DELETE), fired(SIGUSR2, 3), exec});
	auto fate = [&](size_t at) {
		const Event &ev = run.events.at(at);
		return std::string(word(ev.what)) + " " + word(ev.by) + " " +
		       std::to_string(ev.from.timer);
	};
	expect("set anew: its own timer's", fate(3),
	       std::string("discarded timer_settime 2"));
	expect("made good by the next expiry", fate(4),
	       std::string("pending  2"));
	expect("deleted", fate(5), std::string("discarded timer_delete 1"));
	expect("an exec: the one made good", fate(7),
	       std::string("discarded exec 2"));
	expect("and another's", fate(8), std::string("discarded exec 3"));
	const auto &signals = run.end.processes.at(0).signals;
	expect("counted", signals.at(SIGUSR1).pending, std::uint64_t{3});
	expect("and thrown away", signals.at(SIGUSR1).discarded,
	       std::uint64_t{3});
	expect("none merged", signals.at(SIGUSR1).merged, std::uint64_t{0});
}

// A handler that sets back the whole mask it interrupted, as siglongjmp
// out of it does: a return shows it went on, and a stack back above the
// code it interrupted that it left by a long jump.
void
jumps()
{
	auto at = [](event ev, std::uint64_t sp) {
		ev.sp = sp;
		return ev;
	};
	event in = at(deliver(10, 10, SIGUSR1), 0x8000);
	in.blocked = bit(SIGUSR1);
	event back = at(record(EVENT_MASK, 10, 10), 0x7000);
	back.result = SIG_SETMASK;
	auto kinds = [](const Told &run) {
		std::string all;
		for (const Event &ev : run.events)
			all += std::string(word(ev.type)) +
			       (ev.jumped ? "(jumped) " : " ");
		return all;
	};
	Told returned =
	    told({record(EVENT_EXEC, 10, 10), in, back,
		  at(record(EVENT_RETURN, 10, 10), 0x7000), exit(10, 10, 0)});
	expect("set back, then returned", kinds(returned),
	       std::string("exec signal blocked return exit "));
	Told jumped = told({record(EVENT_EXEC, 10, 10), in, back,
			    at(exit(10, 10, 0), 0x9000)});
	expect("set back, then above", kinds(jumped),
	       std::string("exec signal return(jumped) exit "));
	Told deeper = told({record(EVENT_EXEC, 10, 10), in, back,
			    at(exit(10, 10, 0), 0x7800)});
	expect("set back, then below: cannot be told", kinds(deeper),
	       std::string("exec signal blocked exit "));
}

// A ptrace tracer takes each signal its task takes from its queue: one it
// gives back is delivered, counted once; one it keeps counts as taken, as
// the kernel side counts it.
void
held()
{
	event kept = record(EVENT_TAKE, 10, 10, SIGUSR1);
	kept.result = TAKE_TRACER;
	event back = record(EVENT_TAKE, 10, 10, SIGUSR2);
	back.result = TAKE_TRACER;
	Told run = told(
	    {record(EVENT_EXEC, 10, 10), generate(10, SIGUSR1, 0, 10), kept,
	     generate(10, SIGUSR2, 0, 10), back, deliver(10, 10, SIGUSR2)});
	const Event &delivered = run.events.at(5);
	const auto &signals = run.end.processes.at(0).signals;
	expect("taken by its tracer", run.events.at(2).by == By::Tracer, true);
	expect("given back", delivered.given_back, true);
	expect("sent by itself", delivered.from.kind == From::Self, true);
	expect("kept: taken", signals.at(SIGUSR1).taken, std::uint64_t{1});
	expect("given back: delivered", signals.at(SIGUSR2).delivered,
	       std::uint64_t{1});
	expect("and not taken", signals.at(SIGUSR2).taken, std::uint64_t{0});
	expect("made pending once", signals.at(SIGUSR2).pending,
	       std::uint64_t{1});
}

// Each event names its process as the model knows it: a child of a
// traced process, and the programs a wait is for.
void
labels()
{
	event forked = fork(10, 11);
	event exec = record(EVENT_EXEC, 11, 11);
	std::strcpy(exec.comm, "sleep");
	Told run = told({record(EVENT_EXEC, 10, 10), forked, exec,
			 generate(11, SIGTERM, 0, 10), exit(10, 10, 0)});
	expect("a child", last(run, Type::Signal, 11).is_child, true);
	expect("the parent sends",
	       last(run, Type::Signal, 11).from.kind == From::Parent, true);
	expect("the summary's child", run.end.processes.at(1).who.child, true);
	expect("its program", run.end.processes.at(1).who.program,
	       std::string("sleep"));
	expect("still running",
	       run.end.processes.at(1).standing == Standing::Running, true);
}

} // namespace

int
main()
{
	own_queue();
	timer_value();
	unseen();
	parked();
	held();
	withdrawn();
	jumps();
	labels();
	std::printf("%d passed, %d failed\n", failures ? 0 : 1,
		    failures ? 1 : 0);
	return failures ? 1 : 0;
}

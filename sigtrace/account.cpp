// SPDX-License-Identifier: ISC
/*
 * The kernel's records, decoded into sigtrace's model of the run.
 *
 * Each pending signal is followed from its generation to its fate: a
 * delivery, a taking by rt_sigtimedwait or a signalfd read, a discard, or
 * its process's end.  The queues follow the kernel's own: a thread takes
 * from its own queue first, then from its process's, oldest first.
 */
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "account.h"

namespace sigtrace
{

namespace
{

// A signal as a bit of a set: none, for a number that is no signal.
std::uint64_t
signal_bit(int sig)
{
	return sig >= 1 && sig <= 64 ? SIGNAL_BIT(sig) : 0;
}

bool
is_stop(int sig)
{
	return STOP_SIGNALS & signal_bit(sig);
}

// The action's handler ignores the signal, and so throws away every
// pending one (do_sigaction).
bool
ignores(std::uint64_t handler, int sig)
{
	return handler == reinterpret_cast<std::uintptr_t>(SIG_IGN) ||
	       (handler == reinterpret_cast<std::uintptr_t>(SIG_DFL) &&
		(IGNORED_SIGNALS & signal_bit(sig)));
}

// How a task ended, by its exit code.
void
set_end(Event &ev, int code)
{
	ev.killed_by = EXIT_SIGNAL(code);
	ev.core = EXIT_CORE(code);
	ev.status = EXIT_STATUS(code);
}

std::string
comm(const char (&text)[TASK_COMM_LEN])
{
	return std::string(text, strnlen(text, sizeof(text)));
}

// The kernel's reason, by the signal, for one of its own.
Sender
from_kernel(const event &record)
{
	Sender from;

	if (record.info == INFO_NONE) {
		// Raised on the task's own behalf, in a system call of its own.
		from.reason = record.sig == SIGPIPE   ? Reason::Pipe
			      : record.sig == SIGXFSZ ? Reason::FileSize
						      : Reason::None;
		return from;
	}
	switch (record.sig) {
	case SIGALRM:
	case SIGVTALRM:
	case SIGPROF:
		from.kind = From::Timer;
		break;
	case SIGXCPU:
		from.reason = Reason::CpuLimit;
		break;
	case SIGINT:
	case SIGQUIT:
	case SIGTSTP:
		from.kind = From::Terminal;
		from.reason = Reason::Key;
		break;
	case SIGWINCH:
		from.kind = From::Terminal;
		from.reason = Reason::Resize;
		break;
	case SIGTTIN:
	case SIGTTOU:
		from.kind = From::Terminal;
		from.reason = Reason::Background;
		break;
	case SIGHUP:
		from.kind = From::Terminal;
		from.reason = Reason::Hangup;
		break;
	case SIGCHLD:
		if (record.code >= CLD_EXITED && record.code <= CLD_CONTINUED) {
			// The child tells of itself, running as it ends,
			// stops or goes on.
			from.reason = static_cast<Reason>(
			    static_cast<int>(Reason::ChildExited) +
			    record.code - CLD_EXITED);
			from.child = record.other_process;
		}
		break;
	case SIGSEGV:
	case SIGBUS:
	case SIGFPE:
	case SIGILL:
	case SIGTRAP:
		from.reason = Reason::Fault;
		break;
	case SIGSYS:
		from.reason = Reason::Seccomp;
		break;
	}
	return from;
}

// Whether an exit code ends by no signal or by one from 1 to 64.
bool
sound_end(int code)
{
	return EXIT_SIGNAL(code) <= 64;
}

// Whether the kernel side could have sent it: a signal from 1 to 64,
// an end by none or by one of them.  Nothing else is read.
bool
sound(const event &record)
{
	bool has_sig =
	    record.kind == EVENT_GENERATE || record.kind == EVENT_DELIVER ||
	    record.kind == EVENT_TAKE || record.kind == EVENT_SIGACTION ||
	    record.kind == EVENT_WITHDRAW;
	bool has_end = record.kind == EVENT_EXIT ||
		       (record.kind == EVENT_DELIVER && record.sig == SIGKILL &&
			record.info == INFO_NONE);
	return (!has_sig || (record.sig >= 1 && record.sig <= 64)) &&
	       (!has_end || sound_end(record.code));
}

// Whether a signal's information carries a value of the sender's:
// sigqueue's, a POSIX timer's sigev_value or a message queue's.
bool
carries_value(int code)
{
	return code == SI_QUEUE || code == SI_TIMER || code == SI_MESGQ;
}

// The signals a task's own queue holds.
std::uint64_t
own_pending(Process &proc, pid_t tid)
{
	std::uint64_t set = 0;
	auto queues = proc.thread_queued.find(tid);
	if (queues != proc.thread_queued.end())
		for (const auto &[sig, queue] : queues->second)
			if (!queue.empty())
				set |= 1ULL << (sig - 1);
	return set;
}

// The tally of a signal that a delivery or a taking ends.  One whose
// generation went unseen was sent and made pending all the same, and one
// kept while ignored was made pending after all, as the kernel side
// counts them.
Tally &
took(Tally &tally, const Event &fate)
{
	if (fate.given_back)
		return tally; // its taking counted it
	if (!fate.has_from) {
		tally.sent++;
		tally.pending++;
	} else if (fate.requeued) {
		tally.ignored--;
		tally.pending++;
	}
	return tally;
}

// A process's counts, as they come out at the end: what a tracer holds
// still, it took.
std::map<int, Tally>
at_end(const Process &proc)
{
	std::map<int, Tally> signals = proc.signals;
	for (const auto &[sig, held] : proc.held)
		signals[sig].taken += held.size();
	return signals;
}

// Whether one of the signal is pending anywhere in the process.
bool
is_queued(Process &proc, int sig)
{
	bool queued = !proc.queued[sig].empty();
	for (auto &[tid, queues] : proc.thread_queued)
		queued = queued || !queues[sig].empty();
	return queued;
}

// A queued instance, thrown away by what at an event.
Event
thrown_away(Event queued, const Event &at, By by)
{
	queued.queued_us = queued.us;
	queued.us = at.us;
	queued.tid = at.tid;
	queued.what = What::Discarded;
	queued.by = by;
	return queued;
}

// A run's end where a long jump out of it set its mask back: the mask's
// event, told as the run's return.
Event
left_by_jump(Event mask, const Run &run)
{
	mask.type = Type::Return;
	mask.sig = run.sig;
	mask.has_ran = true;
	mask.ran_us = mask.us - run.us;
	mask.jumped = true;
	return mask;
}

// A process's end: the signal that ended it was delivered, though the
// kernel leaves it in the set it had.
Event
finished(Process &proc, Event exit)
{
	int sig = exit.killed_by;
	if (sig && !is_queued(proc, sig))
		exit.pending &= ~(1ULL << (sig - 1));
	return exit;
}

} // namespace

Action
default_action(int sig)
{
	if (is_stop(sig))
		return Action::Stop;
	if (sig == SIGCONT)
		return Action::Continue;
	if (IGNORED_SIGNALS & signal_bit(sig))
		return Action::Ignore;
	switch (sig) {
	case SIGQUIT:
	case SIGILL:
	case SIGTRAP:
	case SIGABRT:
	case SIGBUS:
	case SIGFPE:
	case SIGSEGV:
	case SIGXCPU:
	case SIGXFSZ:
	case SIGSYS:
		return Action::Core;
	}
	return Action::Terminate;
}

namespace
{

std::string
name_of(int sig)
{
	char text[32];

	// glibc calls signal 29 by its System V name.
	if (sig == SIGIO)
		return "SIGIO";
	if (sig >= SIGRTMIN && sig <= SIGRTMAX) {
		// As kill -l numbers them, from whichever end is nearer.
		if (sig == SIGRTMIN || sig == SIGRTMAX)
			return sig == SIGRTMIN ? "SIGRTMIN" : "SIGRTMAX";
		if (sig - SIGRTMIN <= (SIGRTMAX - SIGRTMIN) / 2)
			std::snprintf(text, sizeof(text), "SIGRTMIN+%d",
				      sig - SIGRTMIN);
		else
			std::snprintf(text, sizeof(text), "SIGRTMAX-%d",
				      SIGRTMAX - sig);
		return text;
	}
	const char *name =
	    sig > 0 && sig < SIGRTMIN ? sigabbrev_np(sig) : nullptr;
	if (name)
		return std::string("SIG") + name;
	std::snprintf(text, sizeof(text), "signal %d", sig);
	return text;
}

} // namespace

std::string
signame(int sig)
{
	// Every event names its signal: the names of those that can be
	// sent are made once.
	static const std::vector<std::string> names = [] {
		std::vector<std::string> all;
		for (int each = 0; each <= 64; each++)
			all.push_back(name_of(each));
		return all;
	}();
	return sig >= 0 && sig <= 64 ? names[static_cast<size_t>(sig)]
				     : name_of(sig);
}

std::string
code_name(int sig, int code)
{
	struct Code {
		int sig; // 0: any
		int code;
		const char *name;
	};
	static const Code codes[] = {
	    {0, SI_USER, "SI_USER"},
	    {0, SI_KERNEL, "SI_KERNEL"},
	    {0, SI_QUEUE, "SI_QUEUE"},
	    {0, SI_TIMER, "SI_TIMER"},
	    {0, SI_MESGQ, "SI_MESGQ"},
	    {0, SI_ASYNCIO, "SI_ASYNCIO"},
	    {0, SI_SIGIO, "SI_SIGIO"},
	    {0, SI_TKILL, "SI_TKILL"},
	    {0, SI_ASYNCNL, "SI_ASYNCNL"},
	    {SIGILL, ILL_ILLOPC, "ILL_ILLOPC"},
	    {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"},
	    {SIGILL, ILL_ILLADR, "ILL_ILLADR"},
	    {SIGILL, ILL_ILLTRP, "ILL_ILLTRP"},
	    {SIGILL, ILL_PRVOPC, "ILL_PRVOPC"},
	    {SIGILL, ILL_PRVREG, "ILL_PRVREG"},
	    {SIGILL, ILL_COPROC, "ILL_COPROC"},
	    {SIGILL, ILL_BADSTK, "ILL_BADSTK"},
	    {SIGFPE, FPE_INTDIV, "FPE_INTDIV"},
	    {SIGFPE, FPE_INTOVF, "FPE_INTOVF"},
	    {SIGFPE, FPE_FLTDIV, "FPE_FLTDIV"},
	    {SIGFPE, FPE_FLTOVF, "FPE_FLTOVF"},
	    {SIGFPE, FPE_FLTUND, "FPE_FLTUND"},
	    {SIGFPE, FPE_FLTRES, "FPE_FLTRES"},
	    {SIGFPE, FPE_FLTINV, "FPE_FLTINV"},
	    {SIGFPE, FPE_FLTSUB, "FPE_FLTSUB"},
	    {SIGSEGV, SEGV_MAPERR, "SEGV_MAPERR"},
	    {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"},
	    {SIGBUS, BUS_ADRALN, "BUS_ADRALN"},
	    {SIGBUS, BUS_ADRERR, "BUS_ADRERR"},
	    {SIGBUS, BUS_OBJERR, "BUS_OBJERR"},
	    {SIGTRAP, TRAP_BRKPT, "TRAP_BRKPT"},
	    {SIGTRAP, TRAP_TRACE, "TRAP_TRACE"},
	    {SIGCHLD, CLD_EXITED, "CLD_EXITED"},
	    {SIGCHLD, CLD_KILLED, "CLD_KILLED"},
	    {SIGCHLD, CLD_DUMPED, "CLD_DUMPED"},
	    {SIGCHLD, CLD_TRAPPED, "CLD_TRAPPED"},
	    {SIGCHLD, CLD_STOPPED, "CLD_STOPPED"},
	    {SIGCHLD, CLD_CONTINUED, "CLD_CONTINUED"},
	    {SIGIO, POLL_IN, "POLL_IN"},
	    {SIGIO, POLL_OUT, "POLL_OUT"},
	    {SIGIO, POLL_MSG, "POLL_MSG"},
	    {SIGIO, POLL_ERR, "POLL_ERR"},
	    {SIGIO, POLL_PRI, "POLL_PRI"},
	    {SIGIO, POLL_HUP, "POLL_HUP"},
	    {SIGSYS, 1, "SYS_SECCOMP"},
	};
	// Codes above 0 but SI_KERNEL's are the signal's own.
	const Code *found = std::find_if(
	    std::begin(codes), std::end(codes), [&](const Code &known) {
		    return known.code == code &&
			   (known.sig == sig ||
			    (known.sig == 0 &&
			     (code <= 0 || code == SI_KERNEL)));
	    });
	return found != std::end(codes) ? found->name : std::to_string(code);
}

std::vector<const char *>
flag_names(std::uint64_t flags)
{
	static const std::pair<unsigned long, const char *> known[] = {
	    {SA_SIGINFO, "SA_SIGINFO"},	    {SA_ONSTACK, "SA_ONSTACK"},
	    {SA_RESTART, "SA_RESTART"},	    {SA_NODEFER, "SA_NODEFER"},
	    {SA_RESETHAND, "SA_RESETHAND"},
	};
	std::vector<const char *> names;

	for (const auto &[flag, name] : known)
		if (flags & flag)
			names.push_back(name);
	return names;
}

const Process *
Account::find(pid_t pid) const
{
	if (last_ && last_->pid == pid)
		return last_;
	auto it = processes_.find(pid);
	return it == processes_.end() ? nullptr : &it->second;
}

Who
Account::who(pid_t pid) const
{
	const Process *proc = find(pid);
	return {pid, proc && proc->parent, proc ? proc->program : ""};
}

Process &
Account::process_of(pid_t pid)
{
	// Records come in runs from one process; its place in the map never
	// moves, as nothing is taken out of it.
	if (last_ && last_->pid == pid)
		return *last_;
	auto [it, added] = processes_.try_emplace(pid);
	if (added) {
		it->second.pid = pid;
		order_.push_back(pid);
	}
	last_ = &it->second;
	return it->second;
}

std::uint64_t
Account::time(std::uint64_t ns)
{
	// The clock is read on each CPU; a moment's difference between them
	// must not make a time before the start, or before the last.
	std::uint64_t us = ns > origin_ ? (ns - origin_) / 1000 : 0;
	if (us < last_us_)
		us = last_us_;
	return last_us_ = us;
}

Event
Account::base(Type type, const event &record)
{
	Event ev;

	ev.type = type;
	ev.us = time(record.time);
	ev.pid = record.process;
	ev.tid = record.task;
	return ev;
}

void
Account::emit(Event &&event)
{
	note(event);
	made_.push_back(std::move(event));
}

// What an event says of its process, whether the model made it or read
// it back; and what it says of the processes it names, as the model
// knows them.
void
Account::note(Event &ev)
{
	last_us_ = std::max(last_us_, ev.us);
	// A loss is told of a process known, where there is one: it makes
	// none.
	Process *proc = ev.type != Type::Lost ? &process_of(ev.pid) : nullptr;
	switch (ev.type) {
	case Type::Exec:
		ev.first = !proc->started;
		proc->started = true;
		proc->program = ev.comm;
		break;
	case Type::Untraced:
		proc->untraced = true;
		break;
	case Type::Fork: {
		// The child's id is its process's: it is the child's first
		// task.
		Process &child = process_of(ev.child);
		child.parent = ev.pid;
		child.program = process_of(ev.pid).program;
		break;
	}
	case Type::Thread:
		proc->threads.push_back(ev.child);
		break;
	case Type::Exit:
		proc->ended = true;
		proc->end = ev;
		break;
	case Type::Lost:
		lost_marked_ += ev.lost;
		lost_total_ = std::max(lost_total_, lost_marked_);
		break;
	case Type::Signal:
		if (ev.from.child) {
			const Process *child = find(ev.from.child);
			ev.from.child_traced = child && child->parent;
		}
		break;
	case Type::Waiting:
		std::transform(
		    ev.waiting.begin(), ev.waiting.end(), ev.waiting.begin(),
		    [this](const Who &each) { return who(each.pid); });
		break;
	default:
		break;
	}
	const Process *of = proc ? proc : find(ev.pid);
	ev.is_child = of && of->parent;
	ev.threaded = of && !of->threads.empty();
}

// Who sent it: the signal's code says whether a process did, and then it
// is the task that was running.
Sender
Account::sender(const event &record, pid_t pid)
{
	if (record.info != INFO_GIVEN || record.code > 0)
		return from_kernel(record);
	Sender from;
	if (record.code == SI_TIMER) {
		from.kind = From::PosixTimer;
		from.timer = record.timer;
		return from;
	}
	if (record.code != SI_USER && record.code != SI_QUEUE &&
	    record.code != SI_TKILL && record.code != SI_MESGQ)
		return from; // the kernel, for another's sake
	const Process *by = find(record.other_process);
	from.pid = record.other_process;
	from.tid = record.other;
	from.comm = comm(record.comm);
	if (from.pid == pid)
		from.kind = From::Self;
	else if (process_of(pid).parent == from.pid)
		from.kind = From::Parent;
	else if (by && by->parent == pid)
		from.kind = From::Child;
	else
		from.kind = From::Process;
	return from;
}

void
Account::discard(Process &proc, int sig, By by, const Event &at)
{
	auto throw_away = [&](Queue &queue) {
		for (const Event &ev : queue) {
			proc.signals[sig].discarded++;
			emit(thrown_away(ev, at, by));
		}
		queue.clear();
	};
	throw_away(proc.queued[sig]);
	for (auto &[tid, queues] : proc.thread_queued)
		throw_away(queues[sig]);
}

// The generation that a delivery or a taking ends, from the queue that
// the kernel names, or else as the kernel looks: the thread's, then the
// process's.  A POSIX timer's signal that none of them holds may be one
// that the kernel kept while it was ignored and queued again once it was
// not (Linux 6.13 and later).
Event
Account::dequeue(Process &proc, pid_t tid, int sig, bool shared,
		 const event &record)
{
	Queue *queues[] = {&proc.thread_queued[tid][sig], &proc.queued[sig]};
	if (shared)
		std::swap(queues[0], queues[1]);
	Event ev = base(Type::Signal, record);
	ev.sig = sig;
	auto **found = std::find_if(std::begin(queues), std::end(queues),
				    [](auto *each) { return !each->empty(); });
	Queue *queue = found != std::end(queues) ? *found : nullptr;
	Queue &parked = proc.parked[sig];
	if (!queue && record.info == INFO_GIVEN && record.code == SI_TIMER &&
	    !parked.empty()) {
		ev.requeued = true;
		queue = &parked;
	}
	ev.has_from = queue != nullptr;
	if (queue) {
		ev.from = queue->front().from;
		ev.queued_us = queue->front().us;
		ev.to_process = queue->front().to_process;
		queue->pop_front();
	}
	return ev;
}

// One that a ptrace tracer took, given back to its process: it tells
// who sent it, and its taking counted it.
Event
Account::given_back(Process &proc, int sig, const event &record)
{
	Queue &held = proc.held[sig];
	Event ev = base(Type::Signal, record);

	ev.sig = sig;
	ev.given_back = true;
	ev.has_from = held.front().has_from;
	ev.from = held.front().from;
	ev.queued_us = held.front().queued_us;
	ev.to_process = held.front().to_process;
	held.pop_front();
	return ev;
}

namespace
{

// What a generation did, as the kernel side counts it: the first signal
// queued without its information is made pending, any later one merges;
// a timer's signal withdrawn but still queued is made good by its
// timer's next expiry, as if queued anew.
int
outcome(Process &proc, const Event &ev, const event &record)
{
	int timer = ev.from.kind == From::PosixTimer ? ev.from.timer : -1;

	if (record.result == RESULT_LOSE_INFO && is_queued(proc, record.sig))
		return RESULT_ALREADY_PENDING;
	if (record.result == RESULT_QUEUED)
		proc.withdrawn.erase(timer);
	else if (record.result == RESULT_ALREADY_PENDING &&
		 proc.withdrawn.erase(timer))
		return RESULT_QUEUED;
	return record.result;
}

} // namespace

void
Account::generate(const event &record)
{
	Process &proc = process_of(record.process);
	Tally &tally = proc.signals[record.sig];
	Event ev = base(Type::Signal, record);
	bool dropped = record.detail & DETAIL_ENDING;

	ev.sig = record.sig;
	ev.to_process = record.detail & DETAIL_GROUP;
	ev.from = sender(record, record.process);
	ev.has_code = record.info == INFO_GIVEN;
	ev.code = record.code;
	ev.has_value = record.info == INFO_GIVEN && carries_value(record.code);
	ev.value = record.value;
	// SIGCONT throws away every pending stop signal, and a stop signal
	// every pending SIGCONT, whatever becomes of them (prepare_signal).
	if (!dropped && record.sig == SIGCONT) {
		for (int sig : {SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU})
			discard(proc, sig, By::Sigcont, ev);
	} else if (!dropped && is_stop(record.sig))
		discard(proc, SIGCONT, By::Stop, ev);

	tally.sent++;
	if (dropped) {
		ev.what = What::Dropped;
		tally.dropped++;
	} else
		switch (outcome(proc, ev, record)) {
		case RESULT_QUEUED:
		case RESULT_LOSE_INFO: // the first, without its information
			ev.what = What::Pending;
			tally.pending++;
			(ev.to_process
			     ? proc.queued
			     : proc.thread_queued[record.task])[record.sig]
			    .push_back(ev);
			break;
		case RESULT_IGNORED:
			ev.what = What::Ignored;
			tally.ignored++;
			if (ev.from.kind == From::PosixTimer)
				proc.parked[record.sig].push_back(ev);
			break;
		case RESULT_ALREADY_PENDING: // or without its information, as
					     // the kernel side counts it
			ev.what = What::Merged;
			tally.merged++;
			break;
		default:
			ev.what = What::Lost;
			tally.lost++;
			break;
		}
	bool continues = record.sig == SIGCONT && !dropped && proc.stopped;
	ev.continues = continues;
	emit(std::move(ev));
	if (continues) {
		proc.stopped = false;
		emit(base(Type::Continue, record));
	}
}

void
Account::deliver(const event &record)
{
	Process &proc = process_of(record.process);
	int sig = record.sig;

	if (sig == SIGKILL && record.info == INFO_NONE) {
		// The kernel ends the process, by a SIGKILL of its own to each
		// thread: what it tells is the signal that ends it, once.
		int ends_it = EXIT_SIGNAL(record.code);
		if (proc.ending || !ends_it)
			return; // or an exit or exec of another thread
		proc.ending = true;
		Event ev = dequeue(proc, record.task, ends_it, true, record);
		ev.what = What::Delivered;
		ev.action = ends_it == SIGKILL ? Action::Terminate
					       : default_action(ends_it);
		proc.signals[ends_it].delivered++;
		emit(std::move(ev));
		return;
	}
	Event ev = proc.held[sig].empty()
		       ? dequeue(proc, record.task, sig,
				 record.detail & DETAIL_GROUP, record)
		       : given_back(proc, sig, record);
	ev.what = What::Delivered;
	ev.has_code = record.info == INFO_GIVEN;
	ev.code = record.code;
	ev.has_value = ev.has_code && carries_value(record.code);
	ev.has_overrun = ev.has_code && record.code == SI_TIMER;
	ev.value = record.value;
	ev.overrun = record.overrun;
	if (record.handler == reinterpret_cast<std::uintptr_t>(SIG_DFL))
		ev.action = default_action(sig);
	else if (record.handler == reinterpret_cast<std::uintptr_t>(SIG_IGN))
		ev.action = Action::Ignore;
	else {
		Task &task = proc.tasks[record.task];
		ev.action = Action::Handler;
		ev.flags = record.flags;
		ev.has_blocked = true;
		ev.blocked = record.blocked;
		task.runs.push_back({sig, ev.us, task.blocked, record.sp});
		task.has_blocked = true;
		task.blocked = record.blocked;
	}
	took(proc.signals[sig], ev).delivered++;
	Action action = ev.action;
	emit(std::move(ev));
	if (action == Action::Stop && !proc.stopped) {
		proc.stopped = true;
		emit(base(Type::Stop, record));
	} else if (action == Action::Terminate || action == Action::Core)
		proc.ending = true;
}

void
Account::take(const event &record)
{
	Process &proc = process_of(record.process);
	Event ev = dequeue(proc, record.task, record.sig,
			   record.detail & DETAIL_GROUP, record);

	ev.what = What::Taken;
	ev.by = record.result == TAKE_TRACER	 ? By::Tracer
		: record.result == TAKE_SIGNALFD ? By::Signalfd
						 : By::Sigtimedwait;
	ev.has_code = record.info == INFO_GIVEN;
	ev.code = record.code;
	ev.has_value = ev.has_code && carries_value(record.code);
	ev.has_overrun = ev.has_code && record.code == SI_TIMER;
	ev.value = record.value;
	ev.overrun = record.overrun;
	Tally &tally = took(proc.signals[record.sig], ev);
	if (ev.by == By::Tracer)
		proc.held[record.sig].push_back(ev);
	else
		tally.taken++;
	emit(std::move(ev));
}

// A timer set anew or deleted while its signal was pending: the kernel
// throws that signal away, unseen, as the task would take it, unless the
// timer expires again first.
void
Account::withdraw(const event &record)
{
	Process &proc = process_of(record.process);
	auto of_timer = [&](const Event &each) {
		return each.from.kind == From::PosixTimer &&
		       each.from.timer == record.timer;
	};
	By by =
	    record.result == WITHDRAW_DELETE ? By::TimerDelete : By::TimerSet;
	Event at = base(Type::Signal, record);
	Event ev = at;
	bool found = proc.queued[record.sig].take_if(of_timer, ev);
	for (auto &[tid, queues] : proc.thread_queued)
		found = found || queues[record.sig].take_if(of_timer, ev);
	ev = thrown_away(ev, at, by);
	ev.sig = record.sig;
	ev.has_from = found;
	if (record.result == WITHDRAW_DELETE)
		proc.withdrawn.erase(record.timer);
	else
		proc.withdrawn.insert(record.timer);
	took(proc.signals[record.sig], ev).discarded++;
	emit(std::move(ev));
}

// An exec throws away every POSIX timer's signal still queued
// (flush_itimer_signals).
void
Account::flush_timers(Process &proc, const Event &at)
{
	auto timers = [](const Event &each) {
		return each.from.kind == From::PosixTimer;
	};
	auto flush = [&](std::map<int, Queue> &queues) {
		for (auto &[sig, queue] : queues)
			for (Event ev; queue.take_if(timers, ev);) {
				proc.signals[sig].discarded++;
				emit(thrown_away(ev, at, By::Exec));
			}
	};
	flush(proc.queued);
	for (auto &[tid, queues] : proc.thread_queued)
		flush(queues);
	proc.withdrawn.clear();
}

void
Account::sigaction(const event &record)
{
	if (ignores(record.handler, record.sig))
		discard(process_of(record.process), record.sig, By::SigIgn,
			base(Type::Signal, record));
}

void
Account::exit(const event &record)
{
	Process &proc = process_of(record.process);
	bool last = (record.detail & DETAIL_LAST) && !proc.ended;
	Event ev = base(last ? Type::Exit : Type::ThreadExit, record);

	set_end(ev, record.code);
	// The kernel may have emptied the task's own queue by the time it
	// tells of the end (Linux 6.18 does), but what it held was pending
	// still, and ends with the task.
	ev.pending = record.pending | own_pending(proc, record.task);
	ev.has_blocked = true;
	ev.blocked = record.blocked;
	emit(last ? finished(proc, ev) : std::move(ev));
	proc.thread_queued.erase(record.task);
}

// A handler's run ends where rt_sigreturn restores the mask it
// interrupted.
void
Account::handler_return(const event &record)
{
	Process &proc = process_of(record.process);
	Task &task = proc.tasks[record.task];
	Event ev = base(Type::Return, record);

	if (!task.runs.empty()) {
		ev.sig = task.runs.back().sig;
		ev.has_ran = true;
		ev.ran_us = ev.us - task.runs.back().us;
		task.runs.pop_back();
	}
	ev.has_blocked = true;
	ev.blocked = task.blocked = record.blocked;
	task.has_blocked = true;
	emit(std::move(ev));
}

void
Account::set_mask(const event &record)
{
	Process &proc = process_of(record.process);
	Task &task = proc.tasks[record.task];

	// Before the program's first exec the process sigtrace started runs
	// sigtrace's own code (a C library's fork may set the mask back in
	// the child): the mask is noted, not told.
	bool ours = !proc.started && !proc.parent;
	if (ours || (task.has_blocked && task.blocked == record.blocked)) {
		task.has_blocked = true;
		task.blocked = record.blocked;
		return;
	}
	Event ev = base(Type::Blocked, record);
	ev.has_blocked = true;
	ev.blocked = record.blocked;
	// siglongjmp out of a handler sets the whole mask back to the one the
	// handler interrupted, as a handler's own SIG_SETMASK may too.  Where
	// the stack pointers are known, the run is over when the task's stack
	// is back above the code it interrupted, and went on when it
	// returns; elsewhere it is read as over.  A signal blocked or
	// unblocked (SIG_BLOCK, SIG_UNBLOCK) is the handler's own doing.
	if (!task.runs.empty() && record.result == SIG_SETMASK) {
		const Run &run = task.runs.back();
		if (record.blocked == run.blocked_before &&
		    !(record.blocked & 1ULL << (run.sig - 1))) {
			if (run.sp && record.sp)
				task.jump = ev;
			else {
				ev = left_by_jump(std::move(ev), run);
				task.runs.pop_back();
			}
		}
	}
	task.has_blocked = true;
	task.blocked = record.blocked;
	if (!task.jump)
		emit(std::move(ev));
}

// A mask set back, held as it may be a long jump's: the task's next
// record with its stack pointer says, or its exec.  A return ends the
// run, which went on; a stack back above what the run interrupted shows
// it over without one.  Otherwise, as in a deeper call after the jump, or
// in the handler, it cannot be told: the mask is told as set, and the run
// left open.
void
Account::settle(const event &record)
{
	if (!record.sp && record.kind != EVENT_EXEC)
		return;
	auto proc = processes_.find(record.process);
	if (proc == processes_.end())
		return;
	auto found = proc->second.tasks.find(record.task);
	if (found == proc->second.tasks.end() || !found->second.jump)
		return;
	Task &task = found->second;
	Event ev = std::move(*task.jump);
	task.jump.reset();
	if (record.kind != EVENT_RETURN && record.kind != EVENT_EXEC &&
	    !task.runs.empty() && record.sp >= task.runs.back().sp) {
		ev = left_by_jump(std::move(ev), task.runs.back());
		task.runs.pop_back();
	}
	emit(std::move(ev));
}

const std::vector<Event> &
Account::decode(const event &record)
{
	made_.clear();
	if (record.lost) {
		Event gap = base(Type::Lost, record);
		gap.lost = record.lost;
		emit(std::move(gap));
	}
	if (!sound(record))
		return made_;
	settle(record);
	Process &proc = process_of(record.process);
	switch (record.kind) {
	case EVENT_EXEC: {
		Event ev = base(Type::Exec, record);
		ev.comm = comm(record.comm);
		ev.has_blocked = true;
		ev.blocked = record.blocked;
		// A new program runs no handler, and keeps the mask.
		proc.tasks[record.task] = {true, record.blocked, {}, {}};
		flush_timers(proc, ev);
		emit(std::move(ev));
		if (record.detail & DETAIL_PRIVILEGED)
			emit(base(Type::Untraced, record));
		break;
	}
	case EVENT_FORK: {
		bool thread = record.detail & DETAIL_THREAD;
		Event ev = base(thread ? Type::Thread : Type::Fork, record);
		ev.child = record.other;
		// The new task starts with its maker's mask, in no handler.
		Task made = proc.tasks[record.task];
		made.runs.clear();
		if (thread)
			proc.tasks[record.other] = made;
		else
			process_of(record.other_process).tasks[record.other] =
			    made;
		emit(std::move(ev));
		break;
	}
	case EVENT_GENERATE:
		generate(record);
		break;
	case EVENT_DELIVER:
		deliver(record);
		break;
	case EVENT_TAKE:
		take(record);
		break;
	case EVENT_SIGACTION:
		sigaction(record);
		break;
	case EVENT_EXIT:
		exit(record);
		break;
	case EVENT_RETURN:
		handler_return(record);
		break;
	case EVENT_MASK:
		set_mask(record);
		break;
	case EVENT_WITHDRAW:
		withdraw(record);
		break;
	}
	return made_;
}

void
Account::ended(pid_t pid, int wait_status)
{
	Process &proc = process_of(pid);

	if (proc.ended)
		return;
	proc.ended = true;
	proc.end = Event();
	proc.end.type = Type::Exit;
	proc.end.pid = proc.end.tid = pid;
	set_end(proc.end, wait_status);
}

void
Account::skipped(std::uint64_t n)
{
	skipped_ = n;
}

const std::vector<Event> &
Account::lost(std::uint64_t n)
{
	made_.clear();
	lost_total_ = n;
	if (n > lost_marked_) {
		Event gap;
		gap.type = Type::Lost;
		gap.us = last_us_;
		gap.lost = n - lost_marked_;
		// Told of the program, where no record says which.
		gap.pid = gap.tid = order_.empty() ? 0 : order_.front();
		emit(std::move(gap));
	}
	return made_;
}

bool
Account::adopt(pid_t pid, int sig, const Tally &tally)
{
	Process &proc = process_of(pid);
	const Tally counted = at_end(proc)[sig];
	bool same = true;
	auto mine = named(counted);
	auto kept = named(tally);
	for (size_t at = 0; at < mine.size(); at++)
		same = same && mine[at].second == kept[at].second;
	proc.signals[sig] = tally;
	proc.held[sig].clear(); // the kernel side's taken counts them
	return same;
}

void
Account::adopt_end(pid_t pid, int code, std::uint64_t pending,
		   std::uint64_t blocked)
{
	// Where the kernel side's end holds no signal that can be.
	if (!sound_end(code))
		return;
	Process &proc = process_of(pid);

	if (proc.ended)
		return;
	Event ev;
	ev.type = Type::Exit;
	ev.pid = ev.tid = pid;
	set_end(ev, code);
	ev.pending = pending;
	ev.has_blocked = true;
	ev.blocked = blocked;
	proc.ended = true;
	proc.end = finished(proc, ev);
}

const std::vector<Event> &
Account::waiting(std::uint64_t ns, const std::vector<pid_t> &pids)
{
	Event ev;

	made_.clear();
	ev.type = Type::Waiting;
	ev.us = time(ns);
	ev.pid = ev.tid = order_.empty() ? 0 : order_.front();
	for (pid_t pid : pids)
		ev.waiting.push_back({pid, false, ""});
	emit(std::move(ev));
	return made_;
}

const std::vector<Event> &
Account::replay(Event event)
{
	made_.clear();
	emit(std::move(event));
	return made_;
}

void
Account::replay_end(pid_t pid, const Event &end)
{
	Process &proc = process_of(pid);

	if (proc.ended)
		return;
	proc.ended = true;
	proc.end = end;
	proc.end.type = Type::Exit;
	proc.end.pid = proc.end.tid = pid;
}

void
Account::replay_summary(std::uint64_t lost, std::uint64_t skipped,
			const std::vector<pid_t> &order)
{
	lost_total_ = std::max(lost_total_, lost);
	skipped_ = skipped;
	for (pid_t pid : order)
		process_of(pid);
	order_ = order;
}

Summary
Account::summary() const
{
	Summary summary;

	summary.lost = lost_total_;
	summary.skipped = skipped_;
	for (pid_t pid : order_) {
		const Process &proc = processes_.at(pid);
		ProcessSummary each;
		each.who = who(pid);
		each.signals = at_end(proc);
		each.standing = proc.ended	? Standing::Ended
				: proc.untraced ? Standing::Untraced
						: Standing::Running;
		each.end = proc.end;
		summary.processes.push_back(std::move(each));
	}
	return summary;
}

} // namespace sigtrace

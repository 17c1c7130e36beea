// SPDX-License-Identifier: ISC
/*
 * The account as lines for a person: one per event, as it happens, with
 * its time in milliseconds and its process, then a summary per process.
 *
 * Each line is made in one Line that the writer keeps, and written
 * whole.
 */
#include <algorithm>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <string>

#include "writers.h"

namespace sigtrace
{

namespace
{

std::string
format(const char *format, ...)
{
	va_list args;
	va_list again;

	va_start(args, format);
	va_copy(again, args);
	// The analyzer loses va_start when it reads several files at once.
	// NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
	int length = std::vsnprintf(nullptr, 0, format, args);
	va_end(args);
	std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
	// Names may be long: the whole line, never cut.
	// NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
	std::vsnprintf(text.data(), text.size() + 1, format, again);
	va_end(again);
	return text;
}

// A number in at least width digits, as printf's %*llu or %0*llu.
void
add_padded(Line &out, unsigned long long number, size_t width, char fill)
{
	size_t from = out.size();
	out.number(number).align(from, width, fill);
}

// A process as the account names it.
void
add_who(Line &out, pid_t pid, bool child)
{
	out << (child ? "child " : "process ");
	out.number(pid);
}

// The process an event is of, or its thread.
void
add_task(Line &out, const Event &ev, bool whole)
{
	if (!whole && ev.tid && ev.tid != ev.pid) {
		out << "thread ";
		out.number(ev.tid);
	} else
		add_who(out, ev.pid, ev.is_child);
}

// The flags that change what a delivery does, in parentheses.
void
add_flags(Line &out, std::uint64_t flags)
{
	bool first = true;

	for (const char *name : flag_names(flags)) {
		out << (first ? " (" : " ");
		out << name;
		first = false;
	}
	if (!first)
		out << ')';
}

// What a fault's code says, in words.
const char *
fault(int sig, int code)
{
	struct Fault {
		int sig, code;
		const char *words;
	};
	static const Fault faults[] = {
	    {SIGSEGV, SEGV_MAPERR, "address not mapped"},
	    {SIGSEGV, SEGV_ACCERR, "no permission for the address"},
	    {SIGBUS, BUS_ADRALN, "misaligned address"},
	    {SIGBUS, BUS_ADRERR, "address past the end of the object"},
	    {SIGBUS, BUS_OBJERR, "hardware error"},
	    {SIGFPE, FPE_INTDIV, "integer divide by zero"},
	    {SIGFPE, FPE_INTOVF, "integer overflow"},
	    {SIGFPE, FPE_FLTDIV, "floating-point divide by zero"},
	    {SIGFPE, FPE_FLTOVF, "floating-point overflow"},
	    {SIGFPE, FPE_FLTUND, "floating-point underflow"},
	    {SIGFPE, FPE_FLTRES, "floating-point inexact result"},
	    {SIGFPE, FPE_FLTINV, "invalid floating-point operation"},
	    {SIGILL, ILL_ILLOPC, "illegal opcode"},
	    {SIGILL, ILL_ILLOPN, "illegal operand"},
	    {SIGILL, ILL_PRVOPC, "privileged opcode"},
	    {SIGTRAP, TRAP_BRKPT, "a breakpoint"},
	    {SIGTRAP, TRAP_TRACE, "a trace trap"},
	};
	const Fault *found = std::find_if(
	    std::begin(faults), std::end(faults), [&](const Fault &known) {
		    return known.sig == sig && known.code == code;
	    });
	return found != std::end(faults) ? found->words : nullptr;
}

void
add_kernel(Line &out, const Event &ev)
{
	static const char *child[] = {"ended",	 "was killed", "dumped core",
				      "trapped", "stopped",    "continued"};
	const Sender &from = ev.from;

	switch (from.reason) {
	case Reason::None:
		break;
	case Reason::Pipe:
		out << "the kernel: a write to a pipe or socket with no reader";
		return;
	case Reason::FileSize:
		out << "the kernel: a write past the file size limit";
		return;
	case Reason::CpuLimit:
		out << "the kernel: the CPU time limit";
		return;
	case Reason::Key:
		out << "the kernel: a key on the terminal";
		return;
	case Reason::Resize:
		out << "the kernel: the terminal's size changed";
		return;
	case Reason::Background:
		out << "the kernel: the terminal, used from the background";
		return;
	case Reason::Hangup:
		out << "the kernel: the terminal hung up";
		return;
	case Reason::ChildExited:
	case Reason::ChildKilled:
	case Reason::ChildDumped:
	case Reason::ChildTrapped:
	case Reason::ChildStopped:
	case Reason::ChildContinued:
		out << "the kernel: ";
		add_who(out, from.child, from.child_traced);
		out << ' ';
		out << child[static_cast<int>(from.reason) -
			     static_cast<int>(Reason::ChildExited)];
		return;
	case Reason::Fault: {
		static const char *what[] = {
		    "a bad memory access", "a bus error", "an arithmetic error",
		    "an illegal instruction", "a trap"};
		int which = ev.sig == SIGSEGV  ? 0
			    : ev.sig == SIGBUS ? 1
			    : ev.sig == SIGFPE ? 2
			    : ev.sig == SIGILL ? 3
					       : 4;
		const char *detail =
		    ev.has_code ? fault(ev.sig, ev.code) : nullptr;
		out << "the kernel: ";
		out << what[which];
		if (detail) {
			out << " (";
			out << detail;
			out << ')';
		}
		return;
	}
	case Reason::Seccomp:
		out << "the kernel: a forbidden system call";
		return;
	}
	out << "the kernel";
}

void
add_sender(Line &out, const Event &ev)
{
	const Sender &from = ev.from;

	switch (from.kind) {
	case From::Self:
		// Itself is the thread the line is of; another of its threads
		// is named.
		if (!ev.threaded || from.tid == (ev.tid ? ev.tid : ev.pid))
			out << "itself";
		else if (from.tid == ev.pid)
			out << "its main thread";
		else {
			out << "its thread ";
			out.number(from.tid);
		}
		return;
	case From::Parent:
		out << "its parent";
		return;
	case From::Child:
		out << "its child ";
		out.number(from.pid);
		return;
	case From::Process:
		out << printable(from.comm);
		out << ' ';
		out.number(from.pid);
		return;
	case From::Timer:
		out << "the kernel's timer";
		return;
	case From::PosixTimer:
		out << "a POSIX timer";
		return;
	case From::Kernel:
	case From::Terminal:
		break;
	}
	add_kernel(out, ev);
}

// How it was sent, where kill is not the whole story.
void
add_how(Line &out, const Event &ev)
{
	if (ev.has_code && ev.code == SI_TKILL)
		out << " by tgkill";
	if (ev.has_code && ev.code == SI_QUEUE)
		out << " by sigqueue";
	if (ev.has_value) {
		out << ", value ";
		out.number(static_cast<long long>(ev.value));
	}
	if (ev.has_overrun && ev.overrun) {
		out << ", overrun ";
		out.number(ev.overrun);
	}
}

void
add_action(Line &out, const Event &ev)
{
	switch (ev.action) {
	case Action::Handler:
		out << "to its handler";
		add_flags(out, ev.flags);
		return;
	case Action::Ignore:
		out << (default_action(ev.sig) == Action::Ignore
			    ? "to its default action, which ignores it"
			    : "and ignored");
		return;
	case Action::Stop:
		out << "to its default action: the process stops";
		return;
	case Action::Continue:
		out << "to its default action: the process goes on";
		return;
	case Action::Terminate:
		out << "to its default action: the process ends";
		return;
	case Action::Core:
		out << "to its default action: the process ends, and may "
		       "dump core";
		return;
	case Action::None:
		break;
	}
}

// A signal's name and a word, in the columns of the heading.
void
add_columns(Line &out, const std::string &name, const char *word)
{
	size_t from = out.size();
	out << name;
	out.pad(from, 8);
	out << ' ';
	from = out.size();
	out << word;
	out.pad(from, 9);
	out << "  ";
}

// What took a signal without a delivery, or threw it away.
const char *
by_words(By by)
{
	switch (by) {
	case By::Sigtimedwait:
		return "by rt_sigtimedwait (sigwait, sigwaitinfo, "
		       "sigtimedwait)";
	case By::Signalfd:
		return "by a read of a signalfd";
	case By::Tracer:
		return "by its tracer, as it stopped";
	case By::SigIgn:
		return "as its action became SIG_IGN";
	case By::Sigcont:
		return "by a SIGCONT";
	case By::Stop:
		return "by a stop signal";
	case By::TimerSet:
		return "as its timer was set anew (timer_settime)";
	case By::TimerDelete:
		return "as its timer was deleted (timer_delete)";
	case By::Exec:
		return "as the process ran a new program";
	case By::None:
		break;
	}
	return "";
}

// A signal's generation: who sent it, how and to what, and what more
// the kernel did with it.
void
add_generation(Line &out, const Event &ev)
{
	out << "from ";
	add_sender(out, ev);
	add_how(out, ev);
	if (ev.threaded) {
		if (ev.to_process)
			out << ", to the process";
		else {
			out << ", to thread ";
			out.number(ev.tid);
		}
	}
	if (ev.what == What::Lost)
		out << ", its queue being full";
	if (ev.what == What::Dropped)
		out << ", the process already ending";
	if (ev.continues)
		out << ", and the process goes on";
}

void
add_signal(Line &out, const Event &ev)
{
	add_columns(out, signame(ev.sig), word(ev.what));
	if (ev.what == What::Delivered)
		add_action(out, ev);
	else if (ev.what == What::Taken || ev.what == What::Discarded)
		out << by_words(ev.by);
	else {
		add_generation(out, ev);
		return;
	}
	if (ev.has_from) {
		out << ", sent by ";
		add_sender(out, ev);
		if (ev.requeued)
			out << ", kept while it was ignored";
	} else
		out << ", its sending unseen";
	if (ev.what != What::Discarded)
		add_how(out, ev);
	if (ev.given_back)
		out << ", given back by its tracer";
}

void
add_end(Line &out, const Event &end)
{
	if (end.killed_by) {
		out << "killed by ";
		out << signame(end.killed_by);
		if (end.core)
			out << " (core dumped)";
	} else {
		out << "exits with status ";
		out.number(end.status);
	}
	out << "; still pending: ";
	add_sigset_names(out, end.pending);
	out << "; blocked: ";
	add_sigset_names(out, end.blocked);
}

std::string
end_of(const Event &end)
{
	Line text;
	add_end(text, end);
	return text.str();
}

// A handler run's end, and how long it took.
void
add_return(Line &out, const Event &ev)
{
	add_columns(out, ev.sig ? signame(ev.sig) : std::string(),
		    ev.jumped ? "leaves" : "returns");
	out << (ev.jumped ? "its handler by a long jump" : "from its handler");
	if (ev.has_ran) {
		out << ", after ";
		out.number(static_cast<unsigned long long>(ev.ran_us / 1000));
		out << '.';
		add_padded(out, ev.ran_us % 1000, 3, '0');
		out << " ms";
	}
	out << "; blocked: ";
	add_sigset_names(out, ev.blocked);
}

void
add_waiting(Line &out, const Event &ev)
{
	add_padded(out, ev.us / 1000, 7, ' ');
	out << "  sigtrace: the program has ended; waiting for ";
	bool first = true;
	for (const Who &each : ev.waiting) {
		if (!first)
			out << ", ";
		first = false;
		add_who(out, each.pid, each.child);
		if (!each.program.empty()) {
			out << " (";
			out << printable(each.program);
			out << ')';
		}
	}
	out << " (^C ends the wait)";
}

class Text : public Writer
{
      public:
	explicit Text(FILE *out) : out_(out)
	{
	}

	void
	start(const char *program, pid_t /*pid*/) override
	{
		std::fprintf(out_,
			     "sigtrace: what the kernel did with the signals "
			     "of %s\n",
			     printable(program).c_str());
		std::fprintf(out_, "%7s  %-13s  %-8s %s\n", "ms", "process",
			     "signal", "what the kernel did");
	}

	void
	event(const Event &ev) override
	{
		line_.clear();
		add_line(line_, ev);
		line_ << '\n';
		std::fwrite(line_.data(), 1, line_.size(), out_);
	}

	void
	summary(const Summary &summary) override
	{
		std::fputs("summary:\n", out_);
		if (summary.lost)
			std::fprintf(
			    out_,
			    "  %llu events lost, the kernel's buffer "
			    "being full: the lines above leave them "
			    "out, the counts below do not\n",
			    static_cast<unsigned long long>(summary.lost));
		if (summary.skipped)
			std::fprintf(
			    out_,
			    "  %llu runs of sigtrace's hooks skipped by the "
			    "kernel, each begun while the same hook ran on its "
			    "CPU: what they saw is missing, from the lines "
			    "above and from the counts below\n",
			    static_cast<unsigned long long>(summary.skipped));
		for (const ProcessSummary &each : summary.processes)
			process(each);
	}

      private:
	void
	process(const ProcessSummary &proc)
	{
		Line who;
		add_who(who, proc.who.pid, proc.who.child);
		std::string name = who.str();

		for (const auto &[sig, n] : proc.signals) {
			std::string text = format("  %-13s  %s:", name.c_str(),
						  signame(sig).c_str());
			bool first = true;
			// Sent always, the rest where there are any.
			for (const auto &[kind, count] : named(n)) {
				if (count || first)
					text += format(
					    "%s %s %llu", first ? "" : ",",
					    kind,
					    static_cast<unsigned long long>(
						count));
				first = false;
			}
			std::fprintf(out_, "%s\n", text.c_str());
		}
		if (proc.signals.empty())
			std::fprintf(out_, "  %-13s  no signals\n",
				     name.c_str());
		std::fprintf(
		    out_, "  %-13s  %s\n", "",
		    proc.standing == Standing::Ended ? end_of(proc.end).c_str()
		    : proc.standing == Standing::Untraced ? "traced no more"
							  : "still running");
	}

	FILE *out_;
	Line line_; // the line being made, kept for the next
};

} // namespace

void
add_sigset_names(Line &out, std::uint64_t set)
{
	// A set of nearly every signal, as a thread holds while it ends,
	// reads better as the few it lacks.
	bool most = __builtin_popcountll(set) > 32;
	std::uint64_t listed = most ? ~set : set;

	if (most)
		out << (listed ? "every signal but " : "every signal");
	else if (!listed)
		out << "none";
	for (bool first = true; listed; listed &= listed - 1, first = false) {
		if (!first)
			out << ' ';
		out << signame(__builtin_ctzll(listed) + 1);
	}
}

std::string
sigset_names(std::uint64_t set)
{
	Line names;
	add_sigset_names(names, set);
	return names.str();
}

void
add_line(Line &out, const Event &ev)
{
	if (ev.type == Type::Waiting)
		return add_waiting(out, ev);
	bool whole = ev.type == Type::Exit || ev.type == Type::Stop ||
		     ev.type == Type::Continue;
	add_padded(out, ev.us / 1000, 7, ' ');
	out << "  ";
	size_t from = out.size();
	add_task(out, ev, whole);
	out.pad(from, 13);
	out << "  ";
	switch (ev.type) {
	case Type::Exec:
		out << (ev.first ? "starts " : "execs ");
		out << printable(ev.comm);
		break;
	case Type::Untraced:
		out << "gains privilege by that exec, and is traced no more";
		break;
	case Type::Fork:
		out << "forks child ";
		out.number(ev.child);
		break;
	case Type::Thread:
		out << "starts thread ";
		out.number(ev.child);
		break;
	case Type::Signal:
		add_signal(out, ev);
		break;
	case Type::Stop:
		out << "stops";
		break;
	case Type::Continue:
		out << "goes on";
		break;
	case Type::ThreadExit:
		out << "ends";
		break;
	case Type::Exit:
		add_end(out, ev);
		break;
	case Type::Lost:
		out.number(static_cast<unsigned long long>(ev.lost));
		out << " events lost here, the kernel's buffer being full";
		break;
	case Type::Waiting:
		break;
	case Type::Return:
		add_return(out, ev);
		break;
	case Type::Blocked:
		if (ev.blocked) {
			out << "blocks ";
			add_sigset_names(out, ev.blocked);
		} else
			out << "blocks no signal";
		break;
	}
}

std::string
line(const Event &ev)
{
	Line text;
	add_line(text, ev);
	return text.str();
}

std::unique_ptr<Writer>
text_writer(FILE *out)
{
	return std::make_unique<Text>(out);
}

} // namespace sigtrace

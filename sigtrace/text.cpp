// SPDX-License-Identifier: ISC
/*
 * The account as lines for a person: one per event, as it happens, with
 * its time in milliseconds and its process, then a summary per process.
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

// The process as the account names it, or its thread.
std::string
who(const Account &account, pid_t pid, pid_t tid = 0)
{
	const Process *proc = account.find(pid);

	if (tid && tid != pid)
		return "thread " + std::to_string(tid);
	return (proc && proc->parent ? "child " : "process ") +
	       std::to_string(pid);
}

// The flags that change what a delivery does, in parentheses.
std::string
flags_said(std::uint64_t flags)
{
	std::string names;

	for (const char *name : flag_names(flags))
		names += (names.empty() ? "" : " ") + std::string(name);
	return names.empty() ? "" : " (" + names + ")";
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

std::string
kernel(const Account &account, const Event &ev)
{
	static const char *child[] = {"ended",	 "was killed", "dumped core",
				      "trapped", "stopped",    "continued"};
	const Sender &from = ev.from;

	switch (from.reason) {
	case Reason::None:
		break;
	case Reason::Pipe:
		return "the kernel: a write to a pipe or socket with no reader";
	case Reason::FileSize:
		return "the kernel: a write past the file size limit";
	case Reason::CpuLimit:
		return "the kernel: the CPU time limit";
	case Reason::Key:
		return "the kernel: a key on the terminal";
	case Reason::Resize:
		return "the kernel: the terminal's size changed";
	case Reason::Background:
		return "the kernel: the terminal, used from the background";
	case Reason::Hangup:
		return "the kernel: the terminal hung up";
	case Reason::ChildExited:
	case Reason::ChildKilled:
	case Reason::ChildDumped:
	case Reason::ChildTrapped:
	case Reason::ChildStopped:
	case Reason::ChildContinued:
		return "the kernel: " + who(account, from.child) + " " +
		       child[static_cast<int>(from.reason) -
			     static_cast<int>(Reason::ChildExited)];
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
		return std::string("the kernel: ") + what[which] +
		       (detail ? std::string(" (") + detail + ")" : "");
	}
	case Reason::Seccomp:
		return "the kernel: a forbidden system call";
	}
	return "the kernel";
}

std::string
sender(const Account &account, const Event &ev)
{
	const Sender &from = ev.from;

	switch (from.kind) {
	case From::Self:
		return account.threaded(ev.pid) && from.tid != ev.pid
			   ? "its thread " + std::to_string(from.tid)
			   : "itself";
	case From::Parent:
		return "its parent";
	case From::Child:
		return "its child " + std::to_string(from.pid);
	case From::Process:
		return printable(from.comm) + " " + std::to_string(from.pid);
	case From::Timer:
		return "the kernel's timer";
	case From::PosixTimer:
		return "a POSIX timer";
	case From::Kernel:
	case From::Terminal:
		break;
	}
	return kernel(account, ev);
}

// How it was sent, where kill is not the whole story.
std::string
how(const Event &ev)
{
	std::string text;

	if (ev.has_code && ev.code == SI_TKILL)
		text += " by tgkill";
	if (ev.has_code && ev.code == SI_QUEUE)
		text += " by sigqueue";
	if (ev.has_value)
		text +=
		    format(", value %lld", static_cast<long long>(ev.value));
	if (ev.has_overrun && ev.overrun)
		text += format(", overrun %d", ev.overrun);
	return text;
}

std::string
action(const Event &ev)
{
	switch (ev.action) {
	case Action::Handler:
		return "to its handler" + flags_said(ev.flags);
	case Action::Ignore:
		return ev.sig == SIGCHLD || ev.sig == SIGURG ||
			       ev.sig == SIGWINCH
			   ? "to its default action, which ignores it"
			   : "and ignored";
	case Action::Stop:
		return "to its default action: the process stops";
	case Action::Continue:
		return "to its default action: the process goes on";
	case Action::Terminate:
		return "to its default action: the process ends";
	case Action::Core:
		return "to its default action: the process ends, and may "
		       "dump core";
	case Action::None:
		break;
	}
	return "";
}

std::string
signal_line(const Account &account, const Event &ev)
{
	std::string rest;

	switch (ev.what) {
	case What::Delivered:
		rest = action(ev);
		break;
	case What::Taken:
		rest = ev.by == By::Signalfd
			   ? "by a read of a signalfd"
			   : "by rt_sigtimedwait (sigwait, sigwaitinfo, "
			     "sigtimedwait)";
		break;
	case What::Discarded:
		rest = ev.by == By::SigIgn    ? "as its action became SIG_IGN"
		       : ev.by == By::Sigcont ? "by a SIGCONT"
					      : "by a stop signal";
		break;
	default:
		rest = "from " + sender(account, ev) + how(ev);
		if (account.threaded(ev.pid))
			rest += ev.to_process
				    ? ", to the process"
				    : ", to thread " + std::to_string(ev.tid);
		if (ev.what == What::Lost)
			rest += ", its queue being full";
		if (ev.what == What::Dropped)
			rest += ", the process already ending";
		if (ev.continues)
			rest += ", and the process goes on";
		return format("%-8s %-9s  %s", signame(ev.sig).c_str(),
			      what_name(ev.what), rest.c_str());
	}
	if (ev.has_from)
		rest += ", sent by " + sender(account, ev);
	if (ev.what != What::Discarded)
		rest += how(ev);
	return format("%-8s %-9s  %s", signame(ev.sig).c_str(),
		      what_name(ev.what), rest.c_str());
}

std::string
end_of(const Event &end)
{
	std::string text = end.killed_by
			       ? "killed by " + signame(end.killed_by) +
				     (end.core ? " (core dumped)" : "")
			       : format("exits with status %d", end.status);
	return text + "; still pending: " + sigset_names(end.pending) +
	       "; blocked: " + sigset_names(end.blocked);
}

// A handler run's end, and how long it took.
std::string
return_line(const Event &ev)
{
	std::string text =
	    ev.jumped ? "its handler by a long jump" : "from its handler";
	if (ev.has_ran)
		text +=
		    format(", after %llu.%03llu ms",
			   static_cast<unsigned long long>(ev.ran_us / 1000),
			   static_cast<unsigned long long>(ev.ran_us % 1000));
	return format("%-8s %-9s  %s; blocked: %s",
		      ev.sig ? signame(ev.sig).c_str() : "",
		      ev.jumped ? "leaves" : "returns", text.c_str(),
		      sigset_names(ev.blocked).c_str());
}

std::string
waiting(const Account &account, const Event &ev)
{
	std::string list;

	for (pid_t pid : ev.waiting) {
		const Process *proc = account.find(pid);
		list += (list.empty() ? "" : ", ") + who(account, pid);
		if (proc && !proc->program.empty())
			list += " (" + printable(proc->program) + ")";
	}
	return format("%7llu  sigtrace: the program has ended; waiting for %s "
		      "(^C ends the wait)",
		      static_cast<unsigned long long>(ev.us / 1000),
		      list.c_str());
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
	event(const Account &account, const Event &ev) override
	{
		std::fprintf(out_, "%s\n", line(account, ev).c_str());
	}

	void
	summary(const Account &account) override
	{
		std::fputs("summary:\n", out_);
		if (account.lost_total())
			std::fprintf(out_,
				     "  %llu events lost, the kernel's buffer "
				     "being full: the lines above leave them "
				     "out, the counts below do not\n",
				     static_cast<unsigned long long>(
					 account.lost_total()));
		for (pid_t pid : account.order())
			process(account, account.process(pid));
	}

      private:
	void
	process(const Account &account, const Process &proc)
	{
		std::string name = who(account, proc.pid);

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
		std::fprintf(out_, "  %-13s  %s\n", "",
			     proc.ended	     ? end_of(proc.end).c_str()
			     : proc.untraced ? "traced no more"
					     : "still running");
	}

	FILE *out_;
};

} // namespace

std::string
sigset_names(std::uint64_t set)
{
	std::string names;
	bool most = __builtin_popcountll(set) > 32;

	// A set of nearly every signal, as a thread holds while it ends,
	// reads better as the few it lacks.
	for (int sig = 1; sig <= 64; sig++)
		if (bool(set & 1ULL << (sig - 1)) != most)
			names += (names.empty() ? "" : " ") + signame(sig);
	if (most)
		return names.empty() ? "every signal"
				     : "every signal but " + names;
	return names.empty() ? "none" : names;
}

std::string
line(const Account &account, const Event &ev)
{
	std::string what;

	switch (ev.type) {
	case Type::Exec:
		what = (ev.first ? "starts " : "execs ") + printable(ev.comm);
		break;
	case Type::Untraced:
		what = "gains privilege by that exec, and is traced no more";
		break;
	case Type::Fork:
		what = "forks child " + std::to_string(ev.child);
		break;
	case Type::Thread:
		what = "starts thread " + std::to_string(ev.child);
		break;
	case Type::Signal:
		what = signal_line(account, ev);
		break;
	case Type::Stop:
		what = "stops";
		break;
	case Type::Continue:
		what = "goes on";
		break;
	case Type::ThreadExit:
		what = "ends";
		break;
	case Type::Exit:
		what = end_of(ev);
		break;
	case Type::Lost:
		what =
		    format("%llu events lost here, the kernel's buffer being "
			   "full",
			   static_cast<unsigned long long>(ev.lost));
		break;
	case Type::Waiting:
		return waiting(account, ev);
	case Type::Return:
		what = return_line(ev);
		break;
	case Type::Blocked:
		what = ev.blocked ? "blocks " + sigset_names(ev.blocked)
				  : std::string("blocks no signal");
		break;
	}
	bool whole = ev.type == Type::Exit || ev.type == Type::Stop ||
		     ev.type == Type::Continue;
	return format(
	    "%7llu  %-13s  %s", static_cast<unsigned long long>(ev.us / 1000),
	    who(account, ev.pid, whole ? 0 : ev.tid).c_str(), what.c_str());
}

std::unique_ptr<Writer>
text_writer(FILE *out)
{
	return std::make_unique<Text>(out);
}

} // namespace sigtrace

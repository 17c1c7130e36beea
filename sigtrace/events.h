// SPDX-License-Identifier: ISC
/*
 * What sigtrace tells of a run: its events, each carrying all that a
 * writer says of it, and at the end a summary.  The model makes them
 * (account.h), from the kernel's records or from an account read back;
 * a writer is a function of them alone.
 *
 * Each enumeration is listed once, with its word in the JSON account,
 * so that the enumeration, the JSON writer and its reader keep in step.
 */
#ifndef EVENTS_H
#define EVENTS_H

#include <sys/types.h>

#include <linux/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sigtrace.h"

namespace sigtrace
{

#define SIGTRACE_ENUM(name, word) name,

#define SIGTRACE_TYPES(X)                                                      \
	X(Exec, "exec")		/* a process runs a program */                 \
	X(Fork, "fork")		/* a process made a child */                   \
	X(Thread, "thread")	/* a process made a thread */                  \
	X(Signal, "signal")	/* something became of a signal */             \
	X(Stop, "stop")		/* a process stopped */                        \
	X(Continue, "continue") /* a stopped process goes on */                \
	X(ThreadExit,                                                          \
	  "thread_exit")	/* a thread ended, its process going on */     \
	X(Exit, "exit")		/* a process ended */                          \
	X(Lost, "lost")		/* records the kernel could not pass on */     \
	X(Untraced, "untraced") /* a process gained privilege */               \
	X(Waiting, "waiting")	/* the program ended; descendants live */      \
	X(Return, "return")	/* a handler run ended */                      \
	X(Blocked, "blocked")	/* a task set its blocked signals */
enum class Type { SIGTRACE_TYPES(SIGTRACE_ENUM) };

// What became of a signal.  Those up to Dropped are what its
// generation did; the rest end a pending one.
#define SIGTRACE_WHATS(X)                                                      \
	X(Pending, "pending")	  /* queued */                                 \
	X(Merged, "merged")	  /* one was already pending: adds nothing */  \
	X(Ignored, "ignored")	  /* its action is to ignore it */             \
	X(Lost, "lost")		  /* the real-time queue was full */           \
	X(Dropped, "dropped")	  /* its process was already ending */         \
	X(Delivered, "delivered") /* to its action */                          \
	X(Taken, "taken")	  /* by a call that waits for it */            \
	X(Discarded, "discarded") /* thrown away while pending */
enum class What { SIGTRACE_WHATS(SIGTRACE_ENUM) };

// Who sent a signal, as the target sees it.
#define SIGTRACE_FROMS(X)                                                      \
	X(Self, "self")                                                        \
	X(Parent, "parent")                                                    \
	X(Child, "child")                                                      \
	X(Process, "process") /* any other */                                  \
	X(Kernel, "kernel")                                                    \
	X(Timer, "timer")	     /* alarm, setitimer */                    \
	X(PosixTimer, "posix_timer") /* timer_create */                        \
	X(Terminal, "terminal")
enum class From { SIGTRACE_FROMS(SIGTRACE_ENUM) };

// Why the kernel sent one of its own.
#define SIGTRACE_REASONS(X)                                                    \
	X(None, "")                                                            \
	X(Pipe, "pipe")		       /* a write with no reader */            \
	X(FileSize, "file_size")       /* past the file size limit */          \
	X(CpuLimit, "cpu_limit")       /* past the CPU time limit */           \
	X(Key, "key")		       /* a key on the terminal */             \
	X(Resize, "resize")	       /* the terminal's size */               \
	X(Background, "background")    /* the terminal, from the background */ \
	X(Hangup, "hangup")	       /* the terminal hung up */              \
	X(ChildExited, "child_exited") /* SIGCHLD: a child ended ... */        \
	X(ChildKilled, "child_killed") /* ... was killed */                    \
	X(ChildDumped, "child_dumped") /* ... dumped core */                   \
	X(ChildTrapped, "child_trapped") /* ... trapped */                     \
	X(ChildStopped, "child_stopped") /* ... stopped */                     \
	X(ChildContinued, "child_continued")                                   \
	X(Fault, "fault")     /* a fault of the program's own */               \
	X(Seccomp, "seccomp") /* a forbidden system call */
enum class Reason { SIGTRACE_REASONS(SIGTRACE_ENUM) };

#define SIGTRACE_ACTIONS(X)                                                    \
	X(None, "")                                                            \
	X(Handler, "handler")                                                  \
	X(Ignore, "ignore")                                                    \
	X(Stop, "stop")                                                        \
	X(Continue, "continue")                                                \
	X(Terminate, "terminate")                                              \
	X(Core, "core")
enum class Action { SIGTRACE_ACTIONS(SIGTRACE_ENUM) };

// Who took a signal without a delivery, or what threw it away.
#define SIGTRACE_BYS(X)                                                        \
	X(None, "")                                                            \
	X(Sigtimedwait, "rt_sigtimedwait")                                     \
	X(Signalfd, "signalfd")                                                \
	X(Tracer, "tracer") /* a ptrace tracer, which may give it back */      \
	X(SigIgn, "sig_ign")                                                   \
	X(Sigcont, "sigcont")                                                  \
	X(Stop, "stop")                                                        \
	X(TimerSet, "timer_settime") /* its timer, set anew */                 \
	X(TimerDelete, "timer_delete")                                         \
	X(Exec, "exec") /* a new program: a POSIX timer's go */
enum class By { SIGTRACE_BYS(SIGTRACE_ENUM) };

#undef SIGTRACE_ENUM

// The words of an enumeration, in its order, and the word of one value.
template <typename Enum> struct Words;
#define SIGTRACE_WORD(name, word) word,
#define SIGTRACE_WORDS(Enum, LIST)                                             \
	template <> struct Words<Enum> {                                       \
		static constexpr const char *all[] = {LIST(SIGTRACE_WORD)};    \
	};
SIGTRACE_WORDS(Type, SIGTRACE_TYPES)
SIGTRACE_WORDS(What, SIGTRACE_WHATS)
SIGTRACE_WORDS(From, SIGTRACE_FROMS)
SIGTRACE_WORDS(Reason, SIGTRACE_REASONS)
SIGTRACE_WORDS(Action, SIGTRACE_ACTIONS)
SIGTRACE_WORDS(By, SIGTRACE_BYS)
#undef SIGTRACE_WORDS
#undef SIGTRACE_WORD

template <typename Enum>
constexpr const char *
word(Enum value)
{
	return Words<Enum>::all[static_cast<size_t>(value)];
}

// A process as the account names it: a child of a traced process, or
// another.
struct Who {
	pid_t pid = 0;
	bool child = false;
	std::string program; // its newest, where known
};

struct Sender {
	From kind = From::Kernel;
	pid_t pid = 0; // the sending process, where one did
	pid_t tid = 0; // and its thread
	std::string comm;
	Reason reason = Reason::None;
	int timer = -1;		   // PosixTimer: its id, where known
	pid_t child = 0;	   // SIGCHLD: the child it tells of
	bool child_traced = false; // and that child is a traced one's
};

struct Event {
	Type type = Type::Exec;
	std::uint64_t us = 0;  // since the program was released
	pid_t pid = 0;	       // the process
	pid_t tid = 0;	       // and its thread
	bool is_child = false; // the process is a child of a traced one
	bool threaded = false; // the process has made threads
	std::string comm;      // Exec: the program
	pid_t child = 0;       // Fork, Thread
	// Signal.
	int sig = 0;
	What what = What::Pending;
	bool to_process = true; // generated for the process, not a thread
	bool first = false;	// Exec: the process's first program
	Sender from;
	bool has_from = true; // Delivered, Taken, Discarded: the sender known
	std::uint64_t queued_us = 0; // and when it was made pending
	bool has_code = false;
	int code = 0; // si_code
	bool has_value = false;
	std::uint64_t value = 0; // sigqueue's or a timer's
	bool has_overrun = false;
	int overrun = 0;
	Action action = Action::None; // Delivered
	std::uint64_t flags = 0;      // Delivered to a handler: sa_flags
	By by = By::None;	      // Taken, Discarded
	// Delivered, Taken: a POSIX timer's signal that the kernel kept while
	// it was ignored, and queued again once it was not.
	bool requeued = false;
	// Delivered: one its ptrace tracer took, given back.
	bool given_back = false;
	bool continues = false; // Signal: SIGCONT continues the process
	// Return: how long the run took, and whether it left by a long jump
	// rather than returning.
	bool has_ran = false;
	std::uint64_t ran_us = 0;
	bool jumped = false;
	// Exit, ThreadExit.
	int status = 0;	   // exit status, if no signal ended it
	int killed_by = 0; // the signal that ended it
	bool core = false;
	std::uint64_t pending = 0;
	// Exit, ThreadExit, Exec, Return, Blocked: the task's blocked signals;
	// Delivered to a handler: those it runs with.
	bool has_blocked = false;
	std::uint64_t blocked = 0;
	// Lost.
	std::uint64_t lost = 0;
	// Waiting: the processes waited for.
	std::vector<Who> waiting;
};

// What became of one signal of a process, counted, as the kernel side
// counts it (SIGTRACE_COUNTS, sigtrace.h): sent first.
struct Tally {
#define SIGTRACE_FIELD(name) std::uint64_t name = 0;
	SIGTRACE_COUNTS(SIGTRACE_FIELD)
#undef SIGTRACE_FIELD
};

// A tally's counts by name, in their order.
#define SIGTRACE_COUNT(name) +1
constexpr size_t TALLY_COUNTS = 0 SIGTRACE_COUNTS(SIGTRACE_COUNT);
#undef SIGTRACE_COUNT

inline std::array<std::pair<const char *, std::uint64_t *>, TALLY_COUNTS>
named(Tally &tally)
{
#define SIGTRACE_NAMED(name) {#name, &tally.name},
	return {{SIGTRACE_COUNTS(SIGTRACE_NAMED)}};
#undef SIGTRACE_NAMED
}

inline std::array<std::pair<const char *, std::uint64_t>, TALLY_COUNTS>
named(const Tally &tally)
{
#define SIGTRACE_NAMED(name) {#name, tally.name},
	return {{SIGTRACE_COUNTS(SIGTRACE_NAMED)}};
#undef SIGTRACE_NAMED
}

// How a process stands at the end of the account.
enum class Standing { Running, Untraced, Ended };

struct ProcessSummary {
	Who who;
	std::map<int, Tally> signals;
	Standing standing = Standing::Running;
	Event end; // Ended: how
};

struct Summary {
	std::uint64_t lost = 0; // records the kernel could not pass on
	// Runs of the kernel side's programs that the kernel skipped, each
	// begun while the same program ran on its CPU.
	std::uint64_t skipped = 0;
	std::vector<ProcessSummary> processes; // as first seen
};

class Writer
{
      public:
	virtual ~Writer() = default;
	virtual void start(const char *program, pid_t pid) = 0;
	virtual void event(const Event &event) = 0;
	virtual void summary(const Summary &summary) = 0;
};

// The default action of a signal, as the kernel takes it.
Action default_action(int sig);
// A signal's name, as kill -l gives it, with its SIG.
std::string signame(int sig);
// si_code's name, as <signal.h> has it.
std::string code_name(int sig, int code);
// The flags of struct sigaction that change what a delivery does.
std::vector<const char *> flag_names(std::uint64_t flags);

} // namespace sigtrace

#endif

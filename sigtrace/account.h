// SPDX-License-Identifier: ISC
/*
 * sigtrace's model of a run: the kernel's records, decoded into what
 * happened (which process and thread, which signal, what became of it,
 * who sent it and how), and the state that follows from them.  Writers
 * read the model and print it; nothing here knows how.
 */
#ifndef ACCOUNT_H
#define ACCOUNT_H

#include <sys/types.h>

#include <linux/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sigtrace.h"

namespace sigtrace
{

enum class Type {
	Exec,	    // a process runs a program
	Fork,	    // a process made a child
	Thread,	    // a process made a thread
	Signal,	    // something became of a signal
	Stop,	    // a process stopped
	Continue,   // a stopped process goes on
	ThreadExit, // a thread ended, its process going on
	Exit,	    // a process ended
	Lost,	    // records the kernel could not pass on
	Untraced,   // a process gained privilege and is traced no more
	Waiting,    // the program ended; its descendants live on
	Return,	    // a handler run ended
	Blocked,    // a task set its blocked signals
};

// What became of a signal.
enum class What {
	Pending,   // queued
	Merged,	   // one was already pending, and this adds nothing
	Ignored,   // its action is to ignore it
	Lost,	   // the real-time queue was full
	Dropped,   // its process was already ending
	Delivered, // to its action
	Taken,	   // by a call that waits for it
	Discarded, // thrown away while pending
};

// Who sent a signal, as the target sees it.
enum class From {
	Self,
	Parent,
	Child,
	Process, // any other
	Kernel,
	Timer,	    // alarm, setitimer
	PosixTimer, // timer_create
	Terminal,
};

// Why the kernel sent one of its own.
enum class Reason {
	None,
	Pipe,	      // a write with no reader
	FileSize,     // past the file size limit
	CpuLimit,     // past the CPU time limit
	Key,	      // a key on the terminal
	Resize,	      // the terminal's size
	Background,   // the terminal, used from the background
	Hangup,	      // the terminal hung up
	ChildExited,  // SIGCHLD: a child ended ...
	ChildKilled,  // ... was killed
	ChildDumped,  // ... dumped core
	ChildTrapped, // ... trapped
	ChildStopped, // ... stopped
	ChildContinued,
	Fault,	 // a fault of the program's own: code says which
	Seccomp, // a forbidden system call
};

enum class Action { None, Handler, Ignore, Stop, Continue, Terminate, Core };

// Who took a signal without a delivery, or what threw it away.
enum class By { None, Sigtimedwait, Signalfd, SigIgn, Sigcont, Stop };

struct Sender {
	From kind = From::Kernel;
	pid_t pid = 0; // the sending process, where one did
	pid_t tid = 0; // and its thread
	std::string comm;
	Reason reason = Reason::None;
	pid_t child = 0; // SIGCHLD: the child it tells of
};

struct Event {
	Type type = Type::Exec;
	std::uint64_t us = 0; // since the program was released
	pid_t pid = 0;	      // the process
	pid_t tid = 0;	      // and its thread
	std::string comm;     // Exec: the program
	pid_t child = 0;      // Fork, Thread
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
	bool continues = false;	      // Signal: SIGCONT continues the process
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
	std::vector<pid_t> waiting;
};

struct Tally {
	std::uint64_t sent = 0, pending = 0, merged = 0, ignored = 0, lost = 0,
		      dropped = 0, delivered = 0, taken = 0, discarded = 0;
};

// A handler run under way on a task.
struct Run {
	int sig = 0;
	std::uint64_t us = 0;
	std::uint64_t blocked_before = 0; // the mask it interrupted
};

// What is known of a task: its mask, once seen, and its handler runs,
// innermost last.
struct Task {
	bool has_blocked = false;
	std::uint64_t blocked = 0;
	std::vector<Run> runs;
};

// The instances of one signal still queued, oldest first.  A storm
// queues and takes them one at a time: the room stays for the next, and
// none costs an allocation.
class Queue
{
      public:
	using const_iterator = std::vector<Event>::const_iterator;

	bool
	empty() const
	{
		return head_ == events_.size();
	}
	const Event &
	front() const
	{
		return events_[head_];
	}
	void
	push_back(const Event &event)
	{
		events_.push_back(event);
	}
	void
	pop_front()
	{
		if (++head_ == events_.size())
			clear();
		else if (head_ >= 64 && 2 * head_ >= events_.size()) {
			events_.erase(events_.begin(), begin());
			head_ = 0;
		}
	}
	void
	clear()
	{
		events_.clear();
		head_ = 0;
	}
	const_iterator
	begin() const
	{
		return events_.begin() + static_cast<std::ptrdiff_t>(head_);
	}
	const_iterator
	end() const
	{
		return events_.end();
	}

      private:
	std::vector<Event> events_;
	size_t head_ = 0; // the oldest still queued
};

struct Process {
	pid_t pid = 0;
	pid_t parent = 0;	    // the traced process that forked it, if any
	std::string program;	    // its newest
	bool started = false;	    // has run a program of its own
	std::vector<pid_t> threads; // made after its first, in order
	bool stopped = false;
	bool ending = false; // its end has begun
	bool untraced = false;
	bool ended = false;
	Event end; // once ended
	std::map<int, Tally> signals;
	// Who sent each instance still queued, oldest first: for the whole
	// process, and for each thread.
	std::map<int, Queue> queued;
	std::map<pid_t, std::map<int, Queue>> thread_queued;
	std::map<pid_t, Task> tasks;
};

class Writer;

class Account
{
      public:
	Account(Writer &writer, std::uint64_t origin)
	    : writer_(writer), origin_(origin)
	{
	}
	// It keeps a pointer into its own map.
	Account(const Account &) = delete;
	Account &operator=(const Account &) = delete;

	// One record from the kernel side, as it came.
	void decode(const event &record);
	// What the caller's waitpid says of a process whose end the kernel's
	// record did not bring.
	void ended(pid_t pid, int wait_status);
	// The kernel side's own counts and ends, exact where records were lost.
	void adopt(pid_t pid, int sig, const Tally &tally);
	void adopt_end(pid_t pid, int code, std::uint64_t pending,
		       std::uint64_t blocked);
	void waiting(std::uint64_t ns, const std::vector<pid_t> &pids);
	// The kernel's count of records lost in all: those that no later
	// record marked were lost at the end.
	void lost(std::uint64_t n);
	// An event read back from an account written earlier: the model
	// follows it as it would the records, and passes it on.
	void replay(Event event);
	// The summary read back: the processes in its order, and each end
	// that no event told, as it was written.
	void replay_end(pid_t pid, const Event &end);
	void replay_summary(std::uint64_t lost,
			    const std::vector<pid_t> &order);

	const std::vector<pid_t> &
	order() const
	{
		return order_;
	}
	const Process &
	process(pid_t pid) const
	{
		return processes_.at(pid);
	}
	const Process *find(pid_t pid) const;
	bool threaded(pid_t pid) const;
	std::uint64_t
	lost_total() const
	{
		return lost_total_;
	}

      private:
	Process &process_of(pid_t pid);
	pid_t tgid(const event &record) const;
	std::uint64_t time(std::uint64_t ns);
	Event base(Type type, const event &record);
	void emit(const Event &event);
	Sender sender(const event &record, pid_t pid);
	void generate(const event &record);
	void deliver(const event &record);
	void take(const event &record);
	void sigaction(const event &record);
	void exit(const event &record);
	void handler_return(const event &record);
	void set_mask(const event &record);
	void follow(Event &event);
	void discard(Process &proc, int sig, By by, const Event &at);
	Event dequeue(Process &proc, pid_t tid, int sig, bool shared,
		      const event &record);

	Writer &writer_;
	std::uint64_t origin_;
	std::uint64_t last_us_ = 0;
	std::uint64_t lost_total_ = 0;
	std::uint64_t lost_marked_ = 0;
	std::map<pid_t, Process> processes_;
	Process *last_ = nullptr;	 // the process last looked up
	std::map<pid_t, pid_t> threads_; // thread to process
	std::vector<pid_t> order_;	 // processes, as first seen
};

class Writer
{
      public:
	virtual ~Writer() = default;
	virtual void start(const char *program, pid_t pid) = 0;
	virtual void event(const Account &account, const Event &event) = 0;
	virtual void summary(const Account &account) = 0;
};

// The default action of a signal, as the kernel takes it.
Action default_action(int sig);
// A signal's name, as kill -l gives it, with its SIG.
std::string signame(int sig);
// si_code's name, as <signal.h> has it.
std::string code_name(int sig, int code);
// How a signal was sent, where its code says so: kill, sigqueue, tgkill.
const char *how_sent(int code);
// What became of a signal, in the one word that every writer uses.
const char *what_name(What what);
// The flags of struct sigaction that change what a delivery does.
std::vector<const char *> flag_names(std::uint64_t flags);
// A tally's counts by name, sent first.
std::array<std::pair<const char *, std::uint64_t>, 9> named(const Tally &tally);

} // namespace sigtrace

#endif

// SPDX-License-Identifier: ISC
/*
 * sigtrace's model of a run: the kernel's records, decoded into what
 * happened (which process and thread, which signal, what became of it,
 * who sent it and how), and the state that follows from them.  What it
 * makes of them are events (events.h), for writers to print; nothing
 * here knows how.
 */
#ifndef ACCOUNT_H
#define ACCOUNT_H

#include <sys/types.h>

#include <linux/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "events.h"
#include "sigtrace.h"

namespace sigtrace
{

// A handler run under way on a task.
struct Run {
	int sig = 0;
	std::uint64_t us = 0;
	std::uint64_t blocked_before = 0; // the mask it interrupted
	std::uint64_t sp = 0; // the stack pointer it interrupted, if known
};

// What is known of a task: its mask, once seen, and its handler runs,
// innermost last.  A mask set back to the one the innermost run
// interrupted, as siglongjmp out of it sets it, waits (jump) until the
// task's stack or its return tells whether the run is over.
struct Task {
	bool has_blocked = false;
	std::uint64_t blocked = 0;
	std::vector<Run> runs;
	std::optional<Event> jump;
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
	size_t
	size() const
	{
		return events_.size() - head_;
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
	// Takes out the oldest for which pred holds, into found.
	template <typename Pred>
	bool
	take_if(Pred pred, Event &found)
	{
		auto at = std::find_if(begin(), end(), pred);
		if (at == end())
			return false;
		found = *at;
		events_.erase(at);
		if (empty())
			clear();
		return true;
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
	// A POSIX timer's signals that came while ignored, which the kernel
	// may queue again once they are not.
	std::map<int, Queue> parked;
	// Taken by a ptrace tracer, which may give them back: those it
	// never does count as taken, at the end.
	std::map<int, Queue> held;
	// POSIX timers set anew while their signal was pending: the kernel
	// keeps that signal queued, and the timer's next expiry makes it good.
	std::set<int> withdrawn;
	std::map<pid_t, Task> tasks;
};

// The model: it follows the records, or the events of an account read
// back, and makes the events that tell them.  Each call that takes a
// record or an event returns the events it made, in order, until the
// next such call.
class Account
{
      public:
	explicit Account(std::uint64_t origin) : origin_(origin)
	{
	}
	// It keeps a pointer into its own map.
	Account(const Account &) = delete;
	Account &operator=(const Account &) = delete;

	// One record from the kernel side, as it came.
	const std::vector<Event> &decode(const event &record);
	// What the caller's waitpid says of a process whose end the kernel's
	// record did not bring.
	void ended(pid_t pid, int wait_status);
	// The kernel side's own counts and ends, exact where records were
	// lost.  adopt() says whether the records had counted the same.
	bool adopt(pid_t pid, int sig, const Tally &tally);
	void adopt_end(pid_t pid, int code, std::uint64_t pending,
		       std::uint64_t blocked);
	const std::vector<Event> &waiting(std::uint64_t ns,
					  const std::vector<pid_t> &pids);
	// The kernel's count of records lost in all: those that no later
	// record marked were lost at the end.
	const std::vector<Event> &lost(std::uint64_t n);
	// An event read back from an account written earlier: the model
	// follows it as it follows the events it makes, and names its
	// processes as it names them.
	const std::vector<Event> &replay(Event event);
	// The summary read back: the processes in its order, and each end
	// that no event told, as it was written.
	void replay_end(pid_t pid, const Event &end);
	void replay_summary(std::uint64_t lost, std::uint64_t skipped,
			    const std::vector<pid_t> &order);
	// The kernel's count of the kernel side's runs it skipped.
	void skipped(std::uint64_t n);

	// The account's end: each process's counts and end, as now known.
	Summary summary() const;

      private:
	Process &process_of(pid_t pid);
	const Process *find(pid_t pid) const;
	Who who(pid_t pid) const;
	std::uint64_t time(std::uint64_t ns);
	Event base(Type type, const event &record);
	void emit(Event &&event);
	void note(Event &event);
	Sender sender(const event &record, pid_t pid);
	void generate(const event &record);
	void deliver(const event &record);
	void take(const event &record);
	void sigaction(const event &record);
	void exit(const event &record);
	void handler_return(const event &record);
	void set_mask(const event &record);
	void withdraw(const event &record);
	void settle(const event &record);
	void flush_timers(Process &proc, const Event &at);
	void discard(Process &proc, int sig, By by, const Event &at);
	Event dequeue(Process &proc, pid_t tid, int sig, bool shared,
		      const event &record);
	Event given_back(Process &proc, int sig, const event &record);

	std::uint64_t origin_;
	std::vector<Event> made_; // by the call under way
	std::uint64_t last_us_ = 0;
	std::uint64_t lost_total_ = 0;
	std::uint64_t lost_marked_ = 0;
	std::uint64_t skipped_ = 0;
	std::map<pid_t, Process> processes_;
	Process *last_ = nullptr;  // the process last looked up
	std::vector<pid_t> order_; // processes, as first seen
};

} // namespace sigtrace

#endif

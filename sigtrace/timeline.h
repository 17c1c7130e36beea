// SPDX-License-Identifier: ISC
/*
 * What the picture shows, before anything is drawn: the account's events
 * put on lanes as marks, each at its step (an event's place on the time
 * line), and what is too much to draw counted for the grey box.  It is
 * made from the events and the summary alone, and holds no position and
 * no style: the layout (layout.h) places it, the writer draws it.
 */
#ifndef TIMELINE_H
#define TIMELINE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "events.h"

namespace sigtrace::picture
{

// What the picture draws at most, so that whatever the account its file
// stays under a megabyte (the largest made up, every line in it as long
// as a line can be, is 0.8 MB) and takes a time in proportion to the
// account's length to draw.  What is left out is counted in the grey box,
// and the note says how much.
//
// Signal events: generations and fates, handler returns, blocked sets.
constexpr size_t MOST_DRAWN = 400;
constexpr size_t MOST_PROCESSES = 32; // processes' lanes
constexpr size_t MOST_THREADS = 32;   // threads' lanes, besides those
// Forks, new threads, execs, stops and goings on, on those lanes; each
// lane's end is drawn besides.
constexpr size_t MOST_TOLD = 200;
// Bytes of a name, the rest cut: the kernel's have 15 at most.
constexpr size_t MOST_NAME = 16;
constexpr size_t MOST_PROGRAM = 4096; // of the program's, as it was run

// What a mark shows, which is its class in the file.
enum class Kind {
	Wait,	   // a signal pending, from generation to fate
	Generated, // made pending
	Merged,
	Ignored,
	Lost,
	Dropped,
	Delivered,
	Taken,
	Discarded,
	Handler, // a handler run
	Fork,
	Thread,
	Stopped, // a stopped process, to the signal that goes on
	End,	 // a lane's end
	Gap,	 // records lost
};

const char *kind_name(Kind kind);
// Whether a mark lasts from one step to another (a bar, a run, a stop)
// rather than standing at one.
bool lasts(Kind kind);

constexpr size_t OPEN = ~size_t(0); // a step not known yet

struct Mark {
	Kind kind = Kind::Wait;
	pid_t lane = 0; // the task whose lane it is on
	int sig = 0;
	size_t from = 0, to = 0; // steps; to is OPEN until known
	std::string title;	 // the account's lines for it
	pid_t other = 0;	 // Fork, Thread: the new lane; a sender's lane
	Action action = Action::None; // Delivered
	int depth = 0;		      // Handler: runs outside it
	std::string label;	      // End: how
};

// The blocked signals of a lane, from a step to the next one's; where
// the events do not say them, not known.
struct Mask {
	size_t from = 0;
	bool known = true;
	std::uint64_t set = 0;
	std::string title;
};

struct Lane {
	pid_t tid = 0, pid = 0;
	std::string name; // as its label reads
	size_t from = 0, to = OPEN;
	std::vector<int> signals; // its rows, in order of appearance
	int depth = 0;		  // the deepest handler run
	std::vector<Mask> masks;
};

// What the grey box stands for: what was not drawn, from the first event
// left out on.
struct Untold {
	size_t step = OPEN; // the first event left out, if any was
	std::uint64_t last_us = 0;
	// Each count, named: a signal's fates as the summary counts them,
	// less those drawn; anything else as the events held it.
	std::vector<std::pair<std::string, std::uint64_t>> counts;
	// Whether the summary counts more of some signal than its events
	// held: records were lost.
	bool beyond_events = false;
	std::uint64_t past = 0;	  // events past the most drawn
	std::uint64_t beyond = 0; // and the others left out
};

struct Timeline {
	std::string program;		  // as the picture shows it
	std::vector<std::uint64_t> steps; // each step's time; the end last
	std::vector<Lane> lanes;	  // each process's threads under it
	std::vector<Mark> marks;	  // in the order the events made them
	std::vector<int> signals; // in order of appearance: their colours
	Untold untold;
	std::uint64_t lost = 0;	   // records, as the summary says
	std::uint64_t skipped = 0; // the kernel side's runs, as it says

	const Lane *find(pid_t tid) const;
	// A signal's place among all the picture's, for its colour.
	size_t colour(int sig) const;

	std::unordered_map<pid_t, size_t> index; // each lane, by its tid
};

// The lanes an event is drawn on, as pid and tid: at most two.
struct Tasks {
	std::pair<pid_t, pid_t> task[2];
	size_t size = 0;
	// Whether the event makes a lane that is not there yet; one that
	// does not is drawn as far as there are lanes for it.
	bool made = true;
};

// The events, one at a time, made into a timeline, which the summary
// ends.
class Builder
{
      public:
	void start(const std::string &program, pid_t pid);
	void add(const Event &ev);
	Timeline finish(const Summary &summary);

      private:
	// What a count of what was not drawn counts.
	using Key = std::tuple<Type, int, What>;

	Lane &lane(pid_t pid, pid_t tid, size_t step);
	Lane *find(pid_t tid);
	bool ends_lane(const Event &ev) const;
	bool room(const Tasks &on);
	void place(const Event &ev, size_t step, const std::string &title);
	void row(pid_t tid, int sig);
	void add(Mark mark);
	void close(size_t mark, size_t step, const std::string &title);
	void mask(pid_t tid, size_t step, bool known, std::uint64_t set,
		  const std::string &title);
	void made(const Event &ev, size_t step, const std::string &title);
	void signal_event(const Event &ev, size_t step,
			  const std::string &title);
	void generated(const Event &ev, Kind kind, size_t step,
		       const std::string &title);
	void fate(const Event &ev, Kind kind, size_t step,
		  const std::string &title);
	void handled(const Event &ev, size_t step, const std::string &title);
	pid_t sender_lane(const Event &ev) const;
	void handler_return(const Event &ev, size_t step,
			    const std::string &title);
	void end(const Event &ev, size_t step, const std::string &title);
	void count(const Event &ev, bool past);
	void cut(size_t step);
	void close_all(size_t last);
	void note(const Event &ev);
	void name(Timeline &tl, const Summary &summary) const;
	void tally(Timeline &tl, const Summary &summary) const;

	Timeline tl_; // what is made so far
	std::unordered_map<pid_t, std::vector<pid_t>> tasks_; // by pid
	size_t processes_ = 0, threads_ = 0;		      // their lanes
	std::unordered_set<pid_t> refused_;   // tasks with no lane, nor to have
	std::unordered_map<pid_t, Who> seen_; // processes, as events tell
	// Bars not yet ended, by process and signal; handler runs not yet
	// returned from, by thread, the innermost last; stops not yet gone
	// on from, by process.
	std::map<std::pair<pid_t, int>, std::vector<size_t>> open_;
	std::map<pid_t, std::vector<size_t>> runs_;
	std::map<pid_t, size_t> stopped_;
	size_t drawn_ = 0; // signal events drawn
	size_t told_ = 0;  // and the others
	std::map<std::pair<int, What>, std::uint64_t> fates_; // drawn
	std::map<Key, std::uint64_t> untold_;
	bool cut_ = false; // whether one was past the most drawn
};

// A name from outside (a program's, a thread's), as the picture shows it:
// any byte at all may be in it, and none may break the file or be read as
// something else; no longer than most bytes, an ellipsis where it was cut.
std::string shown(const std::string &name, size_t most = MOST_NAME);

} // namespace sigtrace::picture

#endif

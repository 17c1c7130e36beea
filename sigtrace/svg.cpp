// SPDX-License-Identifier: ISC
/*
 * The account as a picture: one SVG file, drawn whole once the run is
 * over, as a teacher draws signals on the board.  Each process has a
 * lane, its threads lanes under it, and time runs right; in a lane, each
 * signal has a row where a bar shows it pending, from its generation to
 * its fate, with what merged into it marked on the bar.  Handler runs are
 * spans under the rows, nested runs deeper; a band at the foot of the
 * lane shows the blocked signals.  Every mark has a <title> with the
 * account's own line, so that a browser tells what it is.
 *
 * The file holds no script and names no font or file outside it, so that
 * it is safe on a course page, and the same account gives the same file.
 */
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "writers.h"

namespace sigtrace
{

namespace
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

// The layout, in pixels.
constexpr double LABELS = 200;		   // the lane labels' column
constexpr double STEP = 6;		   // the least between two events
constexpr double ROW = 16;		   // a signal's row
constexpr double RUN = 9;		   // a handler run's row
constexpr double BAND = 12;		   // the blocked signals' band
constexpr double LANE_GAP = 14;		   // between lanes
constexpr double TOP = 56;		   // the heading
constexpr double RIGHT = 230;		   // the ends' labels
constexpr std::uint64_t LONG_GAP = 100000; // microseconds: a gap drawn broken

// One colour for each signal, in the order they appear: colours that
// differ also to the colour-blind (Okabe and Ito).  Shapes and row labels
// say the same in black and white.
const char *const colours[] = {"#d55e00", "#0072b2", "#009e73", "#cc79a7",
			       "#e69f00", "#56b4e9", "#555555"};

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

const char *const kind_names[] = {
    "wait",    "generated", "merged",  "ignored",   "lost",
    "dropped", "delivered", "taken",   "discarded", "handler",
    "fork",    "thread",    "stopped", "end",	    "gap"};

constexpr size_t OPEN = ~size_t(0);

struct Mark {
	Kind kind = Kind::Wait;
	pid_t lane = 0; // the task whose lane it is on
	int sig = 0;
	size_t from = 0, to = 0; // steps; to is OPEN until known
	std::string title;
	pid_t other = 0; // Fork, Thread: the new lane; a sender's lane
	Action action = Action::None;
	int depth = 0; // Handler: runs outside it
	std::string label;
};

Mark
mark_of(Kind kind, pid_t lane, int sig, size_t from, size_t to,
	std::string title, pid_t other = 0)
{
	Mark mark;
	mark.kind = kind;
	mark.lane = lane;
	mark.sig = sig;
	mark.from = from;
	mark.to = to;
	mark.title = std::move(title);
	mark.other = other;
	return mark;
}

// What a count of what was not drawn counts.
struct Untold {
	Type type;
	int sig;
	What what;
};

bool
operator<(const Untold &one, const Untold &other)
{
	return std::tie(one.type, one.sig, one.what) <
	       std::tie(other.type, other.sig, other.what);
}

std::string
name_of(const Untold &untold)
{
	switch (untold.type) {
	case Type::Signal:
		return signame(untold.sig) + " " + what_name(untold.what);
	case Type::Return:
		return "handler returns";
	case Type::Blocked:
		return "changes of the blocked set";
	case Type::Lost:
		return "records lost";
	case Type::Exec:
		return "execs";
	case Type::Fork:
		return "forks";
	case Type::Thread:
		return "new threads";
	case Type::Stop:
		return "stops";
	case Type::Continue:
		return "goings on";
	case Type::ThreadExit:
		return "thread ends";
	case Type::Exit:
		return "process ends";
	case Type::Untraced:
		return "processes untraced";
	case Type::Waiting:
		break;
	}
	return "waits";
}

// Whether an event is a signal's or a handler's, rather than a process's
// or a thread's own.
bool
of_signals(Type type)
{
	return type == Type::Signal || type == Type::Return ||
	       type == Type::Blocked || type == Type::Lost;
}

// The blocked signals of a lane, from a step on.
struct Mask {
	size_t from;
	std::uint64_t set;
	std::string title;
};

struct Lane {
	pid_t tid = 0, pid = 0;
	size_t from = 0, to = OPEN;
	std::vector<int> signals; // its rows, in order of appearance
	int depth = 0;		  // the deepest handler run
	std::vector<Mask> masks;
	double y = 0; // its top
};

std::string
escape(const std::string &text)
{
	std::string out;

	for (size_t at = 0; at < text.size(); at++) {
		char ch = text[at];
		switch (ch) {
		case '<':
			out += "&lt;";
			break;
		case '>':
			out += "&gt;";
			break;
		case '&':
			out += "&amp;";
			break;
		case '"':
			out += "&quot;";
			break;
		default:
			// XML allows neither U+FFFE nor U+FFFF, which
			// printable() leaves as they are: escaped as it
			// escapes bytes.
			if (text.compare(at, 3, "\xef\xbf\xbe") == 0 ||
			    text.compare(at, 3, "\xef\xbf\xbf") == 0) {
				out += text[at + 2] == '\xbe'
					   ? "\\xef\\xbf\\xbe"
					   : "\\xef\\xbf\\xbf";
				at += 2;
			}
			// Nor other control characters.
			else if (static_cast<unsigned char>(ch) >= 0x20 ||
				 ch == '\n' || ch == '\t')
				out += ch;
		}
	}
	return out;
}

std::string
number(double value)
{
	char text[32];

	std::snprintf(text, sizeof(text), "%.1f", value);
	return text;
}

// A time as a person reads it on the axis.
std::string
when(std::uint64_t us)
{
	char text[32];

	if (us < 10000)
		std::snprintf(text, sizeof(text), "%.3f ms",
			      static_cast<double>(us) / 1e3);
	else if (us < 100000)
		std::snprintf(text, sizeof(text), "%.1f ms",
			      static_cast<double>(us) / 1e3);
	else
		std::snprintf(text, sizeof(text), "%.3f s",
			      static_cast<double>(us) / 1e6);
	return text;
}

// A name from outside (a program's, a thread's) no longer than most
// bytes, an ellipsis saying where it was cut.
std::string
cut(const std::string &name, size_t most = MOST_NAME)
{
	return name.size() > most ? name.substr(0, most) + "\xe2\x80\xa6"
				  : name;
}

// A name from outside, as the picture shows it: any byte at all may be in
// it, and none may break the file or be read as something else.
std::string
shown(const std::string &name, size_t most = MOST_NAME)
{
	return printable(cut(name, most));
}

// A line of the account, which may quote names from outside, as the
// picture shows it: each stretch between backslashes through
// printable(), so that a line whose names are printable already stays
// as it is, and no other can break the file.
std::string
readable(const std::string &line)
{
	std::string out;

	for (size_t at = 0;;) {
		size_t slash = line.find('\\', at);
		out += printable(line.substr(at, slash - at));
		if (slash == std::string::npos)
			return out;
		out += '\\';
		at = slash + 1;
	}
}

// The account's line for an event, as the picture quotes it in a title.
std::string
title_of(const Event &ev)
{
	std::string title;

	if (ev.comm.size() > MOST_NAME || ev.from.comm.size() > MOST_NAME) {
		Event shorter = ev;
		shorter.comm = cut(ev.comm);
		shorter.from.comm = cut(ev.from.comm);
		title = line(shorter);
	} else
		title = line(ev);
	title.erase(0, title.find_first_not_of(' '));
	return readable(title);
}

// The lanes an event is drawn on, as pid and tid: at most two.
struct Tasks {
	std::pair<pid_t, pid_t> task[2];
	size_t size = 0;
	// Whether the event makes a lane that is not there yet; one that
	// does not is drawn as far as there are lanes for it.
	bool made = true;
};

Tasks
tasks_of(const Event &ev)
{
	Tasks on;

	switch (ev.type) {
	case Type::Exec:
	case Type::Return:
	case Type::Blocked:
		on.task[on.size++] = {ev.pid, ev.tid};
		break;
	case Type::Fork:
	case Type::Thread:
		on.task[on.size++] = {ev.pid, ev.tid};
		on.task[on.size++] = {ev.type == Type::Fork ? ev.child : ev.pid,
				      ev.child};
		break;
	case Type::Signal:
		// A signal for the process waits on the process's lane.
		on.task[on.size++] = {
		    ev.pid, ev.what <= What::Dropped && ev.to_process ? ev.pid
								      : ev.tid};
		break;
	case Type::Stop:
	case Type::Continue:
	case Type::Exit:
	case Type::Untraced:
		on.task[on.size++] = {ev.pid, ev.pid};
		on.made = false;
		break;
	case Type::ThreadExit:
	case Type::Lost:
		on.task[on.size++] = {ev.pid, ev.tid};
		on.made = false;
		break;
	case Type::Waiting:
		break;
	}
	return on;
}

class Svg : public Writer
{
      public:
	explicit Svg(FILE *out) : out_(out)
	{
	}

	void
	start(const char *program, pid_t pid) override
	{
		program_ = shown(program, MOST_PROGRAM);
		lane(pid, pid, 0);
	}

	void
	event(const Event &ev) override
	{
		bool signal = of_signals(ev.type);
		Tasks on = tasks_of(ev);
		// A lane's end is drawn whatever came before it, as a lane
		// ends but once.
		if (signal ? drawn_ >= MOST_DRAWN
			   : told_ >= MOST_TOLD && !ends_lane(ev)) {
			// A wait draws nothing but its step.
			if (ev.type != Type::Waiting)
				count(ev, signal);
			return;
		}
		if (!room(on)) {
			count(ev, false);
			return;
		}
		(signal ? drawn_ : told_)++;
		size_t step = steps_.size();
		steps_.push_back(ev.us);
		for (size_t i = 0; on.made && i < on.size; i++)
			lane(on.task[i].first, on.task[i].second, step);
		std::string title = title_of(ev);

		switch (ev.type) {
		case Type::Exec:
			lane(ev.pid, ev.tid, step);
			if (ev.has_blocked)
				mask(ev.tid, step, ev.blocked, title);
			break;
		case Type::Fork:
		case Type::Thread: {
			// The new task starts with its maker's mask.
			const Lane &maker = lane(ev.pid, ev.tid, step);
			bool masked = !maker.masks.empty();
			std::uint64_t set = masked ? maker.masks.back().set : 0;
			pid_t made = ev.child;
			lane(ev.type == Type::Fork ? made : ev.pid, made, step);
			add(mark_of(ev.type == Type::Fork ? Kind::Fork
							  : Kind::Thread,
				    ev.tid, 0, step, step, title, made));
			if (masked)
				mask(made, step, set, title);
			break;
		}
		case Type::Signal:
			signal_event(ev, step, title);
			break;
		case Type::Return:
			handler_return(ev, step, title);
			break;
		case Type::Blocked:
			mask(ev.tid, step, ev.blocked, title);
			break;
		case Type::Stop:
			stopped_[ev.pid] = marks_.size();
			add(mark_of(Kind::Stopped, ev.pid, 0, step, OPEN,
				    title));
			break;
		case Type::Continue:
			if (stopped_.count(ev.pid)) {
				close(stopped_[ev.pid], step, title);
				stopped_.erase(ev.pid);
			}
			break;
		case Type::ThreadExit:
		case Type::Exit:
			end(ev, step, title);
			break;
		case Type::Lost:
			add(mark_of(Kind::Gap, ev.tid, 0, step, step, title));
			break;
		case Type::Untraced:
			end(ev, step, title);
			break;
		case Type::Waiting:
			break;
		}
	}

	void
	summary(const Summary &summary) override
	{
		// The end, a step of its own; an account may hold no event.
		size_t last = steps_.size();
		steps_.push_back(
		    std::max(steps_.empty() ? 0 : steps_.back(), untold_last_));
		// What never left is drawn to the end of its lane.
		for (Mark &mark : marks_)
			if (mark.to == OPEN) {
				const Lane *on = find(mark.lane);
				mark.to = on && on->to != OPEN ? on->to : last;
				if (mark.kind == Kind::Wait)
					mark.title +=
					    "\nstill pending at the end";
			}
		for (Lane &each : lanes_)
			if (each.to == OPEN)
				each.to = last;
		layout();
		write(summary);
	}

      private:
	// A task's lane, made where it has none yet: room() has said
	// whether it may be.  A reference lasts until the next lane is made.
	Lane &
	lane(pid_t pid, pid_t tid, size_t step)
	{
		auto [at, made] = index_.try_emplace(tid, lanes_.size());
		if (!made)
			return lanes_[at->second];
		Lane fresh;
		fresh.pid = pid;
		fresh.tid = tid;
		fresh.from = step;
		lanes_.push_back(fresh);
		tasks_[pid].push_back(tid);
		(tid == pid ? processes_ : threads_)++;
		return lanes_.back();
	}

	const Lane *
	find(pid_t tid) const
	{
		auto at = index_.find(tid);
		return at != index_.end() ? &lanes_[at->second] : nullptr;
	}

	Lane *
	find(pid_t tid)
	{
		auto at = index_.find(tid);
		return at != index_.end() ? &lanes_[at->second] : nullptr;
	}

	// Whether an event ends a lane that has not ended.
	bool
	ends_lane(const Event &ev) const
	{
		auto open = [&](pid_t tid) {
			const Lane *on = find(tid);
			return on && on->to == OPEN;
		};
		if (ev.type == Type::ThreadExit)
			return open(ev.tid);
		if (ev.type != Type::Exit && ev.type != Type::Untraced)
			return false;
		auto all = tasks_.find(ev.pid);
		return all != tasks_.end() &&
		       std::any_of(all->second.begin(), all->second.end(),
				   open);
	}

	// Whether the tasks an event is drawn on have lanes, or may have:
	// lanes are made for MOST_PROCESSES processes and MOST_THREADS
	// threads, and a task refused one is refused everything after, as
	// are its threads and children.
	bool
	room(const Tasks &on)
	{
		size_t processes = processes_;
		size_t threads = threads_;
		bool fits = true;

		for (size_t i = 0; i < on.size; i++) {
			auto [pid, tid] = on.task[i];
			if (index_.count(tid))
				continue;
			bool process = tid == pid;
			bool refused = refused_.count(tid) ||
				       (!process && refused_.count(pid));
			if (refused ||
			    (on.made && (process ? processes++ >= MOST_PROCESSES
						 : threads++ >= MOST_THREADS)))
				fits = false;
		}
		if (!fits && on.made)
			for (size_t i = 0; i < on.size; i++)
				if (!index_.count(on.task[i].second))
					refused_.insert(on.task[i].second);
		return fits;
	}

	void
	row(pid_t tid, int sig)
	{
		Lane *on = find(tid);
		if (!on)
			return;
		if (std::find(on->signals.begin(), on->signals.end(), sig) ==
		    on->signals.end())
			on->signals.push_back(sig);
		if (std::find(signals_.begin(), signals_.end(), sig) ==
		    signals_.end())
			signals_.push_back(sig);
	}

	void
	add(Mark mark)
	{
		if (mark.sig)
			row(mark.lane, mark.sig);
		marks_.push_back(std::move(mark));
	}

	void
	close(size_t mark, size_t step, const std::string &title)
	{
		marks_[mark].to = step;
		marks_[mark].title += "\n" + title;
	}

	void
	mask(pid_t tid, size_t step, std::uint64_t set,
	     const std::string &title)
	{
		Lane *on = find(tid);
		if (!on || (!on->masks.empty() && on->masks.back().set == set))
			return;
		on->masks.push_back({step, set, title});
	}

	void
	signal_event(const Event &ev, size_t step, const std::string &title)
	{
		// A signal for the process waits on the process's lane.
		pid_t target = ev.to_process ? ev.pid : ev.tid;
		static const Kind kinds[] = {Kind::Generated, Kind::Merged,
					     Kind::Ignored,   Kind::Lost,
					     Kind::Dropped,   Kind::Delivered,
					     Kind::Taken,     Kind::Discarded};
		Kind kind = kinds[static_cast<int>(ev.what)];

		if (ev.what <= What::Dropped) {
			Mark mark =
			    mark_of(kind, target, ev.sig, step, step, title);
			mark.other = sender_lane(ev);
			if (ev.what == What::Pending) {
				open_[{ev.pid, ev.sig}].push_back(
				    marks_.size());
				add(mark_of(Kind::Wait, target, ev.sig, step,
					    OPEN, title));
			}
			add(mark);
			return;
		}
		// A fate: the bar it ends, by the time it was made pending.
		pid_t lane_of = ev.tid;
		auto &waiting = open_[{ev.pid, ev.sig}];
		auto it = std::find_if(
		    waiting.begin(), waiting.end(), [&](size_t at) {
			    return steps_[marks_[at].from] == ev.queued_us;
		    });
		if (ev.has_from && it != waiting.end()) {
			lane_of =
			    ev.what == What::Delivered || ev.what == What::Taken
				? ev.tid
				: marks_[*it].lane;
			close(*it, step, title);
			waiting.erase(it);
		}
		Mark mark = mark_of(kind, lane_of, ev.sig, step, step, title);
		mark.action = ev.action;
		add(mark);
		if (ev.action == Action::Handler) {
			auto &runs = runs_[ev.tid];
			Mark run = mark_of(Kind::Handler, ev.tid, ev.sig, step,
					   OPEN, title);
			run.depth = static_cast<int>(runs.size());
			Lane &on = lane(ev.pid, ev.tid, step);
			on.depth = std::max(on.depth, run.depth + 1);
			runs.push_back(marks_.size());
			add(run);
			mask(ev.tid, step, ev.blocked, title);
		}
	}

	// The lane of a sender that is traced, where it is not the target's.
	pid_t
	sender_lane(const Event &ev) const
	{
		const Sender &from = ev.from;
		if (!from.pid || !find(from.pid) ||
		    from.tid == (ev.to_process ? ev.pid : ev.tid))
			return 0;
		return find(from.tid) ? from.tid : from.pid;
	}

	void
	handler_return(const Event &ev, size_t step, const std::string &title)
	{
		auto &runs = runs_[ev.tid];
		if (!runs.empty()) {
			close(runs.back(), step, title);
			runs.pop_back();
		}
		mask(ev.tid, step, ev.blocked, title);
	}

	void
	end(const Event &ev, size_t step, const std::string &title)
	{
		// The thread's lane, or each of the process's, in the order
		// they were made.
		std::vector<pid_t> ending{ev.tid};
		if (ev.type != Type::ThreadExit) {
			auto all = tasks_.find(ev.pid);
			ending = all != tasks_.end() ? all->second
						     : std::vector<pid_t>();
		}
		for (pid_t tid : ending) {
			Lane *each = find(tid);
			if (!each || each->to != OPEN)
				continue;
			each->to = step;
			Mark mark =
			    mark_of(Kind::End, tid, 0, step, step, title);
			mark.label = ev.type == Type::Untraced	   ? "untraced"
				     : ev.type == Type::ThreadExit ? "ends"
				     : ev.killed_by
					 ? signame(ev.killed_by) +
					       (ev.core ? ", core" : "")
					 : "exit " + std::to_string(ev.status);
			add(mark);
		}
	}

	// Past the most signal events drawn, or else not drawn: counted, by
	// signal and fate, or by kind.
	void
	count(const Event &ev, bool past)
	{
		bool first = dense_ == OPEN;
		if (first) {
			dense_ = steps_.size();
			steps_.push_back(ev.us);
		}
		if (past && !cut_) {
			// What is open now ends among what is not drawn, where
			// the first signal event not drawn was.
			cut_ = true;
			size_t step = first ? dense_ : steps_.size();
			if (!first)
				steps_.push_back(ev.us);
			for (Mark &mark : marks_)
				if (mark.to == OPEN &&
				    (mark.kind == Kind::Wait ||
				     mark.kind == Kind::Handler)) {
					mark.to = step;
					mark.title +=
					    "\nthen too dense to draw";
				}
			open_.clear();
			runs_.clear();
		}
		untold_last_ = ev.us;
		// Named only when written: a name per event would cost more
		// than all the rest.
		Untold key{ev.type, ev.type == Type::Signal ? ev.sig : 0,
			   ev.type == Type::Signal ? ev.what : What::Pending};
		std::uint64_t events = ev.type == Type::Lost ? ev.lost : 1;
		untold_[key] += events;
		(past ? past_ : beyond_) += events;
	}

	// Each step's x: time runs right, each step at least STEP further,
	// a longer gap longer by its logarithm, so that microseconds and
	// seconds both read.
	void
	layout()
	{
		// Each process's threads under it, whenever they began.
		std::map<pid_t, size_t> first;
		for (const Lane &each : lanes_)
			first.try_emplace(each.pid, first.size());
		std::stable_sort(lanes_.begin(), lanes_.end(),
				 [&](const Lane &one, const Lane &other) {
					 return first[one.pid] <
						first[other.pid];
				 });
		for (size_t i = 0; i < lanes_.size(); i++)
			index_[lanes_[i].tid] = i;
		double px = LABELS + 20;
		xs_.clear();
		for (size_t i = 0; i < steps_.size(); i++) {
			if (i) {
				double gap = static_cast<double>(steps_[i] -
								 steps_[i - 1]);
				px += std::max(
				    STEP, 4 + 16 * std::log10(1 + gap / 10));
			}
			if (dense_ != OPEN && i == dense_ + 1)
				px += 220; // room for what was too dense
			xs_.push_back(px);
		}
		double py = TOP;
		for (Lane &each : lanes_) {
			each.y = py;
			py += height(each) + LANE_GAP;
		}
		// Room for the counts of what was not drawn.
		if (dense_ != OPEN)
			py = std::max(py, TOP + 14 * static_cast<double>(
							 untold_.size() + 2));
		height_ = py;
	}

	static double
	height(const Lane &lane)
	{
		// A lane with no signal keeps a row, to say so.
		return 18 +
		       ROW * static_cast<double>(
				 std::max<size_t>(lane.signals.size(), 1)) +
		       RUN * lane.depth + BAND;
	}

	static double
	row_y(const Lane &lane, int sig)
	{
		auto it =
		    std::find(lane.signals.begin(), lane.signals.end(), sig);
		return lane.y + 18 +
		       ROW * static_cast<double>(it - lane.signals.begin()) +
		       ROW / 2;
	}

	const char *
	colour(int sig) const
	{
		auto it = std::find(signals_.begin(), signals_.end(), sig);
		size_t at = static_cast<size_t>(it - signals_.begin());
		return colours[at % (sizeof(colours) / sizeof(*colours))];
	}

	void write(const Summary &summary);
	void draw_lane(const Summary &summary, const Lane &lane);
	void draw_mark(const Mark &mark);
	void shape(Kind kind, Action action, double px, double py,
		   const char *fill);
	void axis();
	void legend(double py);
	void dense();

	FILE *out_;
	std::string program_;
	std::vector<std::uint64_t> steps_; // each step's time
	std::vector<double> xs_;	   // and its x
	std::vector<Lane> lanes_;
	std::unordered_map<pid_t, size_t> index_; // each lane, by its tid
	std::unordered_map<pid_t, std::vector<pid_t>> tasks_; // by pid
	size_t processes_ = 0, threads_ = 0;		      // their lanes
	std::unordered_set<pid_t> refused_; // tasks with no lane, nor to have
	std::vector<Mark> marks_;
	std::vector<int> signals_;
	std::map<std::pair<pid_t, int>, std::vector<size_t>> open_;
	std::map<pid_t, std::vector<size_t>> runs_;
	std::map<pid_t, size_t> stopped_;
	size_t drawn_ = 0; // signal events drawn
	size_t told_ = 0;  // and the others
	std::map<Untold, std::uint64_t> untold_;
	size_t dense_ = OPEN;	   // the step of the first event not drawn
	bool cut_ = false;	   // whether one was past the most drawn
	std::uint64_t past_ = 0;   // signal events past the most drawn
	std::uint64_t beyond_ = 0; // and the rest not drawn
	std::uint64_t untold_last_ = 0;
	double height_ = 0;
};

// Each mark's shape, drawn about the origin in currentColor, the colour
// of its signal: filled and edged in black, or hollow and edged in the
// colour, so that the shapes differ in black and white too.
struct Outline {
	Kind kind;
	Action action; // of a delivery
	const char *body;
};

const Outline outlines[] = {
    {Kind::Generated, Action::None,
     "<circle r=\"4\" fill=\"currentColor\" stroke=\"#000\"/>"},
    {Kind::Merged, Action::None,
     "<path d=\"M0,-6L5,0L0,6L-5,0Z\" fill=\"#fff\" stroke=\"currentColor\" "
     "stroke-width=\"2\"/>"},
    {Kind::Ignored, Action::None,
     "<circle r=\"4\" fill=\"#fff\" stroke=\"currentColor\" "
     "stroke-width=\"1.5\"/>"},
    {Kind::Lost, Action::None,
     "<path d=\"M-4,-4L4,4M-4,4L4,-4\" stroke=\"currentColor\" "
     "stroke-width=\"2.5\"/>"},
    {Kind::Dropped, Action::None,
     "<rect x=\"-4\" y=\"-4\" width=\"8\" height=\"8\" fill=\"#fff\" "
     "stroke=\"currentColor\" stroke-width=\"1.5\"/>"},
    {Kind::Taken, Action::None,
     "<path d=\"M-5,-5L5,-5L0,5Z\" fill=\"currentColor\" stroke=\"#000\"/>"},
    {Kind::Discarded, Action::None,
     "<path d=\"M-4,-4L4,4M-4,4L4,-4\" stroke=\"#000\" "
     "stroke-width=\"1.5\"/>"},
    {Kind::Delivered, Action::Handler,
     "<path d=\"M-5,-6L6,0L-5,6Z\" fill=\"currentColor\" stroke=\"#000\"/>"},
    {Kind::Delivered, Action::Ignore,
     "<path d=\"M-5,-6L6,0L-5,6Z\" fill=\"#fff\" stroke=\"currentColor\" "
     "stroke-width=\"1.5\"/>"},
    {Kind::Delivered, Action::Continue,
     "<path d=\"M-5,-6L6,0L-5,6Z\" fill=\"#fff\" stroke=\"currentColor\" "
     "stroke-width=\"1.5\"/>"},
    {Kind::Delivered, Action::Stop,
     "<rect x=\"-5\" y=\"-5\" width=\"10\" height=\"10\" "
     "fill=\"currentColor\" stroke=\"#000\"/>"},
    {Kind::Delivered, Action::Terminate,
     "<circle r=\"7\" fill=\"#fff\" stroke=\"#000\"/><path "
     "d=\"M-4,-4L4,4M-4,4L4,-4\" stroke=\"currentColor\" "
     "stroke-width=\"2.5\"/>"},
    {Kind::Delivered, Action::Core,
     "<circle r=\"7\" fill=\"#fff\" stroke=\"#000\" stroke-width=\"3\"/><path "
     "d=\"M-4,-4L4,4M-4,4L4,-4\" stroke=\"currentColor\" "
     "stroke-width=\"2.5\"/>"},
};

void
Svg::shape(Kind kind, Action action, double px, double py, const char *fill)
{
	// A delivery's outline is its action's; any other's, its kind's.
	if (kind != Kind::Delivered)
		action = Action::None;
	else if (action == Action::None)
		action = Action::Handler;
	const Outline *found = std::find_if(
	    std::begin(outlines), std::end(outlines), [&](const Outline &each) {
		    return each.kind == kind && each.action == action;
	    });
	if (found != std::end(outlines))
		std::fprintf(
		    out_,
		    "<g transform=\"translate(%s,%s)\" color=\"%s\">%s</g>",
		    number(px).c_str(), number(py).c_str(), fill, found->body);
}

void
Svg::draw_mark(const Mark &mark)
{
	const Lane *on = find(mark.lane);
	if (!on)
		return;
	double px = xs_[mark.from];
	double to = xs_[mark.to];
	double py = mark.sig ? row_y(*on, mark.sig) : on->y + 9;
	const char *fill = mark.sig ? colour(mark.sig) : "#000";

	std::fprintf(out_, "<g class=\"mark %s\"><title>%s</title>",
		     kind_names[static_cast<int>(mark.kind)],
		     escape(mark.title).c_str());
	switch (mark.kind) {
	case Kind::Wait:
		std::fprintf(
		    out_,
		    "<rect x=\"%s\" y=\"%s\" width=\"%s\" height=\"8\" "
		    "fill=\"%s\" fill-opacity=\"0.35\" stroke=\"%s\"/>",
		    number(px).c_str(), number(py - 4).c_str(),
		    number(std::max(to - px, 1.0)).c_str(), fill, fill);
		break;
	case Kind::Handler: {
		double top = on->y + 18 +
			     ROW * static_cast<double>(std::max<size_t>(
				       on->signals.size(), 1)) +
			     RUN * mark.depth;
		std::fprintf(
		    out_,
		    "<rect x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" "
		    "fill=\"%s\" stroke=\"#000\" stroke-width=\"0.5\"/>",
		    number(px).c_str(), number(top + 1).c_str(),
		    number(std::max(to - px, 2.0)).c_str(),
		    number(RUN - 2).c_str(), fill);
		break;
	}
	case Kind::Fork:
	case Kind::Thread: {
		const Lane *made = find(mark.other);
		double y2 = made ? made->y + 9 : py;
		std::fprintf(
		    out_,
		    "<path d=\"M%s,%sL%s,%s\" stroke=\"#000\" "
		    "stroke-width=\"1.5\" %smarker-end=\"url(#arrow)\"/>",
		    number(px).c_str(), number(py).c_str(), number(px).c_str(),
		    number(y2 - 6).c_str(),
		    mark.kind == Kind::Thread ? "stroke-dasharray=\"2 2\" "
					      : "");
		break;
	}
	case Kind::Stopped:
		std::fprintf(out_,
			     "<path d=\"M%s,%sL%s,%s\" stroke=\"#000\" "
			     "stroke-width=\"3\" stroke-dasharray=\"6 3\"/>",
			     number(px).c_str(), number(py).c_str(),
			     number(to).c_str(), number(py).c_str());
		break;
	case Kind::End:
		std::fprintf(out_,
			     "<path d=\"M%s,%sL%s,%s\" stroke=\"#000\" "
			     "stroke-width=\"3\"/><text x=\"%s\" y=\"%s\">%s"
			     "</text>",
			     number(px).c_str(), number(on->y + 2).c_str(),
			     number(px).c_str(),
			     number(on->y + height(*on)).c_str(),
			     number(px + 5).c_str(), number(on->y + 11).c_str(),
			     escape(mark.label).c_str());
		break;
	case Kind::Gap:
		std::fprintf(
		    out_,
		    "<path d=\"M%s,%sl3,-6l3,6l3,-6l3,6\" fill=\"none\" "
		    "stroke=\"#c00\" stroke-width=\"2\"/>",
		    number(px - 6).c_str(), number(on->y + 8).c_str());
		break;
	default:
		if (const Lane *from = mark.other ? find(mark.other) : nullptr)
			std::fprintf(
			    out_,
			    "<path d=\"M%s,%sL%s,%s\" stroke=\"%s\" "
			    "stroke-dasharray=\"3 2\"/>",
			    number(px).c_str(), number(from->y + 9).c_str(),
			    number(px).c_str(), number(py).c_str(), fill);
		shape(mark.kind, mark.action, px, py, fill);
	}
	std::fputs("</g>\n", out_);
}

void
Svg::draw_lane(const Summary &summary, const Lane &lane)
{
	auto proc =
	    std::find_if(summary.processes.begin(), summary.processes.end(),
			 [&](const ProcessSummary &each) {
				 return each.who.pid == lane.pid;
			 });
	Who who = proc != summary.processes.end() ? proc->who
						  : Who{lane.pid, false, ""};
	std::string name =
	    lane.tid != lane.pid
		? "thread " + std::to_string(lane.tid)
		: (who.child ? "child " : "process ") +
		      std::to_string(lane.pid) +
		      (!who.program.empty() ? " (" + shown(who.program) + ")"
					    : "");
	double x0 = xs_[lane.from];
	double x1 = xs_[lane.to];
	double bottom = lane.y + height(lane);

	std::fprintf(out_,
		     "<g class=\"lane\"><text class=\"name\" x=\"8\" y=\"%s\" "
		     "font-weight=\"bold\">%s</text>\n",
		     number(lane.y + 12).c_str(), escape(name).c_str());
	std::fprintf(out_,
		     "<rect x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" "
		     "fill=\"#f4f4f4\"/>\n",
		     number(x0).c_str(), number(lane.y).c_str(),
		     number(std::max(x1 - x0, 1.0)).c_str(),
		     number(bottom - lane.y).c_str());
	for (int sig : lane.signals)
		std::fprintf(out_,
			     "<text x=\"%s\" y=\"%s\" text-anchor=\"end\">%s"
			     "</text>\n",
			     number(LABELS).c_str(),
			     number(row_y(lane, sig) + 4).c_str(),
			     signame(sig).c_str());
	if (lane.signals.empty())
		std::fprintf(out_,
			     "<text x=\"%s\" y=\"%s\" text-anchor=\"end\" "
			     "font-style=\"italic\">no signal</text>\n",
			     number(LABELS).c_str(),
			     number(lane.y + 18 + ROW / 2 + 4).c_str());
	if (lane.depth)
		std::fprintf(
		    out_,
		    "<text x=\"%s\" y=\"%s\" text-anchor=\"end\">"
		    "handler runs</text>\n",
		    number(LABELS).c_str(),
		    number(bottom - BAND - RUN * lane.depth / 2 + 4).c_str());
	std::fprintf(out_,
		     "<text x=\"%s\" y=\"%s\" text-anchor=\"end\" "
		     "font-style=\"italic\">blocked</text>\n",
		     number(LABELS).c_str(), number(bottom - 2).c_str());
	// The blocked band: each set from its change to the next.
	for (size_t i = 0; i < lane.masks.size(); i++) {
		const Mask &band = lane.masks[i];
		double from = xs_[std::max(band.from, lane.from)];
		double to = i + 1 < lane.masks.size()
				? xs_[lane.masks[i + 1].from]
				: x1;
		std::string names = sigset_names(band.set);
		std::fprintf(
		    out_,
		    "<g class=\"mark blocked\"><title>%s</title>"
		    "<rect x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\" "
		    "fill=\"%s\" stroke=\"#fff\"/>",
		    escape(band.title).c_str(), number(from).c_str(),
		    number(bottom - BAND).c_str(),
		    number(std::max(to - from, 0.5)).c_str(),
		    number(BAND).c_str(), band.set ? "#bbb" : "#eee");
		// Named where there is room.
		if (band.set &&
		    to - from > 7.0 * static_cast<double>(names.size()))
			std::fprintf(out_,
				     "<text x=\"%s\" y=\"%s\" "
				     "font-size=\"9\">%s</text>",
				     number(from + 3).c_str(),
				     number(bottom - 3).c_str(), names.c_str());
		std::fputs("</g>\n", out_);
	}
	std::fputs("</g>\n", out_);
}

// The axis: each time labelled where a label has room, and each long gap
// shown broken, since it is drawn shorter than it is.
void
Svg::axis()
{
	double py = height_ + 4;
	double last = -1e9; // the x of the last label

	std::fprintf(out_,
		     "<g class=\"axis\"><path d=\"M%s,%sL%s,%s\" "
		     "stroke=\"#000\"/>\n",
		     number(xs_.front()).c_str(), number(py).c_str(),
		     number(xs_.back()).c_str(), number(py).c_str());
	for (size_t i = 0; i < steps_.size(); i++) {
		double px = xs_[i];
		if (i && steps_[i] - steps_[i - 1] >= LONG_GAP) {
			double mid = (xs_[i - 1] + px) / 2;
			std::fprintf(
			    out_,
			    "<path d=\"M%s,%sl4,-8M%s,%sl4,-8\" "
			    "stroke=\"#000\"/><text x=\"%s\" y=\"%s\" "
			    "text-anchor=\"middle\" font-size=\"9\">"
			    "+%s</text>\n",
			    number(mid - 4).c_str(), number(py + 4).c_str(),
			    number(mid).c_str(), number(py + 4).c_str(),
			    number(mid).c_str(), number(py - 6).c_str(),
			    when(steps_[i] - steps_[i - 1]).c_str());
		}
		if (px - last < 70 || (i && steps_[i] == steps_[i - 1]))
			continue;
		last = px;
		std::fprintf(
		    out_,
		    "<path d=\"M%s,%sv5\" stroke=\"#000\"/><text "
		    "x=\"%s\" y=\"%s\" text-anchor=\"middle\">%s</text>\n",
		    number(px).c_str(), number(py).c_str(), number(px).c_str(),
		    number(py + 17).c_str(), when(steps_[i]).c_str());
	}
	std::fputs("</g>\n", out_);
}

void
Svg::legend(double py)
{
	struct Key {
		Kind kind;
		Action action;
		const char *words;
	};
	static const Key keys[] = {
	    {Kind::Generated, Action::None, "made pending"},
	    {Kind::Merged, Action::None, "merged: one already pending"},
	    {Kind::Ignored, Action::None, "ignored"},
	    {Kind::Lost, Action::None, "lost: queue full"},
	    {Kind::Dropped, Action::None, "dropped: process ending"},
	    {Kind::Delivered, Action::Handler, "delivered to a handler"},
	    {Kind::Delivered, Action::Ignore, "delivered, ignored or goes on"},
	    {Kind::Delivered, Action::Stop, "delivered: stops"},
	    {Kind::Delivered, Action::Terminate,
	     "delivered: ends (core: thick)"},
	    {Kind::Taken, Action::None, "taken by sigwait or signalfd"},
	    {Kind::Discarded, Action::None, "discarded while pending"},
	};
	double px = 16;

	std::fprintf(out_, "<g class=\"legend\">\n");
	for (const Key &key : keys) {
		shape(key.kind, key.action, px, py, "#777");
		std::fprintf(out_, "<text x=\"%s\" y=\"%s\">%s</text>\n",
			     number(px + 10).c_str(), number(py + 4).c_str(),
			     key.words);
		px += 215;
		if (px > 700) {
			px = 16;
			py += 20;
		}
	}
	py += 22;
	px = 16;
	for (const char *words :
	     {"Bars: pending, from generation to fate. Spans under the rows: "
	      "handler runs, nested ones deeper. Grey band: blocked signals.",
	      "Time runs right; long gaps are drawn short, and say how long "
	      "they were. A mark's tooltip gives its line of the account."}) {
		std::fprintf(out_, "<text x=\"%s\" y=\"%s\">%s</text>\n",
			     number(px).c_str(), number(py + 4).c_str(), words);
		py += 16;
	}
	py += 4;
	for (int sig : signals_) {
		std::fprintf(
		    out_,
		    "<rect x=\"%s\" y=\"%s\" width=\"12\" height=\"8\" "
		    "fill=\"%s\"/><text x=\"%s\" y=\"%s\">%s</text>\n",
		    number(px).c_str(), number(py - 4).c_str(), colour(sig),
		    number(px + 16).c_str(), number(py + 4).c_str(),
		    signame(sig).c_str());
		px += 110;
	}
	std::fputs("</g>\n", out_);
}

// What was too dense to draw, counted.
void
Svg::dense()
{
	double px = xs_[dense_] + 10;
	double py = TOP + 14;
	std::string said;

	for (const auto &[what, n] : untold_)
		said += (said.empty() ? "" : ", ") + name_of(what) + " " +
			std::to_string(n);
	std::fprintf(out_,
		     "<g class=\"mark dense\"><title>not drawn, from %s to "
		     "%s: %s</title><rect x=\"%s\" y=\"%s\" width=\"200\" "
		     "height=\"%s\" fill=\"#ddd\"/>\n",
		     when(steps_[dense_]).c_str(), when(untold_last_).c_str(),
		     said.c_str(), number(px).c_str(), number(TOP).c_str(),
		     number(height_ - TOP).c_str());
	std::fprintf(out_, "<text x=\"%s\" y=\"%s\">not drawn:</text>\n",
		     number(px + 4).c_str(), number(py).c_str());
	for (const auto &[what, n] : untold_)
		std::fprintf(out_, "<text x=\"%s\" y=\"%s\">%s %llu</text>\n",
			     number(px + 4).c_str(), number(py += 14).c_str(),
			     name_of(what).c_str(),
			     static_cast<unsigned long long>(n));
	std::fputs("</g>\n", out_);
}

void
Svg::write(const Summary &summary)
{
	double width = xs_.back() + RIGHT;
	double legend_y = height_ + 40;
	double total = legend_y + 86 + (signals_.empty() ? 0 : 20) +
		       (untold_.empty() ? 0 : 20);

	std::fprintf(
	    out_,
	    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
	    "<svg xmlns=\"http://www.w3.org/2000/svg\" "
	    "width=\"%s\" height=\"%s\" viewBox=\"0 0 %s %s\" "
	    "font-family=\"sans-serif\" font-size=\"11\">\n",
	    number(std::max(width, 900.0)).c_str(), number(total).c_str(),
	    number(std::max(width, 900.0)).c_str(), number(total).c_str());
	std::fprintf(out_,
		     "<title>sigtrace: what the kernel did with the signals "
		     "of %s</title>\n"
		     "<defs><marker id=\"arrow\" viewBox=\"0 0 10 10\" "
		     "refX=\"5\" refY=\"5\" markerWidth=\"6\" "
		     "markerHeight=\"6\" orient=\"auto\"><path "
		     "d=\"M0,0L10,5L0,10Z\"/></marker></defs>\n"
		     "<rect width=\"100%%\" height=\"100%%\" fill=\"#fff\"/>\n",
		     escape(program_).c_str());
	std::fprintf(out_,
		     "<text x=\"8\" y=\"22\" font-size=\"15\" "
		     "font-weight=\"bold\">What the kernel did with the "
		     "signals of %s</text>\n",
		     escape(program_).c_str());
	std::string note =
	    signals_.empty() ? "No signal was sent to it."
	    : summary.lost   ? std::to_string(summary.lost) +
				 " events were lost; the summary counts them."
			   : "";
	if (past_)
		note += " Too dense to draw: after the first " +
			std::to_string(MOST_DRAWN) + ", " +
			std::to_string(past_) +
			" more are counted in the grey box.";
	if (beyond_)
		note += " Only " + std::to_string(MOST_PROCESSES) +
			" processes, " + std::to_string(MOST_THREADS) +
			" threads and " + std::to_string(MOST_TOLD) +
			" of their forks, execs and stops are drawn: " +
			std::to_string(beyond_) +
			" more events are counted in the grey box.";
	std::fprintf(out_, "<text class=\"note\" x=\"8\" y=\"40\">%s</text>\n",
		     escape(note).c_str());
	for (const Lane &each : lanes_)
		draw_lane(summary, each);
	for (const Mark &each : marks_)
		draw_mark(each);
	if (dense_ != OPEN)
		dense();
	axis();
	legend(legend_y);
	std::fputs("</svg>\n", out_);
}

// Each writer in turn.
class All : public Writer
{
      public:
	explicit All(std::vector<std::unique_ptr<Writer>> writers)
	    : writers_(std::move(writers))
	{
	}

	void
	start(const char *program, pid_t pid) override
	{
		for (auto &each : writers_)
			each->start(program, pid);
	}

	void
	event(const Event &ev) override
	{
		for (auto &each : writers_)
			each->event(ev);
	}

	void
	summary(const Summary &summary) override
	{
		for (auto &each : writers_)
			each->summary(summary);
	}

      private:
	std::vector<std::unique_ptr<Writer>> writers_;
};

} // namespace

std::unique_ptr<Writer>
svg_writer(FILE *out)
{
	return std::make_unique<Svg>(out);
}

std::unique_ptr<Writer>
all_of(std::vector<std::unique_ptr<Writer>> writers)
{
	return std::make_unique<All>(std::move(writers));
}

} // namespace sigtrace

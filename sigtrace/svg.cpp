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
#include <vector>

#include "writers.h"

namespace sigtrace
{

namespace
{

// Past this many signal events the rest are counted, not drawn.
constexpr size_t MOST_DRAWN = 400;

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
	return untold.type == Type::Signal
		   ? signame(untold.sig) + " " + what_name(untold.what)
	       : untold.type == Type::Return  ? "handler returns"
	       : untold.type == Type::Blocked ? "changes of the blocked set"
					      : "records lost";
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

	for (char ch : text)
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
			// XML allows no other control characters.
			if (static_cast<unsigned char>(ch) >= 0x20 ||
			    ch == '\n' || ch == '\t')
				out += ch;
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

// The valid UTF-8 of a text, for a file that must be XML: a byte that
// begins no whole character becomes U+FFFD.
std::string
valid(const std::string &text)
{
	std::string out;

	for (size_t at = 0; at < text.size();) {
		size_t length = utf8_length(text, at);
		out += length ? text.substr(at, length) : "\xef\xbf\xbd";
		at += length ? length : 1;
	}
	return out;
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
		program_ = program;
		lane(pid, pid, 0);
	}

	void
	event(const Account &account, const Event &ev) override
	{
		bool signal = ev.type == Type::Signal ||
			      ev.type == Type::Return ||
			      ev.type == Type::Blocked || ev.type == Type::Lost;
		if (signal && drawn_ >= MOST_DRAWN) {
			count(ev);
			return;
		}
		drawn_ += signal;
		size_t step = steps_.size();
		steps_.push_back(ev.us);
		std::string title = line(account, ev);
		title.erase(0, title.find_first_not_of(' '));

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
			signal_event(account, ev, step, title);
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
	summary(const Account &account) override
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
		write(account);
	}

      private:
	// A task's lane, made where it has none yet.  A reference lasts
	// until the next lane is made.
	Lane &
	lane(pid_t pid, pid_t tid, size_t step)
	{
		auto it = std::find_if(
		    lanes_.begin(), lanes_.end(),
		    [&](const Lane &each) { return each.tid == tid; });
		if (it != lanes_.end())
			return *it;
		Lane made;
		made.pid = pid;
		made.tid = tid;
		made.from = step;
		lanes_.push_back(made);
		return lanes_.back();
	}

	const Lane *
	find(pid_t tid) const
	{
		auto it = std::find_if(
		    lanes_.begin(), lanes_.end(),
		    [&](const Lane &each) { return each.tid == tid; });
		return it != lanes_.end() ? &*it : nullptr;
	}

	void
	row(pid_t tid, int sig)
	{
		Lane &on = lane(tid, tid, 0);
		if (std::find(on.signals.begin(), on.signals.end(), sig) ==
		    on.signals.end())
			on.signals.push_back(sig);
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
		Lane &on = lane(tid, tid, step);
		if (!on.masks.empty() && on.masks.back().set == set)
			return;
		on.masks.push_back({step, set, title});
	}

	void
	signal_event(const Account &account, const Event &ev, size_t step,
		     const std::string &title)
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
			mark.other = sender_lane(account, ev);
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
			Lane &on = lane(ev.tid, ev.tid, step);
			on.depth = std::max(on.depth, run.depth + 1);
			runs.push_back(marks_.size());
			add(run);
			mask(ev.tid, step, ev.blocked, title);
		}
	}

	// The lane of a sender that is traced, where it is not the target's.
	pid_t
	sender_lane(const Account &account, const Event &ev) const
	{
		const Sender &from = ev.from;
		if (!from.pid || !account.find(from.pid) ||
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
		bool whole = ev.type != Type::ThreadExit;
		for (Lane &each : lanes_)
			if ((whole ? each.pid == ev.pid : each.tid == ev.tid) &&
			    each.to == OPEN) {
				each.to = step;
				Mark mark = mark_of(Kind::End, each.tid, 0,
						    step, step, title);
				mark.label =
				    ev.type == Type::Untraced	  ? "untraced"
				    : ev.type == Type::ThreadExit ? "ends"
				    : ev.killed_by
					? signame(ev.killed_by) +
					      (ev.core ? ", core" : "")
					: "exit " + std::to_string(ev.status);
				add(mark);
			}
	}

	// Past the most drawn: counted by signal and fate.
	void
	count(const Event &ev)
	{
		if (dense_ == OPEN) {
			// What is open now ends among what is not drawn.
			dense_ = steps_.size();
			steps_.push_back(ev.us);
			for (Mark &mark : marks_)
				if (mark.to == OPEN &&
				    (mark.kind == Kind::Wait ||
				     mark.kind == Kind::Handler)) {
					mark.to = dense_;
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
		untold_[key] += ev.type == Type::Lost ? ev.lost : 1;
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

	void write(const Account &account);
	void draw_lane(const Account &account, const Lane &lane);
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
	std::vector<Mark> marks_;
	std::vector<int> signals_;
	std::map<std::pair<pid_t, int>, std::vector<size_t>> open_;
	std::map<pid_t, std::vector<size_t>> runs_;
	std::map<pid_t, size_t> stopped_;
	size_t drawn_ = 0;
	std::map<Untold, std::uint64_t> untold_;
	size_t dense_ = OPEN; // the step where drawing stopped
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
		     escape(valid(mark.title)).c_str());
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
Svg::draw_lane(const Account &account, const Lane &lane)
{
	const Process *proc = account.find(lane.pid);
	std::string name =
	    lane.tid != lane.pid
		? "thread " + std::to_string(lane.tid)
		: (proc && proc->parent ? "child " : "process ") +
		      std::to_string(lane.pid) +
		      (proc && !proc->program.empty()
			   ? " (" + proc->program + ")"
			   : "");
	double x0 = xs_[lane.from];
	double x1 = xs_[lane.to];
	double bottom = lane.y + height(lane);

	std::fprintf(out_,
		     "<g class=\"lane\"><text class=\"name\" x=\"8\" y=\"%s\" "
		     "font-weight=\"bold\">%s</text>\n",
		     number(lane.y + 12).c_str(), escape(valid(name)).c_str());
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
		    escape(valid(band.title)).c_str(), number(from).c_str(),
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
Svg::write(const Account &account)
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
		     escape(valid(program_)).c_str());
	std::fprintf(out_,
		     "<text x=\"8\" y=\"22\" font-size=\"15\" "
		     "font-weight=\"bold\">What the kernel did with the "
		     "signals of %s</text>\n",
		     escape(valid(program_)).c_str());
	std::string note =
	    signals_.empty() ? "No signal was sent to it."
	    : account.lost_total()
		? std::to_string(account.lost_total()) +
		      " events were lost; the summary counts them."
		: "";
	std::uint64_t untold = 0;
	for (const auto &[what, n] : untold_)
		untold += n;
	if (untold)
		note += " Too dense to draw: after the first " +
			std::to_string(MOST_DRAWN) + ", " +
			std::to_string(untold) +
			" more are counted in the grey box.";
	std::fprintf(out_, "<text class=\"note\" x=\"8\" y=\"40\">%s</text>\n",
		     escape(note).c_str());
	for (const Lane &each : lanes_)
		draw_lane(account, each);
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
	event(const Account &account, const Event &ev) override
	{
		for (auto &each : writers_)
			each->event(account, ev);
	}

	void
	summary(const Account &account) override
	{
		for (auto &each : writers_)
			each->summary(account);
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

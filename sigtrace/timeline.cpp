// SPDX-License-Identifier: ISC
/*
 * The account's events put on the picture's lanes.  Every mark carries
 * the account's own line for it as its title; a bar is ended by the fate
 * that names the time it was made pending, a handler run by its return.
 */
#include "timeline.h"

#include <algorithm>

#include "writers.h"

namespace sigtrace::picture
{

namespace
{

const char *const kind_names[] = {
    "wait",    "generated", "merged",  "ignored",   "lost",
    "dropped", "delivered", "taken",   "discarded", "handler",
    "fork",    "thread",    "stopped", "end",	    "gap"};

// A name for what a count counts.
std::string
name_of(Type type, int sig, What what)
{
	switch (type) {
	case Type::Signal:
		return signame(sig) + " " + word(what);
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

std::uint64_t
bit(int sig)
{
	return sig >= 1 && sig <= 64 ? std::uint64_t(1) << (sig - 1) : 0;
}

// A name from outside no longer than most bytes, an ellipsis saying where
// it was cut.
std::string
cut(const std::string &name, size_t most = MOST_NAME)
{
	return name.size() > most ? name.substr(0, most) + "\xe2\x80\xa6"
				  : name;
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

Mark
mark_of(Kind kind, pid_t lane, int sig, size_t from, size_t to,
	std::string title)
{
	Mark mark;
	mark.kind = kind;
	mark.lane = lane;
	mark.sig = sig;
	mark.from = from;
	mark.to = to;
	mark.title = std::move(title);
	return mark;
}

// How a lane ends, as its end reads.
std::string
end_label(const Event &ev)
{
	if (ev.type == Type::Untraced)
		return "untraced";
	if (ev.type == Type::ThreadExit)
		return "ends";
	if (ev.killed_by)
		return signame(ev.killed_by) + (ev.core ? ", core" : "");
	return "exit " + std::to_string(ev.status);
}

// Where the lane's mask blocked a signal delivered to a handler, the mask
// it was delivered under is not the one the events last told: sigsuspend,
// pselect, ppoll and epoll_pwait set one for their wait and tell nothing,
// and records may have been lost.  The band says so from the step after
// the last told one, rather than show the signal blocked as it is
// delivered.
void
unseen(Lane &on, int sig, size_t step, const std::string &title)
{
	if (on.masks.empty())
		return;
	const Mask &now = on.masks.back();
	if (!now.known || !(now.set & bit(sig)))
		return;
	size_t from = now.from + 1 < step ? now.from + 1 : now.from;
	on.masks.push_back({from, false, 0,
			    "blocked signals not known: " + signame(sig) +
				" was not blocked as it was delivered, so the "
				"mask changed with no record, as sigsuspend "
				"and ppoll change it while they wait\n" +
				title});
}

// Each process's threads under it, whenever they began.
void
order(Timeline &tl)
{
	std::unordered_map<pid_t, size_t> first;
	for (const Lane &each : tl.lanes)
		first.try_emplace(each.pid, first.size());
	std::stable_sort(tl.lanes.begin(), tl.lanes.end(),
			 [&](const Lane &one, const Lane &other) {
				 return first[one.pid] < first[other.pid];
			 });
	for (size_t i = 0; i < tl.lanes.size(); i++)
		tl.index[tl.lanes[i].tid] = i;
}

} // namespace

const char *
kind_name(Kind kind)
{
	return kind_names[static_cast<size_t>(kind)];
}

bool
lasts(Kind kind)
{
	return kind == Kind::Wait || kind == Kind::Handler ||
	       kind == Kind::Stopped;
}

std::string
shown(const std::string &name, size_t most)
{
	return printable(cut(name, most));
}

const Lane *
Timeline::find(pid_t tid) const
{
	auto at = index.find(tid);
	return at != index.end() ? &lanes[at->second] : nullptr;
}

size_t
Timeline::colour(int sig) const
{
	return static_cast<size_t>(
	    std::find(signals.begin(), signals.end(), sig) - signals.begin());
}

void
Builder::start(const std::string &program, pid_t pid)
{
	tl_.program = shown(program, MOST_PROGRAM);
	lane(pid, pid, 0);
}

void
Builder::add(const Event &ev)
{
	bool signals = of_signals(ev.type);
	Tasks on = tasks_of(ev);
	if (ev.type == Type::Exec || ev.type == Type::Fork || ev.is_child)
		note(ev);
	// A lane's end is drawn whatever came before it, as a lane ends but
	// once.
	if (signals ? drawn_ >= MOST_DRAWN
		    : told_ >= MOST_TOLD && !ends_lane(ev)) {
		// A wait draws nothing but its step.
		if (ev.type != Type::Waiting)
			count(ev, signals);
		return;
	}
	if (!room(on)) {
		count(ev, false);
		return;
	}
	(signals ? drawn_ : told_)++;
	size_t step = tl_.steps.size();
	tl_.steps.push_back(ev.us);
	for (size_t i = 0; on.made && i < on.size; i++)
		lane(on.task[i].first, on.task[i].second, step);
	if (ev.type == Type::Signal)
		fates_[{ev.sig, ev.what}]++;
	place(ev, step, title_of(ev));
}

// An event that has its step, on lanes that are there.
void
Builder::place(const Event &ev, size_t step, const std::string &title)
{
	switch (ev.type) {
	case Type::Exec:
		if (ev.has_blocked)
			mask(ev.tid, step, true, ev.blocked, title);
		break;
	case Type::Fork:
	case Type::Thread:
		made(ev, step, title);
		break;
	case Type::Signal:
		signal_event(ev, step, title);
		break;
	case Type::Return:
		handler_return(ev, step, title);
		break;
	case Type::Blocked:
		mask(ev.tid, step, ev.has_blocked, ev.blocked, title);
		break;
	case Type::Stop:
		stopped_[ev.pid] = tl_.marks.size();
		add(mark_of(Kind::Stopped, ev.pid, 0, step, OPEN, title));
		break;
	case Type::Continue:
		if (stopped_.count(ev.pid)) {
			close(stopped_[ev.pid], step, title);
			stopped_.erase(ev.pid);
		}
		break;
	case Type::ThreadExit:
	case Type::Exit:
	case Type::Untraced:
		end(ev, step, title);
		break;
	case Type::Lost:
		add(mark_of(Kind::Gap, ev.tid, 0, step, step, title));
		break;
	case Type::Waiting:
		break;
	}
}

// A task's lane, made where it has none yet: room() has said whether it
// may be.  A reference lasts until the next lane is made.
Lane &
Builder::lane(pid_t pid, pid_t tid, size_t step)
{
	auto [at, fresh] = tl_.index.try_emplace(tid, tl_.lanes.size());
	if (!fresh)
		return tl_.lanes[at->second];
	Lane added;
	added.pid = pid;
	added.tid = tid;
	added.from = step;
	tl_.lanes.push_back(added);
	tasks_[pid].push_back(tid);
	(tid == pid ? processes_ : threads_)++;
	return tl_.lanes.back();
}

Lane *
Builder::find(pid_t tid)
{
	auto at = tl_.index.find(tid);
	return at != tl_.index.end() ? &tl_.lanes[at->second] : nullptr;
}

// Whether an event ends a lane that has not ended.
bool
Builder::ends_lane(const Event &ev) const
{
	auto open = [&](pid_t tid) {
		const Lane *on = tl_.find(tid);
		return on && on->to == OPEN;
	};
	if (ev.type == Type::ThreadExit)
		return open(ev.tid);
	if (ev.type != Type::Exit && ev.type != Type::Untraced)
		return false;
	auto all = tasks_.find(ev.pid);
	return all != tasks_.end() &&
	       std::any_of(all->second.begin(), all->second.end(), open);
}

// Whether the tasks an event is drawn on have lanes, or may have: lanes
// are made for MOST_PROCESSES processes and MOST_THREADS threads, and a
// task refused one is refused everything after, as are its threads and
// children.
bool
Builder::room(const Tasks &on)
{
	size_t processes = processes_;
	size_t threads = threads_;
	bool fits = true;

	for (size_t i = 0; i < on.size; i++) {
		auto [pid, tid] = on.task[i];
		if (tl_.index.count(tid))
			continue;
		bool process = tid == pid;
		bool refused =
		    refused_.count(tid) || (!process && refused_.count(pid));
		if (refused ||
		    (on.made && (process ? processes++ >= MOST_PROCESSES
					 : threads++ >= MOST_THREADS)))
			fits = false;
	}
	if (!fits && on.made)
		for (size_t i = 0; i < on.size; i++)
			if (!tl_.index.count(on.task[i].second))
				refused_.insert(on.task[i].second);
	return fits;
}

void
Builder::row(pid_t tid, int sig)
{
	Lane *on = find(tid);
	if (!on)
		return;
	if (std::find(on->signals.begin(), on->signals.end(), sig) ==
	    on->signals.end())
		on->signals.push_back(sig);
	if (std::find(tl_.signals.begin(), tl_.signals.end(), sig) ==
	    tl_.signals.end())
		tl_.signals.push_back(sig);
}

void
Builder::add(Mark mark)
{
	if (mark.sig)
		row(mark.lane, mark.sig);
	tl_.marks.push_back(std::move(mark));
}

void
Builder::close(size_t mark, size_t step, const std::string &title)
{
	tl_.marks[mark].to = step;
	tl_.marks[mark].title += "\n" + title;
}

void
Builder::mask(pid_t tid, size_t step, bool known, std::uint64_t set,
	      const std::string &title)
{
	Lane *on = find(tid);
	if (!on)
		return;
	if (!known)
		set = 0;
	if (!on->masks.empty() && on->masks.back().known == known &&
	    on->masks.back().set == set)
		return;
	on->masks.push_back({step, known, set, title});
}

// A fork or a new thread: the new task starts with its maker's mask.
void
Builder::made(const Event &ev, size_t step, const std::string &title)
{
	const Lane &maker = lane(ev.pid, ev.tid, step);
	bool masked = !maker.masks.empty();
	Mask inherited = masked ? maker.masks.back() : Mask();
	pid_t child = ev.child;
	lane(ev.type == Type::Fork ? child : ev.pid, child, step);
	Mark mark = mark_of(ev.type == Type::Fork ? Kind::Fork : Kind::Thread,
			    ev.tid, 0, step, step, title);
	mark.other = child;
	add(mark);
	if (masked)
		mask(child, step, inherited.known, inherited.set, title);
}

void
Builder::signal_event(const Event &ev, size_t step, const std::string &title)
{
	static const Kind kinds[] = {
	    Kind::Generated, Kind::Merged,    Kind::Ignored, Kind::Lost,
	    Kind::Dropped,   Kind::Delivered, Kind::Taken,   Kind::Discarded};
	Kind kind = kinds[static_cast<size_t>(ev.what)];

	if (ev.what <= What::Dropped)
		generated(ev, kind, step, title);
	else
		fate(ev, kind, step, title);
}

// What a generation did: a bar begun, where it made the signal pending.
void
Builder::generated(const Event &ev, Kind kind, size_t step,
		   const std::string &title)
{
	// A signal for the process waits on the process's lane.
	pid_t target = ev.to_process ? ev.pid : ev.tid;
	Mark mark = mark_of(kind, target, ev.sig, step, step, title);
	mark.other = sender_lane(ev);
	if (ev.what == What::Pending) {
		open_[std::make_pair(ev.pid, ev.sig)].push_back(
		    tl_.marks.size());
		add(mark_of(Kind::Wait, target, ev.sig, step, OPEN, title));
	}
	add(mark);
}

// A fate: the bar it ends, which its sender's time of generation names.
void
Builder::fate(const Event &ev, Kind kind, size_t step, const std::string &title)
{
	pid_t lane_of = ev.tid;
	std::vector<size_t> &waiting = open_[std::make_pair(ev.pid, ev.sig)];
	auto bar = std::find_if(waiting.begin(), waiting.end(), [&](size_t at) {
		return tl_.steps[tl_.marks[at].from] == ev.queued_us;
	});
	if (ev.has_from && bar != waiting.end()) {
		if (ev.what != What::Delivered && ev.what != What::Taken)
			lane_of = tl_.marks[*bar].lane;
		close(*bar, step, title);
		waiting.erase(bar);
	}
	Mark mark = mark_of(kind, lane_of, ev.sig, step, step, title);
	mark.action = ev.action;
	add(mark);
	if (ev.action == Action::Handler)
		handled(ev, step, title);
}

// A delivery to a handler: a run begun, deeper than any it interrupts,
// under the mask it runs with.
void
Builder::handled(const Event &ev, size_t step, const std::string &title)
{
	Lane &on = lane(ev.pid, ev.tid, step);
	auto &runs = runs_[ev.tid];
	Mark run = mark_of(Kind::Handler, ev.tid, ev.sig, step, OPEN, title);
	run.depth = static_cast<int>(runs.size());
	on.depth = std::max(on.depth, run.depth + 1);
	runs.push_back(tl_.marks.size());
	add(run);
	unseen(on, ev.sig, step, title);
	mask(ev.tid, step, ev.has_blocked, ev.blocked, title);
}

// The lane of a sender that is traced, where it is not the target's.
pid_t
Builder::sender_lane(const Event &ev) const
{
	const Sender &from = ev.from;
	if (!from.pid || !tl_.find(from.pid) ||
	    from.tid == (ev.to_process ? ev.pid : ev.tid))
		return 0;
	return tl_.find(from.tid) ? from.tid : from.pid;
}

// A handler's return ends the innermost run.
void
Builder::handler_return(const Event &ev, size_t step, const std::string &title)
{
	auto &runs = runs_[ev.tid];
	if (!runs.empty()) {
		close(runs.back(), step, title);
		runs.pop_back();
	}
	mask(ev.tid, step, ev.has_blocked, ev.blocked, title);
}

void
Builder::end(const Event &ev, size_t step, const std::string &title)
{
	// The thread's lane, or each of the process's, in the order they
	// were made.
	std::vector<pid_t> ending{ev.tid};
	if (ev.type != Type::ThreadExit) {
		auto all = tasks_.find(ev.pid);
		ending =
		    all != tasks_.end() ? all->second : std::vector<pid_t>();
	}
	for (pid_t tid : ending) {
		Lane *each = find(tid);
		if (!each || each->to != OPEN)
			continue;
		each->to = step;
		Mark mark = mark_of(Kind::End, tid, 0, step, step, title);
		mark.label = end_label(ev);
		add(mark);
	}
}

// Past the most signal events drawn, or else not drawn: counted, by
// signal and fate, or by kind.
void
Builder::count(const Event &ev, bool past)
{
	Untold &untold = tl_.untold;
	bool first = untold.step == OPEN;
	if (first) {
		untold.step = tl_.steps.size();
		tl_.steps.push_back(ev.us);
	}
	if (past && !cut_) {
		size_t step = untold.step;
		if (!first) {
			step = tl_.steps.size();
			tl_.steps.push_back(ev.us);
		}
		cut(step);
	}
	untold.last_us = ev.us;
	// Named only when written: a name per event would cost more than
	// all the rest.
	Key key{ev.type, ev.type == Type::Signal ? ev.sig : 0,
		ev.type == Type::Signal ? ev.what : What::Pending};
	std::uint64_t events = ev.type == Type::Lost ? ev.lost : 1;
	untold_[key] += events;
	(past ? untold.past : untold.beyond) += events;
}

// What is open now ends among what is not drawn, where the first signal
// event not drawn was; and what the events say of masks from there on is
// not drawn either.
void
Builder::cut(size_t step)
{
	cut_ = true;
	for (Mark &mark : tl_.marks)
		if (mark.to == OPEN &&
		    (mark.kind == Kind::Wait || mark.kind == Kind::Handler)) {
			mark.to = step;
			mark.title += "\nthen too dense to draw";
		}
	for (Lane &each : tl_.lanes)
		if (!each.masks.empty() && each.to == OPEN)
			mask(each.tid, step, false, 0,
			     "blocked signals: too dense to draw");
	open_.clear();
	runs_.clear();
}

// What never ended is drawn to the end of its lane, and lanes to the end.
void
Builder::close_all(size_t last)
{
	for (Mark &mark : tl_.marks)
		if (mark.to == OPEN) {
			const Lane *on = tl_.find(mark.lane);
			mark.to = on && on->to != OPEN ? on->to : last;
			if (mark.kind == Kind::Wait)
				mark.title += "\nstill pending at the end";
		}
	for (Lane &each : tl_.lanes)
		if (each.to == OPEN)
			each.to = last;
}

// What the events say of a process, for its lane's name where the
// summary does not list it: whether it is a child, and its program, which
// a fork's child has of its parent until it execs another.
void
Builder::note(const Event &ev)
{
	Who &who = seen_[ev.pid];
	who.pid = ev.pid;
	who.child = who.child || ev.is_child;
	if (ev.type == Type::Exec)
		who.program = ev.comm;
	if (ev.type != Type::Fork || seen_.count(ev.child))
		return;
	Who &child = seen_[ev.child];
	child.pid = ev.child;
	child.child = true;
	child.program = seen_[ev.pid].program;
}

void
Builder::name(Timeline &tl, const Summary &summary) const
{
	std::unordered_map<pid_t, const Who *> who;
	for (const ProcessSummary &each : summary.processes)
		who.try_emplace(each.who.pid, &each.who);
	for (const auto &[pid, seen] : seen_)
		who.try_emplace(pid, &seen);
	for (Lane &each : tl.lanes) {
		if (each.tid != each.pid) {
			each.name = "thread " + std::to_string(each.tid);
			continue;
		}
		auto found = who.find(each.pid);
		const Who *process =
		    found != who.end() ? found->second : nullptr;
		each.name =
		    (process && process->child ? "child " : "process ") +
		    std::to_string(each.pid);
		if (process && !process->program.empty())
			each.name += " (" + shown(process->program) + ")";
	}
}

// What the grey box counts: a signal's fates as the summary counts them
// (the kernel's own counts, which hold where records were lost), less
// those drawn; the rest as the events held it.
void
Builder::tally(Timeline &tl, const Summary &summary) const
{
	static_assert(TALLY_COUNTS == static_cast<size_t>(What::Discarded) + 2,
		      "a tally counts what was sent, then each What in order");
	if (tl.untold.step == OPEN)
		return;
	std::map<Key, std::uint64_t> counts = untold_;
	std::map<std::pair<int, What>, std::uint64_t> all;
	for (const ProcessSummary &each : summary.processes)
		for (const auto &[sig, kept] : each.signals) {
			auto counted = named(kept);
			for (size_t i = 1; i < TALLY_COUNTS; i++) {
				auto what = static_cast<What>(i - 1);
				all[std::make_pair(sig, what)] +=
				    counted[i].second;
			}
		}
	for (const auto &[which, n] : all) {
		auto drawn = fates_.find(which);
		std::uint64_t less = drawn != fates_.end() ? drawn->second : 0;
		std::uint64_t &told =
		    counts[Key(Type::Signal, which.first, which.second)];
		if (n > less && n - less > told) {
			told = n - less;
			tl.untold.beyond_events = true;
		}
	}
	for (const auto &[key, n] : counts)
		if (n)
			tl.untold.counts.emplace_back(name_of(std::get<0>(key),
							      std::get<1>(key),
							      std::get<2>(key)),
						      n);
}

Timeline
Builder::finish(const Summary &summary)
{
	// The end, a step of its own; an account may hold no event.
	size_t last = tl_.steps.size();
	tl_.steps.push_back(std::max(tl_.steps.empty() ? 0 : tl_.steps.back(),
				     tl_.untold.last_us));
	close_all(last);
	Timeline tl = std::move(tl_);
	tl_ = Timeline();
	order(tl);
	name(tl, summary);
	tally(tl, summary);
	tl.lost = summary.lost;
	tl.skipped = summary.skipped;
	return tl;
}

} // namespace sigtrace::picture

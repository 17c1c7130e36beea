// SPDX-License-Identifier: ISC
// The picture's timeline and layout, from events made up here: which bar
// a fate ends, which run a return ends, what the blocked band may claim,
// the lanes' order and limits, what the grey box counts, and the axis's
// labels.  Nothing is drawn.
#include <csignal>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "layout.h"
#include "timeline.h"
#include "writers.h"

using namespace sigtrace;
using namespace sigtrace::picture;

namespace
{

int failures = 0;

void
expect(const std::string &what, const std::string &got, const std::string &want)
{
	if (got == want)
		return;
	std::printf("FAIL %s\n  got:  %s\n  want: %s\n", what.c_str(),
		    got.c_str(), want.c_str());
	failures++;
}

Event
event(Type type, std::uint64_t us, pid_t pid = 10, pid_t tid = 0)
{
	Event ev;
	ev.type = type;
	ev.us = us;
	ev.pid = pid;
	ev.tid = tid ? tid : pid;
	return ev;
}

Event
signal(std::uint64_t us, What what, int sig, pid_t pid = 10)
{
	Event ev = event(Type::Signal, us, pid);
	ev.what = what;
	ev.sig = sig;
	ev.from.kind = From::Self;
	ev.from.pid = ev.from.tid = pid;
	return ev;
}

// A delivery to a handler of the signal made pending at queued_us, the
// handler running with blocked.
Event
handled(std::uint64_t us, int sig, std::uint64_t queued_us,
	std::uint64_t blocked, pid_t pid = 10)
{
	Event ev = signal(us, What::Delivered, sig, pid);
	ev.queued_us = queued_us;
	ev.action = Action::Handler;
	ev.has_blocked = true;
	ev.blocked = blocked;
	return ev;
}

Event
masked(Type type, std::uint64_t us, std::uint64_t blocked, pid_t pid = 10)
{
	Event ev = event(type, us, pid);
	ev.has_blocked = true;
	ev.blocked = blocked;
	return ev;
}

std::uint64_t
bit(int sig)
{
	return std::uint64_t(1) << (sig - 1);
}

Timeline
timeline(const std::vector<Event> &events, const Summary &summary = {})
{
	Builder builder;
	builder.start("prog", 10);
	for (const Event &each : events)
		builder.add(each);
	return builder.finish(summary);
}

std::string
step(size_t at)
{
	return at == OPEN ? "open" : std::to_string(at);
}

// The marks of a kind, each as "lane:from-to".
std::string
spans(const Timeline &tl, Kind kind)
{
	std::string all;
	for (const Mark &mark : tl.marks)
		if (mark.kind == kind)
			all += (all.empty() ? "" : " ") +
			       std::to_string(mark.lane) + ":" +
			       step(mark.from) + "-" + step(mark.to);
	return all;
}

// A lane's band, each set from its step: "1:SIGUSR1 2:? 3:none".
std::string
band(const Timeline &tl, pid_t tid)
{
	std::string all;
	for (const Mask &mask : tl.find(tid)->masks)
		all += (all.empty() ? "" : " ") + std::to_string(mask.from) +
		       ":" + (mask.known ? sigset_names(mask.set) : "?");
	return all;
}

// A bar ends at the fate that names its time of generation, whatever its
// place among the bars of its signal; a fate whose sender is not known
// ends none.  A return ends the innermost run.
void
bars_and_runs()
{
	int rt = SIGRTMIN;
	Event early = handled(40, rt, 20, bit(rt));
	Event unknown = signal(50, What::Discarded, rt);
	unknown.has_from = false;
	Timeline tl = timeline({signal(10, What::Pending, rt),
				signal(20, What::Pending, rt), early,
				event(Type::Return, 45), unknown});
	// Steps: exec-less, so 0 is the first event; the end last.
	expect("the bar its fate names ends", spans(tl, Kind::Wait),
	       "10:0-5 10:1-2");
	expect("and the other pends to the end",
	       tl.marks[0].title.substr(tl.marks[0].title.rfind('\n') + 1),
	       "still pending at the end");

	Timeline nested =
	    timeline({signal(1, What::Pending, SIGUSR1),
		      handled(2, SIGUSR1, 1, bit(SIGUSR1)),
		      signal(3, What::Pending, SIGUSR2),
		      handled(4, SIGUSR2, 3, bit(SIGUSR1) | bit(SIGUSR2)),
		      masked(Type::Return, 5, bit(SIGUSR1)),
		      masked(Type::Return, 6, 0)});
	expect("the inner run ends first", spans(nested, Kind::Handler),
	       "10:1-5 10:3-4");
	std::string depths;
	for (const Mark &mark : nested.marks)
		if (mark.kind == Kind::Handler)
			depths += std::to_string(mark.depth);
	expect("nested deeper", depths + std::to_string(nested.find(10)->depth),
	       "012");
}

// The band shows only what the events say of the mask.
void
masks()
{
	// Blocked, then delivered under a mask that sigsuspend set: not
	// shown blocked from the step after it was told to the delivery.
	Timeline suspend =
	    timeline({masked(Type::Blocked, 1, bit(SIGUSR1)),
		      event(Type::Fork, 2), signal(30, What::Pending, SIGUSR1),
		      handled(31, SIGUSR1, 30, bit(SIGUSR1)),
		      masked(Type::Return, 32, bit(SIGUSR1))});
	expect("not known before a delivery it blocked", band(suspend, 10),
	       "0:SIGUSR1 1:? 3:SIGUSR1");
	// Told just before the delivery: no step is left to it.
	Timeline next = timeline({masked(Type::Blocked, 1, bit(SIGUSR1)),
				  handled(2, SIGUSR1, 0, bit(SIGUSR1))});
	expect("not known from the told step", band(next, 10),
	       "0:SIGUSR1 0:? 1:SIGUSR1");
	Timeline unblocked = timeline({masked(Type::Blocked, 1, bit(SIGUSR2)),
				       handled(2, SIGUSR1, 0, bit(SIGUSR1)),
				       masked(Type::Return, 3, bit(SIGUSR2))});
	expect("a delivery it did not block", band(unblocked, 10),
	       "0:SIGUSR2 1:SIGUSR1 2:SIGUSR2");
	Event silent = handled(2, SIGUSR1, 0, 0);
	silent.has_blocked = false;
	expect("a handler's mask not told is not known",
	       band(timeline({masked(Type::Blocked, 1, 0), silent}), 10),
	       "0:none 1:?");
	Event child = event(Type::Fork, 2);
	child.child = 11;
	expect(
	    "a child starts with its parent's mask",
	    band(timeline({masked(Type::Blocked, 1, bit(SIGINT)), child}), 11),
	    "1:SIGINT");
}

// Each process's threads under it; lanes for the first few, the rest
// counted, whatever the summary lists.
void
lanes()
{
	Event fork = event(Type::Fork, 1);
	fork.child = 11;
	Event thread = event(Type::Thread, 2);
	thread.child = 12;
	Event exec = event(Type::Exec, 3, 11);
	exec.comm = "kid";
	exec.is_child = true;
	Timeline tl = timeline({fork, thread, exec});
	std::string names;
	for (const Lane &each : tl.lanes)
		names += each.name + "; ";
	expect("threads under their process, named by the events", names,
	       "process 10; thread 12; child 11 (kid); ");

	std::vector<Event> many;
	for (pid_t i = 0; i < 40; i++) {
		Event each = event(Type::Fork, 1 + std::uint64_t(i));
		each.child = 100 + i;
		many.push_back(each);
	}
	Timeline crowd = timeline(many);
	expect("lanes for the first processes",
	       std::to_string(crowd.lanes.size()),
	       std::to_string(MOST_PROCESSES));
	expect("the forks left out counted",
	       crowd.untold.counts.size() == 1
		   ? crowd.untold.counts[0].first + " " +
			 std::to_string(crowd.untold.counts[0].second)
		   : "",
	       "forks " + std::to_string(41 - MOST_PROCESSES));
}

std::string
counts(const Timeline &tl)
{
	std::string all;
	for (const auto &[what, n] : tl.untold.counts)
		all +=
		    (all.empty() ? "" : ", ") + what + " " + std::to_string(n);
	return all + (tl.untold.beyond_events ? " (summary)" : "");
}

// Past the most drawn: what is open ends at the cut, the band is not
// known from there, and the grey box counts a signal's fates as the
// summary does, less those drawn.
void
dense()
{
	std::vector<Event> storm;
	for (std::uint64_t i = 0; i < 300; i++) {
		storm.push_back(signal(10 * i + 1, What::Pending, SIGUSR1));
		storm.push_back(
		    handled(10 * i + 2, SIGUSR1, 10 * i + 1, bit(SIGUSR1)));
		storm.push_back(masked(Type::Return, 10 * i + 3, 0));
	}
	Timeline told = timeline(storm);
	expect("counted as the events hold them", counts(told),
	       "SIGUSR1 pending 166, SIGUSR1 delivered 167, handler returns "
	       "167");
	const Mark &last = told.marks[told.marks.size() - 2];
	expect("the bar open at the cut ends there",
	       last.title.substr(last.title.rfind('\n') + 1) + " " +
		   step(last.to),
	       "then too dense to draw " + std::to_string(told.untold.step));
	const Mask &band_end = told.lanes[0].masks.back();
	expect("the band is not known past the cut",
	       std::to_string(band_end.known) + " " + step(band_end.from),
	       "0 " + std::to_string(told.untold.step));

	Summary summary;
	ProcessSummary process;
	process.who = {10, false, "prog"};
	process.signals[SIGUSR1].sent = 100000;
	process.signals[SIGUSR1].pending = 100000;
	process.signals[SIGUSR1].delivered = 100000;
	summary.processes.push_back(process);
	summary.lost = 199100;
	Timeline summed = timeline(storm, summary);
	expect("the summary's counts, less those drawn", counts(summed),
	       "SIGUSR1 pending 99866, SIGUSR1 delivered 99867, handler "
	       "returns 167 (summary)");
}

// The axis: ticks a tick's width apart, labelled as finely as their
// neighbours need; a lane named along a wide picture.
void
axis()
{
	expect("microseconds apart", tick_label(10943, 6), "10.943 ms");
	expect("a tenth of the spacing", tick_label(10943, 900), "10.94 ms");
	expect("whole milliseconds", tick_label(21425, 20000), "21 ms");
	expect("seconds", tick_label(1234567, 1000000), "1.2 s");
	expect("rounded up", tick_label(99960, 300), "99.96 ms");

	std::vector<Event> close;
	for (std::uint64_t i = 0; i < MOST_DRAWN; i++)
		close.push_back(signal(10900 + 6 * i, What::Ignored, SIGUSR2));
	Timeline tl = timeline(close);
	Layout at = lay_out(tl);
	std::set<std::string> labels;
	double last = -TICKS;
	bool apart = true;
	for (const Tick &tick : at.ticks) {
		labels.insert(tick.label);
		apart = apart && tick.x - last >= TICKS;
		last = tick.x;
	}
	expect("ticks each read otherwise, a tick's width apart",
	       std::to_string(labels.size() == at.ticks.size() &&
			      at.ticks.size() > 10 && apart),
	       "1");

	double right = at.xs.back();
	std::vector<double> xs = lane_labels(at, at.xs.front(), right);
	double far = right - xs.back();
	for (size_t i = 1; i < xs.size(); i++)
		far = std::max(far, xs[i] - xs[i - 1]);
	expect("a wide lane named every so often",
	       std::to_string(right > 2 * AGAIN && far <= AGAIN + 60), "1");
	expect("a lane that begins far right named where it begins",
	       std::to_string(lane_labels(at, 1500, 1700).back()),
	       "1504.000000");
}

} // namespace

int
main()
{
	bars_and_runs();
	masks();
	lanes();
	dense();
	axis();
	std::printf("%s\n", failures ? "failed" : "ok");
	return failures ? 1 : 0;
}

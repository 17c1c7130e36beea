// SPDX-License-Identifier: ISC
/*
 * The account as a picture: one SVG file, drawn whole once the run is
 * over, as a teacher draws signals on the board.  Each process has a
 * lane, its threads lanes under it, and time runs right; in a lane, each
 * signal has a row where a bar shows it pending, from its generation to
 * its fate, with what merged into it marked on the bar.  Handler runs are
 * spans under the rows, nested runs deeper; a band at the foot of the
 * lane shows the blocked signals, hatched where the events do not say
 * them.  Every mark has a <title> with the account's own line, so that a
 * browser tells what it is; a lane's labels come again along a wide one.
 *
 * The writer is a function of the events and the summary alone, in three
 * parts: the timeline (timeline.h) puts the events on lanes, the layout
 * (layout.h) places them, and what is drawn with (draw.h) holds every
 * style, in one style sheet.  What this file adds is what to draw.
 *
 * The file holds no script and names no font or file outside it, so that
 * it is safe on a course page; the same account gives the same file; it
 * stays under a megabyte whatever the account, what is too much to draw
 * counted instead; and it takes a time in proportion to the account's
 * length to draw.
 */
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "draw.h"
#include "layout.h"
#include "timeline.h"
#include "writers.h"

namespace sigtrace
{

namespace
{

using namespace picture;

// The shape a mark that stands at one step is drawn as: a delivery's is
// its action's, any other's its kind's.
const char *
shape_of(Kind kind, Action action)
{
	switch (kind) {
	case Kind::Generated:
		return shape::generated;
	case Kind::Merged:
		return shape::merged;
	case Kind::Ignored:
		return shape::ignored;
	case Kind::Lost:
		return shape::lost;
	case Kind::Dropped:
		return shape::dropped;
	case Kind::Taken:
		return shape::taken;
	case Kind::Discarded:
		return shape::discarded;
	default:
		break;
	}
	switch (action) {
	case Action::Ignore:
	case Action::Continue:
		return shape::passed;
	case Action::Stop:
		return shape::stops;
	case Action::Terminate:
		return shape::ends;
	case Action::Core:
		return shape::core;
	default:
		return shape::handler;
	}
}

// What the legend shows: a shape, or one of the lines and bands.
enum class Sample { Shape, Stopped, Gap, Unknown };

struct Key {
	Sample sample;
	const char *shape;
	const char *words;
};

const Key keys[] = {
    {Sample::Shape, shape::generated, "made pending"},
    {Sample::Shape, shape::merged, "merged: one already pending"},
    {Sample::Shape, shape::ignored, "ignored"},
    {Sample::Shape, shape::lost, "lost: queue full"},
    {Sample::Shape, shape::dropped, "dropped: process ending"},
    {Sample::Shape, shape::handler, "delivered to a handler"},
    {Sample::Shape, shape::passed, "delivered, ignored or goes on"},
    {Sample::Shape, shape::stops, "delivered: stops"},
    {Sample::Shape, shape::ends, "delivered: ends (core: thick)"},
    {Sample::Shape, shape::taken, "taken by sigwait or signalfd"},
    {Sample::Shape, shape::discarded, "discarded while pending"},
    {Sample::Stopped, nullptr, "stopped, until it goes on"},
    {Sample::Gap, nullptr, "records lost here"},
    {Sample::Unknown, nullptr, "blocked signals not known"},
};
constexpr size_t KEYS_A_ROW = 4;
constexpr double KEY_WIDTH = 215;
constexpr double COLOUR_WIDTH = 110; // a signal's colour in the legend

const char *const words[] = {
    "Bars: pending, from generation to fate. Spans under the rows: "
    "handler runs, nested ones deeper. Grey band: blocked signals.",
    "Time runs right; long gaps are drawn short, and say how long "
    "they were. A mark's tooltip gives its line of the account."};

// A timeline drawn where its layout puts it.
class Picture
{
      public:
	Picture(FILE *out, const Timeline &tl, const Layout &at)
	    : canvas_(out), tl_(tl), at_(at)
	{
	}

	void
	draw()
	{
		double legend_y = at_.bottom + 40;
		canvas_.begin(at_.width, legend_y + legend_height(),
			      "sigtrace: what the kernel did with the "
			      "signals of " +
				  tl_.program);
		heading();
		for (size_t i = 0; i < tl_.lanes.size(); i++)
			draw_lane(tl_.lanes[i], at_.tops[i]);
		layers();
		if (tl_.untold.step != OPEN)
			box();
		axis();
		legend(legend_y);
		canvas_.end();
	}

      private:
	std::string note() const;
	void layers();
	void heading();
	void draw_lane(const Lane &lane, double top);
	void labels(const Lane &lane, double top, double bottom);
	void again(const Lane &lane, double top, double x0, double x1);
	void band(const Lane &lane, double bottom, double x1);
	void draw_mark(const Mark &mark);
	void span(const Mark &mark, const Lane &on, double top, double py);
	void point(const Mark &mark, const Lane &on, double top, double py);
	void box();
	void axis();
	double legend_height() const;
	void legend(double py);
	void sample(const Key &key, double px, double py);

	std::string
	colour(int sig) const
	{
		return sig ? colour_class(tl_.colour(sig)) : "";
	}

	double
	top_of(const Lane &lane) const
	{
		return at_.tops[static_cast<size_t>(&lane - tl_.lanes.data())];
	}

	Canvas canvas_;
	const Timeline &tl_;
	const Layout &at_;
};

std::string
Picture::note() const
{
	const Untold &untold = tl_.untold;
	std::string note;

	if (tl_.signals.empty())
		note = "No signal was sent to it.";
	else if (tl_.lost)
		note = std::to_string(tl_.lost) +
		       " events were lost; the summary counts them.";
	if (tl_.skipped)
		note += (note.empty() ? "" : " ") +
			std::to_string(tl_.skipped) +
			" runs of sigtrace's hooks were skipped by the kernel; "
			"what they saw is missing.";
	if (untold.past && untold.beyond_events)
		note += " Too dense to draw: after the first " +
			std::to_string(MOST_DRAWN) +
			", the rest are counted in the grey box, signals as "
			"the summary counts them.";
	else if (untold.past)
		note += " Too dense to draw: after the first " +
			std::to_string(MOST_DRAWN) + ", " +
			std::to_string(untold.past) +
			" more are counted in the grey box.";
	if (untold.beyond)
		note += " Only " + std::to_string(MOST_PROCESSES) +
			" processes, " + std::to_string(MOST_THREADS) +
			" threads and " + std::to_string(MOST_TOLD) +
			" of their forks, execs and stops are drawn: " +
			std::to_string(untold.beyond) +
			" more events are counted in the grey box.";
	return note;
}

// The marks in layers: bars, seen through as one however many overlap,
// then handler runs and stops, then what stands at one step on top, so
// that no mark is hidden or dimmed by a bar drawn after it.
void
Picture::layers()
{
	canvas_.group("bars");
	for (const Mark &each : tl_.marks)
		if (each.kind == Kind::Wait)
			draw_mark(each);
	canvas_.close();
	for (const Mark &each : tl_.marks)
		if (lasts(each.kind) && each.kind != Kind::Wait)
			draw_mark(each);
	for (const Mark &each : tl_.marks)
		if (!lasts(each.kind))
			draw_mark(each);
}

void
Picture::heading()
{
	canvas_.text(8, 22, "heading",
		     "What the kernel did with the signals of " + tl_.program);
	canvas_.text(8, 40, "note", note());
}

void
Picture::draw_lane(const Lane &lane, double top)
{
	double x0 = at_.xs[lane.from];
	double x1 = at_.xs[lane.to];
	double bottom = top + lane_height(lane);

	canvas_.group("lane");
	canvas_.text(8, top + 12, "name", lane.name);
	canvas_.rect(x0, top, std::max(x1 - x0, 1.0), bottom - top, "ground");
	labels(lane, top, bottom);
	again(lane, top, x0, x1);
	band(lane, bottom, x1);
	canvas_.close();
}

// The rows' labels, in the labels' column.
void
Picture::labels(const Lane &lane, double top, double bottom)
{
	for (int sig : lane.signals)
		canvas_.text(LABELS, row_y(lane, top, sig) + 4, "label",
			     signame(sig));
	if (lane.signals.empty())
		canvas_.text(LABELS, top + HEAD + ROW / 2 + 4, "label quiet",
			     "no signal");
	if (lane.depth)
		canvas_.text(LABELS, bottom - BAND - RUN * lane.depth / 2 + 4,
			     "label", "handler runs");
	canvas_.text(LABELS, bottom - 2, "label quiet", "blocked");
}

// The lane's name again along a wide picture, under the marks: what
// tells it from the others, without its program.
void
Picture::again(const Lane &lane, double top, double x0, double x1)
{
	std::vector<double> xs = lane_labels(at_, x0, x1);
	std::string name = lane.name.substr(0, lane.name.find(" ("));

	for (size_t i = 1; i < xs.size(); i++)
		canvas_.text(xs[i], top + 12, "name again", name);
}

// The blocked band: each set from its change to the next, named where
// there is room; hatched where the set is not known.
void
Picture::band(const Lane &lane, double bottom, double x1)
{
	for (size_t i = 0; i < lane.masks.size(); i++) {
		const Mask &mask = lane.masks[i];
		double from = at_.xs[std::max(mask.from, lane.from)];
		double to = i + 1 < lane.masks.size()
				? at_.xs[lane.masks[i + 1].from]
				: x1;
		canvas_.titled(mask.known ? "mark blocked" : "mark unseen",
			       mask.title);
		canvas_.rect(from, bottom - BAND, std::max(to - from, 0.5),
			     BAND,
			     !mask.known ? "band unknown"
			     : mask.set	 ? "band"
					 : "band none");
		std::string names = sigset_names(mask.set);
		if (mask.known && mask.set &&
		    to - from > 7.0 * static_cast<double>(names.size()))
			canvas_.text(from + 3, bottom - 3, "small", names);
		canvas_.close();
	}
}

void
Picture::draw_mark(const Mark &mark)
{
	const Lane *on = tl_.find(mark.lane);
	if (!on)
		return;
	double top = top_of(*on);
	double py = mark.sig ? row_y(*on, top, mark.sig) : top + 9;

	canvas_.titled(std::string("mark ") + kind_name(mark.kind), mark.title);
	if (lasts(mark.kind))
		span(mark, *on, top, py);
	else
		point(mark, *on, top, py);
	canvas_.close();
}

// A bar, a handler run or a stop, from one step to another.
void
Picture::span(const Mark &mark, const Lane &on, double top, double py)
{
	double px = at_.xs[mark.from];
	double to = at_.xs[mark.to];

	if (mark.kind == Kind::Wait)
		canvas_.rect(px, py - 4, std::max(to - px, 1.0), 8,
			     "bar " + colour(mark.sig));
	else if (mark.kind == Kind::Handler)
		canvas_.rect(px, run_y(on, top, mark.depth) + 1,
			     std::max(to - px, 2.0), RUN - 2,
			     "run " + colour(mark.sig));
	else
		canvas_.line(px, py, to, py, "stop");
}

// What stands at one step: a signal's mark, linked to its sender's lane,
// a fork's or a thread's arrow, a lane's end, records lost.
void
Picture::point(const Mark &mark, const Lane &on, double top, double py)
{
	double px = at_.xs[mark.from];

	switch (mark.kind) {
	case Kind::Fork:
	case Kind::Thread: {
		const Lane *made = tl_.find(mark.other);
		double y2 = made ? top_of(*made) + 9 : py;
		canvas_.line(px, py, px, y2 - 6,
			     mark.kind == Kind::Fork ? "arrow"
						     : "arrow dotted");
		break;
	}
	case Kind::End:
		canvas_.line(px, top + 2, px, top + lane_height(on), "ending");
		canvas_.text(px + 5, top + 11, "", mark.label);
		break;
	case Kind::Gap:
		canvas_.path("M" + number(px - 6) + "," + number(top + 8) +
				 "l3,-6l3,6l3,-6l3,6",
			     "zigzag");
		break;
	default:
		if (const Lane *from =
			mark.other ? tl_.find(mark.other) : nullptr)
			canvas_.line(px, top_of(*from) + 9, px, py,
				     "link " + colour(mark.sig));
		canvas_.shape(shape_of(mark.kind, mark.action), px, py,
			      colour(mark.sig));
	}
}

// What was too much to draw, counted.
void
Picture::box()
{
	const Untold &untold = tl_.untold;
	double px = at_.xs[untold.step] + 10;
	double py = TOP + 14;
	std::string said;

	for (const auto &[what, n] : untold.counts)
		said +=
		    (said.empty() ? "" : ", ") + what + " " + std::to_string(n);
	canvas_.titled("mark dense", "not drawn, from " +
					 when(tl_.steps[untold.step]) + " to " +
					 when(untold.last_us) + ": " + said);
	// Clear of the axis's gaps.
	canvas_.rect(px, TOP, BOX, at_.bottom - TOP - 12, "box");
	canvas_.text(px + 4, py, "", "not drawn:");
	for (const auto &[what, n] : untold.counts) {
		py += 14;
		canvas_.text(px + 4, py, "", what + " " + std::to_string(n));
	}
	if (untold.beyond_events)
		canvas_.text(px + 4, py + 14, "quiet",
			     "signals: the summary's counts");
	canvas_.close();
}

// The axis: its ticks, and each long gap shown broken, since it is drawn
// shorter than it is.
void
Picture::axis()
{
	double py = at_.bottom + 4;

	canvas_.group("axis");
	canvas_.line(at_.xs.front(), py, at_.xs.back(), py, "rule");
	for (const Tick &gap : at_.breaks) {
		canvas_.path("M" + number(gap.x - 4) + "," + number(py + 4) +
				 "l4,-8M" + number(gap.x) + "," +
				 number(py + 4) + "l4,-8",
			     "rule");
		canvas_.text(gap.x, py - 6, "centre small", gap.label);
	}
	for (const Tick &tick : at_.ticks) {
		canvas_.path("M" + number(tick.x) + "," + number(py) + "v5",
			     "rule");
		canvas_.text(tick.x, py + 17, "centre", tick.label);
	}
	canvas_.close();
}

double
Picture::legend_height() const
{
	// Rows of keys, and of signals' colours, each row whole or not.
	size_t rows = (std::size(keys) + KEYS_A_ROW - 1) / KEYS_A_ROW;
	auto a_row = static_cast<size_t>((at_.width - 16) / COLOUR_WIDTH);
	size_t colours = (tl_.signals.size() + a_row - 1) / a_row;
	return 20 * static_cast<double>(rows - 1) + 22 +
	       16 * static_cast<double>(std::size(words)) + 4 +
	       (colours ? 20 * static_cast<double>(colours - 1) + 8 : 0) + 8;
}

void
Picture::legend(double py)
{
	double px = 16;

	canvas_.group("legend");
	for (size_t i = 0; i < std::size(keys); i++) {
		sample(keys[i], px, py);
		canvas_.text(px + 10, py + 4, "", keys[i].words);
		px += KEY_WIDTH;
		if ((i + 1) % KEYS_A_ROW == 0) {
			px = 16;
			py += 20;
		}
	}
	py += px > 16 ? 22 : 2;
	for (const char *sentence : words) {
		canvas_.text(16, py + 4, "", sentence);
		py += 16;
	}
	py += 4;
	px = 16;
	for (int sig : tl_.signals) {
		if (px + COLOUR_WIDTH > at_.width) {
			px = 16;
			py += 20;
		}
		canvas_.rect(px, py - 4, 12, 8, "solid " + colour(sig));
		canvas_.text(px + 16, py + 4, "", signame(sig));
		px += COLOUR_WIDTH;
	}
	canvas_.close();
}

// A key's sample, drawn as the marks it stands for are.
void
Picture::sample(const Key &key, double px, double py)
{
	switch (key.sample) {
	case Sample::Shape:
		canvas_.shape(key.shape, px, py, "key");
		break;
	case Sample::Stopped:
		canvas_.line(px - 7, py, px + 7, py, "stop");
		break;
	case Sample::Gap:
		canvas_.path("M" + number(px - 6) + "," + number(py + 3) +
				 "l3,-6l3,6l3,-6l3,6",
			     "zigzag");
		break;
	case Sample::Unknown:
		canvas_.rect(px - 7, py - 6, 14, BAND, "band unknown");
		break;
	}
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
		builder_.start(program, pid);
	}

	void
	event(const Event &ev) override
	{
		builder_.add(ev);
	}

	void
	summary(const Summary &summary) override
	{
		Timeline tl = builder_.finish(summary);
		Layout at = lay_out(tl);
		Picture(out_, tl, at).draw();
	}

      private:
	FILE *out_;
	Builder builder_;
};

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

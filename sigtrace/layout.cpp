// SPDX-License-Identifier: ISC
/*
 * The timeline placed: time runs right, each step at least STEP further,
 * a longer gap longer by its logarithm, so that microseconds and seconds
 * both read; lanes one under another.
 */
#include "layout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace sigtrace::picture
{

namespace
{

constexpr double LABEL_X = 8; // the lane labels' left edge

std::vector<double>
xs_of(const Timeline &tl)
{
	std::vector<double> xs;
	double px = LABELS + 20;

	xs.reserve(tl.steps.size());
	for (size_t i = 0; i < tl.steps.size(); i++) {
		if (i) {
			double gap = static_cast<double>(
			    tl.steps[i] -
			    std::min(tl.steps[i], tl.steps[i - 1]));
			px += std::max(STEP, 4 + 16 * std::log10(1 + gap / 10));
		}
		if (tl.untold.step != OPEN && i == tl.untold.step + 1)
			px += BOX + 20; // room for what was not drawn
		xs.push_back(px);
	}
	return xs;
}

// The steps labelled on the axis: each a tick's width from the last, and
// later than it.
std::vector<size_t>
ticked(const Timeline &tl, const std::vector<double> &xs)
{
	std::vector<size_t> chosen;

	for (size_t i = 0; i < xs.size(); i++)
		if (chosen.empty() || (xs[i] - xs[chosen.back()] >= TICKS &&
				       tl.steps[i] > tl.steps[chosen.back()]))
			chosen.push_back(i);
	return chosen;
}

std::vector<Tick>
ticks_of(const Timeline &tl, const std::vector<double> &xs)
{
	std::vector<size_t> chosen = ticked(tl, xs);
	std::vector<Tick> ticks;

	for (size_t j = 0; j < chosen.size(); j++) {
		std::uint64_t us = tl.steps[chosen[j]];
		// A tick alone reads to a tenth of a millisecond.
		std::uint64_t spacing = 1000;
		if (j)
			spacing = us - tl.steps[chosen[j - 1]];
		if (j + 1 < chosen.size())
			spacing =
			    std::min(spacing, tl.steps[chosen[j + 1]] - us);
		ticks.push_back({xs[chosen[j]], tick_label(us, spacing)});
	}
	return ticks;
}

std::vector<Tick>
breaks_of(const Timeline &tl, const std::vector<double> &xs)
{
	std::vector<Tick> breaks;

	for (size_t i = 1; i < xs.size(); i++)
		if (tl.steps[i] - tl.steps[i - 1] >= LONG_GAP &&
		    tl.steps[i] > tl.steps[i - 1])
			breaks.push_back(
			    {(xs[i - 1] + xs[i]) / 2,
			     "+" + when(tl.steps[i] - tl.steps[i - 1])});
	return breaks;
}

} // namespace

Layout
lay_out(const Timeline &tl)
{
	Layout at;

	at.xs = xs_of(tl);
	at.ticks = ticks_of(tl, at.xs);
	at.breaks = breaks_of(tl, at.xs);
	double right = at.xs.empty() ? LABELS : at.xs.back();
	at.width = std::max(right + RIGHT, 900.0);
	auto lanes = static_cast<double>(std::max<size_t>(tl.lanes.size(), 1));
	double columns = std::floor(static_cast<double>(MOST_AGAIN) / lanes);
	at.spacing = std::max(AGAIN, (right - LABEL_X) / columns);
	for (int nth = 1; LABEL_X + at.spacing * nth < right; nth++)
		at.again.push_back(LABEL_X + at.spacing * nth);
	double py = TOP;
	for (const Lane &each : tl.lanes) {
		at.tops.push_back(py);
		py += lane_height(each) + LANE_GAP;
	}
	// Room for the counts of what was not drawn, and the words on them.
	if (tl.untold.step != OPEN)
		py = std::max(py, TOP + 14 * static_cast<double>(
						 tl.untold.counts.size() + 4));
	at.bottom = py;
	return at;
}

std::vector<double>
lane_labels(const Layout &at, double x0, double x1)
{
	std::vector<double> xs{LABEL_X};
	auto inside = [&](double px) { return px >= x0 && px <= x1 - 60; };
	auto first = std::find_if(at.again.begin(), at.again.end(), inside);

	// A lane that begins far from the labels' column is named where it
	// begins, unless a column is near.
	if (x0 - LABEL_X > at.spacing - 100 &&
	    (first == at.again.end() || *first > x0 + 100))
		xs.push_back(x0 + 4);
	std::copy_if(first, at.again.end(), std::back_inserter(xs), inside);
	return xs;
}

double
lane_height(const Lane &lane)
{
	// A lane with no signal keeps a row, to say so.
	return HEAD +
	       ROW * static_cast<double>(
			 std::max<size_t>(lane.signals.size(), 1)) +
	       RUN * lane.depth + BAND;
}

double
row_y(const Lane &lane, double top, int sig)
{
	auto it = std::find(lane.signals.begin(), lane.signals.end(), sig);
	return top + HEAD +
	       ROW * static_cast<double>(it - lane.signals.begin()) + ROW / 2;
}

double
run_y(const Lane &lane, double top, int depth)
{
	return top + HEAD +
	       ROW * static_cast<double>(
			 std::max<size_t>(lane.signals.size(), 1)) +
	       RUN * depth;
}

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

// Milliseconds under a tenth of a second, else seconds; in whole
// microseconds rounded to a tenth of the spacing or finer, so that no two
// ticks read alike and none reads far from where it stands.
std::string
tick_label(std::uint64_t us, std::uint64_t spacing)
{
	bool ms = us < 100000;
	std::uint64_t unit = ms ? 1000 : 1000000;
	std::uint64_t grain = unit; // what the last digit counts
	std::uint64_t scale = 1;    // 10 to the number of decimals

	while (grain > 1 && grain * 10 > spacing) {
		grain /= 10;
		scale *= 10;
	}
	std::uint64_t rounded = (us + grain / 2) / grain;
	std::string text = std::to_string(rounded / scale);
	if (scale > 1) {
		std::string decimals = std::to_string(rounded % scale + scale);
		text += "." + decimals.substr(1);
	}
	return text + (ms ? " ms" : " s");
}

} // namespace sigtrace::picture

// SPDX-License-Identifier: ISC
/*
 * Where the timeline's steps and lanes go in the picture, in pixels, and
 * the axis under them: its ticks, each labelled as finely as its
 * neighbours need and no finer, and each long gap, drawn short, marked
 * broken with how long it was.
 */
#ifndef LAYOUT_H
#define LAYOUT_H

#include <cstdint>
#include <string>
#include <vector>

#include "timeline.h"

namespace sigtrace::picture
{

constexpr double LABELS = 200;	// the lane labels' column
constexpr double STEP = 6;	// the least between two events
constexpr double ROW = 16;	// a signal's row
constexpr double RUN = 9;	// a handler run's row
constexpr double BAND = 12;	// the blocked signals' band
constexpr double HEAD = 18;	// a lane's name, above its rows
constexpr double LANE_GAP = 14; // between lanes
constexpr double TOP = 56;	// the heading
constexpr double RIGHT = 230;	// the ends' labels
constexpr double BOX = 200;	// the grey box's width
constexpr double AGAIN = 1000;	// between a lane's labels
// Labels repeated along the lanes, at most: further apart in a picture so
// wide that more would not keep it under a megabyte.
constexpr size_t MOST_AGAIN = 1024;
constexpr double TICKS = 70;		   // the least between two ticks
constexpr std::uint64_t LONG_GAP = 100000; // microseconds: drawn broken

struct Tick {
	double x;
	std::string label;
};

struct Layout {
	std::vector<double> xs;	  // each step's x
	std::vector<double> tops; // each lane's, in the timeline's order
	double bottom = TOP;	  // under the lanes and the grey box
	double width = 0;
	std::vector<Tick> ticks;
	std::vector<Tick> breaks;  // long gaps, at their middle
	std::vector<double> again; // where the lanes' labels are repeated
	double spacing = AGAIN;	   // and how far apart
};

Layout lay_out(const Timeline &tl);
// Where the labels of a lane from x0 to x1 go: the labels' column, and
// wherever it is far from one.
std::vector<double> lane_labels(const Layout &at, double x0, double x1);

// A lane's height, the middle of a signal's row and the top of a handler
// run of a depth, from the lane's top.
double lane_height(const Lane &lane);
double row_y(const Lane &lane, double top, int sig);
double run_y(const Lane &lane, double top, int depth);

// A time as a person reads it.
std::string when(std::uint64_t us);
// A tick's time, as finely as a spacing in microseconds needs: any two
// times at least that far apart read differently.
std::string tick_label(std::uint64_t us, std::uint64_t spacing);

} // namespace sigtrace::picture

#endif

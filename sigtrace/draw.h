// SPDX-License-Identifier: ISC
/*
 * What the picture is drawn with: SVG's elements, each with its classes
 * and its place and nothing else, the look of every class in the one
 * style sheet at the head of the file, and the marks' shapes defined once
 * there and used by name.  It knows nothing of signals.
 */
#ifndef DRAW_H
#define DRAW_H

#include <cstdio>
#include <string>

namespace sigtrace::picture
{

// Text for an SVG file: what XML gives a meaning escaped, and what it
// forbids left out or, for U+FFFE and U+FFFF, escaped as printable()
// escapes bytes.
std::string escape(const std::string &text);
// A coordinate, to a tenth of a pixel.
std::string number(double value);

// The colours of signals, by their order of appearance: the class of the
// nth, which shapes and bars draw in as their currentColor.
std::string colour_class(size_t nth);

// The shapes that marks are drawn as, each about the origin in
// currentColor: filled and edged in black, or white and edged in the
// colour, so that the shapes differ in black and white too.
namespace shape
{
constexpr const char *generated = "generated"; // a filled circle
constexpr const char *merged = "merged";       // a white diamond
constexpr const char *ignored = "ignored";     // a white circle, barred
constexpr const char *lost = "lost";	       // a cross
constexpr const char *dropped = "dropped";     // a white square
constexpr const char *taken = "taken";	       // a filled triangle, down
constexpr const char *discarded = "discarded"; // a black cross
constexpr const char *handler = "handler";     // a filled triangle, right
constexpr const char *passed = "passed";       // a white one: ignored, goes on
constexpr const char *stops = "stops";	       // a filled square
constexpr const char *ends = "ends";	       // a cross in a ring
constexpr const char *core = "core";	       // the same, the ring thick
} // namespace shape

class Canvas
{
      public:
	explicit Canvas(FILE *out) : out_(out)
	{
	}

	// The file's head, with the style sheet and the shapes, and a white
	// page; and its end.
	void begin(double width, double height, const std::string &title);
	void end();

	// A group of the class, and one that a browser names by its title.
	void group(const std::string &cls);
	void titled(const std::string &cls, const std::string &title);
	void close();

	void text(double px, double py, const std::string &cls,
		  const std::string &words);
	void rect(double px, double py, double width, double height,
		  const std::string &cls);
	void line(double x1, double y1, double x2, double y2,
		  const std::string &cls);
	void path(const std::string &outline, const std::string &cls);
	// One of the shapes, centred there.
	void shape(const char *name, double px, double py,
		   const std::string &cls);

      private:
	void classes(const std::string &cls);

	FILE *out_;
};

} // namespace sigtrace::picture

#endif

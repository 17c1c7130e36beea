// SPDX-License-Identifier: ISC
/*
 * SVG's elements as the picture writes them.  The file holds no script
 * and names no font or file outside it: the style sheet and the shapes
 * are in it, and the fonts are the reader's own sans-serif.
 */
#include "draw.h"

namespace sigtrace::picture
{

namespace
{

// Every class's look.  A mark's group has its kind as a class ("mark
// end"), so no class here is a kind's name: what a group's class styles,
// everything in it inherits.  Colours that differ also to the colour-blind
// (Okabe and Ito), one for each signal in the order they appear.
const char style[] =
    "<style>\n"
    "svg{font-family:sans-serif;font-size:11px}\n"
    ".heading{font-size:15px;font-weight:bold}\n"
    ".name{font-weight:bold}\n"
    ".again{fill:#555}\n"
    ".label{text-anchor:end}\n"
    ".quiet{font-style:italic}\n"
    ".small{font-size:9px}\n"
    ".centre{text-anchor:middle}\n"
    ".page{fill:#fff}\n"
    ".ground{fill:#f4f4f4}\n"
    ".band{fill:#bbb;stroke:#fff}\n"
    ".band.none{fill:#eee}\n"
    ".band.unknown{fill:url(#unknown)}\n"
    ".hatch{stroke:#bbb;stroke-width:2px}\n"
    ".bars{opacity:0.35}\n"
    ".bar{fill:currentColor;stroke:currentColor}\n"
    ".run{fill:currentColor;stroke:#000;stroke-width:0.5px}\n"
    ".link{fill:none;stroke:currentColor;stroke-dasharray:3 2}\n"
    ".arrow{fill:none;stroke:#000;stroke-width:1.5px;"
    "marker-end:url(#arrow)}\n"
    ".arrow.dotted{stroke-dasharray:2 2}\n"
    ".stop{fill:none;stroke:#000;stroke-width:3px;stroke-dasharray:6 3}\n"
    ".ending{fill:none;stroke:#000;stroke-width:3px}\n"
    ".zigzag{fill:none;stroke:#c00;stroke-width:2px}\n"
    ".rule{fill:none;stroke:#000}\n"
    ".box{fill:#ddd}\n"
    ".key{color:#777}\n"
    ".solid{fill:currentColor;stroke:#000}\n"
    ".hollow{fill:#fff;stroke:currentColor;stroke-width:1.5px}\n"
    ".hollow.thick{stroke-width:2px}\n"
    ".cross{fill:none;stroke:currentColor;stroke-width:2.5px}\n"
    ".cross.black{stroke:#000;stroke-width:1.5px}\n"
    ".ring{fill:#fff;stroke:#000}\n"
    ".ring.thick{stroke-width:3px}\n"
    ".s0{color:#d55e00}.s1{color:#0072b2}.s2{color:#009e73}"
    ".s3{color:#cc79a7}.s4{color:#e69f00}.s5{color:#56b4e9}"
    ".s6{color:#555}\n"
    "</style>\n";
constexpr size_t COLOURS = 7;

// The shapes, the arrow's head and the hatching of a mask not known.
const char defs[] =
    "<defs>\n"
    "<g id=\"generated\"><circle r=\"4\" class=\"solid\"/></g>\n"
    "<g id=\"merged\"><path d=\"M0,-6L5,0L0,6L-5,0Z\" "
    "class=\"hollow thick\"/></g>\n"
    "<g id=\"ignored\"><circle r=\"4.5\" class=\"hollow\"/>"
    "<path d=\"M-3,3L3,-3\" class=\"hollow\"/></g>\n"
    "<g id=\"lost\"><path d=\"M-4,-4L4,4M-4,4L4,-4\" class=\"cross\"/>"
    "</g>\n"
    "<g id=\"dropped\"><rect x=\"-4\" y=\"-4\" width=\"8\" height=\"8\" "
    "class=\"hollow\"/></g>\n"
    "<g id=\"taken\"><path d=\"M-5,-5L5,-5L0,5Z\" class=\"solid\"/></g>\n"
    "<g id=\"discarded\"><path d=\"M-4,-4L4,4M-4,4L4,-4\" "
    "class=\"cross black\"/></g>\n"
    "<g id=\"handler\"><path d=\"M-5,-6L6,0L-5,6Z\" class=\"solid\"/>"
    "</g>\n"
    "<g id=\"passed\"><path d=\"M-5,-6L6,0L-5,6Z\" class=\"hollow\"/>"
    "</g>\n"
    "<g id=\"stops\"><rect x=\"-5\" y=\"-5\" width=\"10\" height=\"10\" "
    "class=\"solid\"/></g>\n"
    "<g id=\"ends\"><circle r=\"7\" class=\"ring\"/>"
    "<path d=\"M-4,-4L4,4M-4,4L4,-4\" class=\"cross\"/></g>\n"
    "<g id=\"core\"><circle r=\"7\" class=\"ring thick\"/>"
    "<path d=\"M-4,-4L4,4M-4,4L4,-4\" class=\"cross\"/></g>\n"
    "<marker id=\"arrow\" viewBox=\"0 0 10 10\" refX=\"5\" refY=\"5\" "
    "markerWidth=\"6\" markerHeight=\"6\" orient=\"auto\">"
    "<path d=\"M0,0L10,5L0,10Z\"/></marker>\n"
    "<pattern id=\"unknown\" width=\"6\" height=\"6\" "
    "patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\">"
    "<rect width=\"6\" height=\"6\" class=\"page\"/>"
    "<path d=\"M0,0V6\" class=\"hatch\"/></pattern>\n"
    "</defs>\n";

} // namespace

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

std::string
colour_class(size_t nth)
{
	return "s" + std::to_string(nth % COLOURS);
}

void
Canvas::begin(double width, double height, const std::string &title)
{
	std::string wide = number(width);
	std::string high = number(height);
	std::fprintf(out_,
		     "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
		     "<svg xmlns=\"http://www.w3.org/2000/svg\" "
		     "width=\"%s\" height=\"%s\" viewBox=\"0 0 %s %s\">\n"
		     "<title>%s</title>\n",
		     wide.c_str(), high.c_str(), wide.c_str(), high.c_str(),
		     escape(title).c_str());
	std::fputs(style, out_);
	std::fputs(defs, out_);
	std::fputs("<rect width=\"100%\" height=\"100%\" class=\"page\"/>\n",
		   out_);
}

void
Canvas::end()
{
	std::fputs("</svg>\n", out_);
}

void
Canvas::classes(const std::string &cls)
{
	if (!cls.empty())
		std::fprintf(out_, " class=\"%s\"", cls.c_str());
}

void
Canvas::group(const std::string &cls)
{
	std::fputs("<g", out_);
	classes(cls);
	std::fputs(">\n", out_);
}

void
Canvas::titled(const std::string &cls, const std::string &title)
{
	std::fputs("<g", out_);
	classes(cls);
	std::fprintf(out_, "><title>%s</title>", escape(title).c_str());
}

void
Canvas::close()
{
	std::fputs("</g>\n", out_);
}

void
Canvas::text(double px, double py, const std::string &cls,
	     const std::string &words)
{
	std::fprintf(out_, "<text x=\"%s\" y=\"%s\"", number(px).c_str(),
		     number(py).c_str());
	classes(cls);
	std::fprintf(out_, ">%s</text>\n", escape(words).c_str());
}

void
Canvas::rect(double px, double py, double width, double height,
	     const std::string &cls)
{
	std::fprintf(out_, "<rect x=\"%s\" y=\"%s\" width=\"%s\" height=\"%s\"",
		     number(px).c_str(), number(py).c_str(),
		     number(width).c_str(), number(height).c_str());
	classes(cls);
	std::fputs("/>", out_);
}

void
Canvas::line(double x1, double y1, double x2, double y2, const std::string &cls)
{
	std::fprintf(out_, "<path d=\"M%s,%sL%s,%s\"", number(x1).c_str(),
		     number(y1).c_str(), number(x2).c_str(),
		     number(y2).c_str());
	classes(cls);
	std::fputs("/>", out_);
}

void
Canvas::path(const std::string &outline, const std::string &cls)
{
	std::fprintf(out_, "<path d=\"%s\"", outline.c_str());
	classes(cls);
	std::fputs("/>", out_);
}

void
Canvas::shape(const char *name, double px, double py, const std::string &cls)
{
	std::fprintf(out_, "<use href=\"#%s\" x=\"%s\" y=\"%s\"", name,
		     number(px).c_str(), number(py).c_str());
	classes(cls);
	std::fputs("/>", out_);
}

} // namespace sigtrace::picture

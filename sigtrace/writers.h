// SPDX-License-Identifier: ISC
/*
 * The ways sigtrace tells its account: as lines for a person to read,
 * or as JSON Lines for a program.
 */
#ifndef WRITERS_H
#define WRITERS_H

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "events.h"

namespace sigtrace
{

// The version of the JSON account, in its start.
constexpr int ACCOUNT_VERSION = 1;

std::unique_ptr<Writer> text_writer(FILE *out);
std::unique_ptr<Writer> json_writer(FILE *out);
// A picture of the run, written whole at its end.
std::unique_ptr<Writer> svg_writer(FILE *out);
// Several writers, each told everything, in turn.
std::unique_ptr<Writer> all_of(std::vector<std::unique_ptr<Writer>> writers);

// An account that json_writer() wrote, told again to the writer; false,
// with the fault and its line in error, where it is not one.
bool replay_json(FILE *in, Writer &writer, std::string &error);

// A line being made, piece by piece, as printf would lay it out but with
// no format to read, in a buffer kept from one line to the next: a storm
// of signals makes hundreds of thousands of lines a second, and none of
// them costs an allocation.
class Line
{
      public:
	void
	clear()
	{
		size_ = 0;
	}
	const char *
	data() const
	{
		return buffer_.data();
	}
	size_t
	size() const
	{
		return size_;
	}
	std::string
	str() const
	{
		return std::string(data(), size_);
	}

	// Inlined, so that a literal's length and copy are known as it is
	// compiled.
	[[gnu::always_inline]] Line &
	add(const char *text, size_t length)
	{
		room(length);
		std::memcpy(&buffer_[size_], text, length);
		size_ += length;
		return *this;
	}
	[[gnu::always_inline]] Line &
	operator<<(const char *text)
	{
		return add(text, std::strlen(text));
	}
	Line &
	operator<<(const std::string &text)
	{
		return add(text.data(), text.size());
	}
	Line &
	operator<<(char ch)
	{
		room(1);
		buffer_[size_++] = ch;
		return *this;
	}
	// In decimal, as printf's %d or %llu writes it for its type.
	template <typename Number>
	Line &
	number(Number value)
	{
		room(24);
		char *at = &buffer_[size_];
		size_ = static_cast<size_t>(
		    std::to_chars(at, at + 24, value).ptr - buffer_.data());
		return *this;
	}
	// What was added since from, padded with spaces to width, as
	// printf's %-*s pads it.
	Line &
	pad(size_t from, size_t width)
	{
		return fill(width - std::min(width, size_ - from), ' ');
	}
	// What was added since from, moved right to width with fill, as
	// printf's %*llu or %0*llu.
	Line &
	align(size_t from, size_t width, char fill)
	{
		size_t length = size_ - from;
		if (length < width) {
			size_t more = width - length;
			room(more);
			std::memmove(&buffer_[from + more], &buffer_[from],
				     length);
			std::memset(&buffer_[from], fill, more);
			size_ += more;
		}
		return *this;
	}
	Line &
	fill(size_t count, char ch)
	{
		room(count);
		std::memset(&buffer_[size_], ch, count);
		size_ += count;
		return *this;
	}

      private:
	void
	room(size_t more)
	{
		if (buffer_.size() - size_ < more)
			grow(more);
	}
	void
	grow(size_t more)
	{
		buffer_.resize(
		    std::max(2 * buffer_.size(), size_ + more + 256));
	}

	std::string buffer_;
	size_t size_ = 0; // of the line: the buffer may hold more
};

// The line the text gives an event, without its newline.
std::string line(const Event &event);
// The same, added to out.
void add_line(Line &out, const Event &event);

// The length of the UTF-8 character at text[at], or 0 where no whole
// one starts there: no overlong form, surrogate or code point past
// U+10FFFF is one.
size_t utf8_length(const std::string &text, size_t at);
// A name from outside (a program's, a thread's), as a person reads it
// and no terminal acts on it: a control character, a backslash or a
// byte of invalid UTF-8 is escaped as C escapes it (\x1b, \\).
std::string printable(const std::string &name);

// A signal set by name, as a person reads it: "none", a few names, or
// "every signal but" the few it lacks.
std::string sigset_names(std::uint64_t set);
void add_sigset_names(Line &out, std::uint64_t set);

} // namespace sigtrace

#endif

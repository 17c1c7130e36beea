// SPDX-License-Identifier: ISC
/*
 * Text from outside, as the writers take it: strict UTF-8, and names a
 * person can read on a terminal that nothing in them can command.
 */
#include <cstdio>
#include <string>

#include "writers.h"

namespace sigtrace
{

size_t
utf8_length(const std::string &text, size_t at)
{
	auto byte = [&](size_t next) -> unsigned char {
		return at + next < text.size()
			   ? static_cast<unsigned char>(text[at + next])
			   : 0;
	};
	unsigned char lead = byte(0);
	// The second byte's range rules out overlong forms, surrogates
	// (U+D800 to U+DFFF) and code points past U+10FFFF.
	unsigned char low = 0x80;
	unsigned char high = 0xbf;
	size_t length = 0;

	if (at >= text.size())
		return 0;
	if (lead < 0x80)
		return 1;
	if (lead >= 0xc2 && lead <= 0xdf)
		length = 2;
	else if (lead >= 0xe0 && lead <= 0xef) {
		length = 3;
		low = lead == 0xe0 ? 0xa0 : 0x80;
		high = lead == 0xed ? 0x9f : 0xbf;
	} else if (lead >= 0xf0 && lead <= 0xf4) {
		length = 4;
		low = lead == 0xf0 ? 0x90 : 0x80;
		high = lead == 0xf4 ? 0x8f : 0xbf;
	} else
		return 0;
	if (byte(1) < low || byte(1) > high)
		return 0;
	for (size_t next = 2; next < length; next++)
		if ((byte(next) & 0xc0) != 0x80)
			return 0;
	return length;
}

std::string
printable(const std::string &name)
{
	std::string out;

	for (size_t at = 0; at < name.size();) {
		auto ch = static_cast<unsigned char>(name[at]);
		size_t length = utf8_length(name, at);
		// C1 controls, U+0080 to U+009F, command a terminal too.
		bool control =
		    ch < 0x20 || ch == 0x7f ||
		    (length == 2 && ch == 0xc2 &&
		     static_cast<unsigned char>(name[at + 1]) < 0xa0);
		if (ch == '\\')
			out += "\\\\";
		else if (length && !control)
			out += name.substr(at, length);
		else {
			// Each byte of it, as a C string would escape it.
			size_t bytes = length ? length : 1;
			for (size_t each = 0; each < bytes; each++) {
				char escape[5];
				std::snprintf(escape, sizeof(escape), "\\x%02x",
					      static_cast<unsigned char>(
						  name[at + each]));
				out += escape;
			}
		}
		at += length ? length : 1;
	}
	return out;
}

} // namespace sigtrace

// SPDX-License-Identifier: ISC
/*
 * The ways sigtrace tells its account: as lines for a person to read,
 * or as JSON Lines for a program.
 */
#ifndef WRITERS_H
#define WRITERS_H

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "account.h"

namespace sigtrace
{

std::unique_ptr<Writer> text_writer(FILE *out);
std::unique_ptr<Writer> json_writer(FILE *out);
// A picture of the run, written whole at its end.
std::unique_ptr<Writer> svg_writer(FILE *out);
// Several writers, each told everything, in turn.
std::unique_ptr<Writer> all_of(std::vector<std::unique_ptr<Writer>> writers);

// An account that json_writer() wrote, told again to the writer; false,
// with the fault and its line in error, where it is not one.
bool replay_json(FILE *in, Writer &writer, std::string &error);

// The line the text gives an event, without its newline.
std::string line(const Account &account, const Event &event);

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

} // namespace sigtrace

#endif

// SPDX-License-Identifier: ISC
/*
 * The ways sigtrace tells its account: as lines for a person to read,
 * or as JSON Lines for a program.
 */
#ifndef WRITERS_H
#define WRITERS_H

#include <cstdio>
#include <memory>

#include "account.h"

namespace sigtrace
{

std::unique_ptr<Writer> text_writer(FILE *out);
std::unique_ptr<Writer> json_writer(FILE *out);

// A signal set by name, as a person reads it: "none", a few names, or
// "every signal but" the few it lacks.
std::string sigset_names(std::uint64_t set);

} // namespace sigtrace

#endif

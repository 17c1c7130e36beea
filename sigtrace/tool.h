// SPDX-License-Identifier: ISC
/*
 * What every part of the sigtrace program shares: its exit statuses, its
 * one way to fail, -v, and its clock.
 */
#ifndef TOOL_H
#define TOOL_H

#include <linux/types.h>

#include <cstdio>

namespace sigtrace
{

// Exit statuses of our own, as a shell gives them for a program.
constexpr int EXIT_CANNOT_TRACE = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_CANNOT_RUN = 126;
constexpr int EXIT_NOT_FOUND = 127;

// -v: libbpf's words, the way taken, counts that disagree.
extern bool verbose;

// The account, where it shares standard error with our messages: what
// it holds goes first.
extern FILE *account_stream;

// A line on standard error, "sigtrace: " and the format's, then the end,
// with status.
[[noreturn]] void fail(int status, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// CLOCK_MONOTONIC, in nanoseconds, as the kernel side's records have it.
__u64 now();

} // namespace sigtrace

#endif

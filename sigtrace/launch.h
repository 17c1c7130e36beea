// SPDX-License-Identifier: ISC
/*
 * The program's launch: found as a shell finds it, refused where its ids
 * would not be the kernel's, and started in a child that waits for the
 * word to run it, as the user with no capability; and ours given up.
 */
#ifndef LAUNCH_H
#define LAUNCH_H

#include <sys/types.h>

#include <string>

namespace sigtrace
{

// The program, found and refused as a shell would find and refuse it.
// Looking it up reads nothing of it.
std::string find_program(const char *name);
// A line that says why, and the end, in a pid namespace of our own.
void refuse_pid_namespace();
// Every capability given up: effective, permitted, inheritable, ambient.
bool drop_capabilities();
bool holds_capabilities();
// The program at path, started with argv in a child that runs it once
// given the word on *go (go_ahead()); the child's id.
pid_t start_program(const std::string &path, char **argv, int *go);
void go_ahead(int go);

} // namespace sigtrace

#endif

// SPDX-License-Identifier: ISC
// Kernel records made up for the model's tests, as the kernel side
// would send them, each a microsecond after the last.
#ifndef RECORDS_H
#define RECORDS_H

#include <sys/types.h>

#include <linux/types.h>

#include <csignal>
#include <cstdint>
#include <cstring>

#include "sigtrace.h"

namespace
{

inline std::uint64_t clock_ns = 1000;

inline event
record(__u32 kind, pid_t task, pid_t process, int sig = 0)
{
	event ev = {};
	ev.time = clock_ns += 1000;
	ev.kind = kind;
	ev.task = task;
	ev.process = process;
	ev.sig = sig;
	return ev;
}

inline event
generate(pid_t to, int sig, int result, pid_t from, __u32 info = INFO_GIVEN,
	 int code = SI_USER, bool group = true)
{
	event ev = record(EVENT_GENERATE, to, to, sig);
	ev.result = result;
	ev.other = ev.other_process = from;
	ev.info = info;
	ev.code = code;
	ev.detail = group ? DETAIL_GROUP : 0;
	std::strcpy(ev.comm, "kill");
	return ev;
}

inline event
deliver(pid_t task, pid_t process, int sig, std::uint64_t handler = 0x1000)
{
	event ev = record(EVENT_DELIVER, task, process, sig);
	ev.info = INFO_GIVEN;
	ev.handler = handler;
	return ev;
}

inline event
fork(pid_t parent, pid_t child, bool thread = false)
{
	event ev = record(EVENT_FORK, parent, parent);
	ev.other = child;
	ev.other_process = thread ? parent : child;
	ev.detail = thread ? DETAIL_THREAD : 0;
	return ev;
}

inline event
exit(pid_t task, pid_t process, int code, std::uint64_t pending = 0,
     bool last = true)
{
	event ev = record(EVENT_EXIT, task, process);
	ev.code = code;
	ev.pending = pending;
	ev.detail = last ? DETAIL_LAST : 0;
	return ev;
}

} // namespace

#endif

Experiment 4, pendfork: the kill moved after the fork
SPDX-License-Identifier: ISC

  $ . "$TESTDIR/setup.sh"
  $ cp "$SRC/pendfork.cpp" . && patch -s pendfork.cpp < "$LAB/04-pendfork-kill-after-fork.patch"
  $ $CXX -std=c++17 -o pendfork pendfork.cpp

Both processes now print their line, with no newline, in either order:
the order is not fixed.  On a terminal and into a pipe alike:

  $ terminal ./pendfork
  (parent : SIGUSR1 pendingchild : SIGUSR1 pending|child : SIGUSR1 pendingparent : SIGUSR1 pending) \(no-eol\) (re)
  $ pipe ./pendfork
  (parent : SIGUSR1 pendingchild : SIGUSR1 pending|child : SIGUSR1 pendingparent : SIGUSR1 pending) \(no-eol\) (re)

Nothing on standard error; both processes end with status 0 (kernel.t,
experiment 4), at once.  Both orders are seen on every architecture
that CI builds; on an amd64 machine with two cores, the child's text came
first in about three runs out of four.

Why.  Each process now runs the kill, and getpid names itself, so each
sends SIGUSR1 to itself; it is blocked in both, as the child inherits
the mask, so each has it pending in its own pending set (kill(2),
sigpending(2); fork(2): the child's pending set starts empty, but the
mask is inherited).  Each writes its text when it ends, flushing stdout;
which of the two ends first is up to the scheduler.

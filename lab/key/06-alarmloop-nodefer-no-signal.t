Experiment 6, alarmloop: SA_NODEFER, and the signal call removed
SPDX-License-Identifier: ISC

  $ . "$TESTDIR/setup.sh"
  $ cp "$SRC/alarmloop.cpp" . && patch -s alarmloop.cpp < "$LAB/06-alarmloop-nodefer-no-signal.patch"
  $ $CXX -std=c++17 -o alarmloop alarmloop.cpp

On a terminal, thousands of lines in a fraction of a second, counting
up from alarm 0, then the process is killed by SIGSEGV: the shell says
"Segmentation fault", status 139 (128 + 11).

  $ terminal ./alarmloop > terminal.out
  [139]
  $ head -n 3 terminal.out
  alarm 0\r (esc)
  alarm 1\r (esc)
  alarm 2\r (esc)
  $ grep -c alarm terminal.out
  [1-9][0-9]{2,4} (re)

How many lines is not fixed: it is how many runs of the handler fit on
the stack, which depends on the size of the signal frame the kernel
builds (the architecture, and the CPU's registers to save), on the
compiler, and, a little, on where the stack starts, which is random.
With the usual 8 MiB stack on amd64 about 2,400 lines, varying by a few
from run to run.

Into a pipe, what arrives is a whole number of 4096-byte buffers, as
many as filled before the crash, usually cut in the middle of a line;
the rest dies with the process:

  $ time pipe ./alarmloop > pipe.out
  took [0-5] s (re)
  [139]
  $ head -n 2 pipe.out
  alarm 0
  alarm 1
  $ echo $(($(wc -c < pipe.out) % 4096))
  0

Nothing on standard error.

Why.  With SA_NODEFER, and no signal call to replace the action, SIGALRM
is not blocked while the handler runs (sigaction(2)).  So the handler's
kill delivers the next SIGALRM at once, inside kill, before the sleep: a
run nested in the run before it.  Each nested run adds a signal frame to
the stack (signal(7), "Execution of signal handlers") until there is no
room for another, and the kernel kills the process with SIGSEGV
(getrlimit(2), RLIMIT_STACK).  A process killed by a signal never
reaches exit, so stdio never flushes what it still holds (exit(3)).

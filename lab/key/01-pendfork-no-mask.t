Experiment 1, pendfork: the sigprocmask call removed
SPDX-License-Identifier: ISC

  $ . "$TESTDIR/setup.sh"
  $ cp "$SRC/pendfork.cpp" . && patch -s pendfork.cpp < "$LAB/01-pendfork-no-mask.patch"
  $ $CXX -std=c++17 -o pendfork pendfork.cpp

On a terminal, the handler's line, once, at once:

  $ terminal ./pendfork
  SIGUSR1 catched!!\r (esc)

Into a pipe, the same line twice, and nothing else:

  $ pipe ./pendfork
  SIGUSR1 catched!!
  SIGUSR1 catched!!

Nothing on standard error; status 0.

Why.  With nothing blocked, the kill delivers SIGUSR1 at once: a signal
that a process sends itself while it is not blocked is delivered before
kill returns (kill(2); signal(7), "Signal mask and pending signals").  So
the handler runs inside kill, and nothing is left pending: neither
process prints its "pending" line.  The handler's puts only puts the line
in stdout's buffer.  On a terminal the buffer is flushed at each newline,
so the line is written at once, by the parent alone.  Into a pipe it is
flushed only at exit, and fork copies the whole process, the unwritten
buffer with it (fork(2): the child is a duplicate of the parent), so each
process writes the line when it ends (setvbuf(3), stdio(3)).

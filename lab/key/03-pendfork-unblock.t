Experiment 3, pendfork: the parent unblocks SIGUSR1 after its check
SPDX-License-Identifier: ISC

  $ . "$TESTDIR/setup.sh"
  $ cp "$SRC/pendfork.cpp" . && patch -s pendfork.cpp < "$LAB/03-pendfork-unblock.patch"
  $ $CXX -std=c++17 -o pendfork pendfork.cpp

On a terminal and into a pipe alike, the parent's line, then the
handler's, on the same line, with the handler's newline after it:

  $ terminal ./pendfork
  parent : SIGUSR1 pendingSIGUSR1 catched!!\r (esc)
  $ pipe ./pendfork
  parent : SIGUSR1 pendingSIGUSR1 catched!!

Nothing on standard error; status 0, at once.

Why.  The parent finds SIGUSR1 pending and prints so; then it unblocks
it, and a pending signal that the call unblocks is delivered before
sigprocmask returns (sigprocmask(2); signal(7)).  The handler's puts
appends to the same stdout buffer, which still holds the first text, as
it has no newline: on a terminal the newline flushes both together.  The
child has nothing pending and never unblocks, so it prints nothing.

Experiment 2, pendfork: SIG_BLOCK in place of SIG_SETMASK
SPDX-License-Identifier: ISC

  $ . "$TESTDIR/setup.sh"
  $ cp "$SRC/pendfork.cpp" . && patch -s pendfork.cpp < "$LAB/02-pendfork-block.patch"
  $ $CXX -std=c++17 -o pendfork pendfork.cpp

What it prints does not change, on a terminal or into a pipe, started as
usual or with SIGINT blocked:

  $ terminal ./pendfork
  parent : SIGUSR1 pending (no-eol)
  $ pipe ./pendfork
  parent : SIGUSR1 pending (no-eol)
  $ pipe env --block-signal=SIGINT ./pendfork
  parent : SIGUSR1 pending (no-eol)

Nothing on standard error; status 0, at once.

What changes is the mask.  GNU env shows what it starts the program
with:

  $ env --block-signal=SIGINT --list-signal-handling true 2>&1 | grep BLOCK
  INT        ( 2): BLOCK

The shipped pendfork makes SIGUSR1 its only blocked signal; this one adds
SIGUSR1 to what it was started with, so both processes end with SIGINT
and SIGUSR1 blocked.  The kernel's account shows it as each process ends
(kernel.t, experiment 2): "blocked: SIGINT SIGUSR1", where the shipped
program ends with "blocked: SIGUSR1".

Why.  SIG_BLOCK blocks the union of the current mask and the set given;
SIG_SETMASK makes the set given the whole mask (sigprocmask(2)).  A
program starts with the mask of the process that started it, since
execve keeps the mask, and a child made by fork inherits it (execve(2),
fork(2), signal(7), "Signal mask and pending signals").

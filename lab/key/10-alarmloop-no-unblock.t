Experiment 10, alarmloop: the unblocking of SIGALRM removed
SPDX-License-Identifier: ISC

  $ . "$TESTDIR/setup.sh"
  $ cp "$SRC/alarmloop.cpp" . && patch -s alarmloop.cpp < "$LAB/10-alarmloop-no-unblock.patch"
  $ $CXX -std=c++17 -o alarmloop alarmloop.cpp

Started as usual, nothing changes: four lines, about four seconds,
status 0.

  $ time pipe ./alarmloop
  alarm 0
  alarm 1
  alarm 2
  alarm 3
  took [4-9] s (re)

Started with SIGALRM blocked, as GNU env can start it, it prints nothing
and never ends, spinning in main's busy loop; timeout stops it here.  On
a terminal and into a pipe alike:

  $ terminal timeout 2 env --block-signal=SIGALRM ./alarmloop
  [124]
  $ pipe timeout 2 env --block-signal=SIGALRM ./alarmloop
  [124]

Nothing on standard error.

Why.  A program starts with the signal mask of the one that started it:
execve keeps it (execve(2); signal(7)).  With SIGALRM blocked, main's
kill only leaves it pending; no run ever starts, main cancels the alarm
that was never armed and spins.  The kernel's account shows SIGALRM
"pending from itself" and never delivered, still pending and blocked
when timeout's SIGTERM ends the process (kernel.t, experiment 10).  The
shipped alarmloop unblocks SIGALRM, and only it, for this reason.

Experiment 8, alarmloop: the handler's kill removed
SPDX-License-Identifier: ISC

  $ . "$TESTDIR/setup.sh"
  $ cp "$SRC/alarmloop.cpp" . && patch -s alarmloop.cpp < "$LAB/08-alarmloop-no-kill.patch"
  $ $CXX -std=c++17 -o alarmloop alarmloop.cpp

It never ends: one run, then main spins in its busy loop, using a whole
CPU, until it is stopped; here timeout stops it after two seconds, and
gives its own status, 124.  On a terminal, one line, at once:

  $ terminal timeout 2 ./alarmloop
  alarm 0\r (esc)
  [124]

Into a pipe, nothing at all, ever:

  $ time pipe timeout 2 ./alarmloop
  took [2-7] s (re)
  [124]

Nothing on standard error.

Why.  Only main's kill starts a run, and nothing starts another: the run
sleeps, arms an alarm and returns, and so does main's kill.  main then
calls alarm(0), which cancels the alarm before it falls due, and returns
the one second it still had to go (alarm(2); strace.t, experiment 8);
then the busy loop.  The only way out is a signal from outside, and
timeout's SIGTERM ends the process without exit, so stdio never writes
the line it holds for the pipe (exit(3)).

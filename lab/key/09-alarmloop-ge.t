Experiment 9, alarmloop: >= in place of >
SPDX-License-Identifier: ISC

  $ . "$TESTDIR/setup.sh"
  $ cp "$SRC/alarmloop.cpp" . && patch -s alarmloop.cpp < "$LAB/09-alarmloop-ge.patch"
  $ $CXX -std=c++17 -o alarmloop alarmloop.cpp

Three lines, not four, a second apart on a terminal:

  $ terminal ./alarmloop
  alarm 0\r (esc)
  alarm 1\r (esc)
  alarm 2\r (esc)

Into a pipe, the same three lines; the run takes about three seconds:

  $ time pipe ./alarmloop
  alarm 0
  alarm 1
  alarm 2
  took [3-8] s (re)

Nothing on standard error; status 0.

Why.  The count goes up before the test, so the run that prints alarm 2
makes it 3, and 3 >= 3 ends the process, after that run's own sleep.
Every run still sends SIGALRM and arms an alarm: the kernel's account
shows four SIGALRMs from the process itself, three of them delivered,
and the last one still pending at the end (kernel.t, experiment 9).

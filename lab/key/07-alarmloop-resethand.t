Experiment 7, alarmloop: SA_RESETHAND, and the signal call removed
SPDX-License-Identifier: ISC

  $ . "$TESTDIR/setup.sh"
  $ cp "$SRC/alarmloop.cpp" . && patch -s alarmloop.cpp < "$LAB/07-alarmloop-resethand.patch"
  $ $CXX -std=c++17 -o alarmloop alarmloop.cpp

On a terminal, one line; about a second later SIGALRM kills the process.
The shell says "Alarm clock"; the status is 142 (128 + 14):

  $ terminal ./alarmloop
  alarm 0\r (esc)
  [142]

Into a pipe, nothing at all, after about a second:

  $ time pipe ./alarmloop
  took [1-6] s (re)
  [142]

Nothing on standard error.

Why.  SA_RESETHAND puts back the default action as the handler starts
(sigaction(2)), so only the first SIGALRM finds the handler.  The run's
own kill leaves the second one pending, as SIGALRM is still blocked while
the handler runs; when the run returns, a second later, it is delivered,
and the default action for SIGALRM ends the process (signal(7), "Signal
dispositions").  Killed by a signal, the process never calls exit, so the
line that stdio holds for the pipe is never written (exit(3)).  The
kernel's account shows the first delivery "to its handler
(SA_RESETHAND)" and the second "to its default action" (kernel.t,
experiment 7).

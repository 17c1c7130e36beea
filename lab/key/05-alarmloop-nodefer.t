Experiment 5, alarmloop: SA_NODEFER in the sigaction flags
SPDX-License-Identifier: ISC

  $ . "$TESTDIR/setup.sh"
  $ cp "$SRC/alarmloop.cpp" . && patch -s alarmloop.cpp < "$LAB/05-alarmloop-nodefer.patch"
  $ $CXX -std=c++17 -o alarmloop alarmloop.cpp

Nothing changes.  On a terminal, a line about every second:

  $ terminal ./alarmloop
  alarm 0\r (esc)
  alarm 1\r (esc)
  alarm 2\r (esc)
  alarm 3\r (esc)

Into a pipe, the same four lines; the run takes about four seconds:

  $ time pipe ./alarmloop
  alarm 0
  alarm 1
  alarm 2
  alarm 3
  took [4-9] s (re)

Nothing on standard error; status 0.

Why.  The call to signal that follows sigaction installs the handler
again, and replaces the whole action, flags and all: glibc's signal gives
the BSD semantics, SA_RESTART, with SIGALRM blocked while the handler
runs (signal(2), "Portability"; sigaction(2)).  strace shows the second
rt_sigaction replacing the first (strace.t, experiment 5), and the
kernel's account shows every delivery with SA_RESTART and no SA_NODEFER.

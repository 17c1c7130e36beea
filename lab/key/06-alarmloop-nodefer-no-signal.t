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
the stack, which depends on the size of the signal frame that the kernel
(or the emulator) builds, on the architecture and the CPU's registers to
save, on the compiler, and, a little, on where the stack starts, which
is random.  With the usual 8 MiB stack, seen here with g++ (clang++ the
same on amd64), lines on a terminal and bytes into a pipe:

| amd64   |  2,423 to 2,425 |  24,576 (6 buffers)  |
| i386    |  2,219 to 2,220 |  20,480 (5)          |
| arm64   |  1,770          |  16,384 (4)          |
| armhf   | 10,588          | 114,688 (28)         |
| ppc64el |  3,359          |  32,768 (8)          |
| riscv64 |  9,705          | 102,400 (25)         |
| s390x   |  6,941          |  73,728 (18)         |

All but amd64 and i386 ran through qemu-user on an amd64 machine, as in
CI, and there the emulator builds the signal frames.


Into a pipe, what arrives is a whole number of 4096-byte buffers, as
many as filled before the crash, usually cut in the middle of a line;
the rest dies with the process:

  $ time pipe ./alarmloop > pipe.out 2> pipe.err
  took [0-5] s (re)
  [139]
  $ head -n 2 pipe.out
  alarm 0
  alarm 1
  $ echo $(($(wc -c < pipe.out) % 4096))
  0

Nothing on standard error.  (Run through qemu-user, as CI runs the
programs built for other architectures, the emulator adds a line of its
own there, "qemu: uncaught target signal 11 (Segmentation fault) - core
dumped", even with no core dumped; the transcript leaves it out.)

  $ sed '/^qemu: uncaught target signal 11 /d' pipe.err

Why.  With SA_NODEFER, and no signal call to replace the action, SIGALRM
is not blocked while the handler runs (sigaction(2)).  So the handler's
kill delivers the next SIGALRM at once, inside kill, before the sleep: a
run nested in the run before it.  Each nested run adds a signal frame to
the stack (signal(7), "Execution of signal handlers") until there is no
room for another, and the kernel kills the process with SIGSEGV
(getrlimit(2), RLIMIT_STACK).  A process killed by a signal never
reaches exit, so stdio never flushes what it still holds (exit(3)).

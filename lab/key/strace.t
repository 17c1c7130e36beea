What strace shows, for the experiments where it shows the difference
SPDX-License-Identifier: ISC

Run where strace is installed and the programs run on this machine's own
processor: strace traces the emulator, not the program, of a program
built for another one.

  $ . "$TESTDIR/setup.sh"
  $ build() {
  >     cp "$SRC/$1.cpp" . && patch -s "$1.cpp" < "$LAB/$2.patch" &&
  >     $CXX -std=c++17 -o "$1" "$1.cpp"
  > }

Experiment 5, SA_NODEFER: the call to signal replaces the action that
sigaction installed, flags and mask and all.

  $ build alarmloop 05-alarmloop-nodefer
  $ strace -qq -e trace=rt_sigaction -e signal=none ./alarmloop > /dev/null
  rt_sigaction\(SIGALRM, \{sa_handler=0x[0-9a-f]+, sa_mask=\[\], sa_flags=(SA_RESTORER\|)?SA_NODEFER.*\}, NULL, 8\) = 0 (re)
  rt_sigaction\(SIGALRM, \{sa_handler=0x[0-9a-f]+, sa_mask=\[ALRM\], sa_flags=(SA_RESTORER\|)?SA_RESTART.*\}, \{.*SA_NODEFER.*\}, 8\) = 0 (re)

Experiment 8, no kill in the handler: main's alarm(0) cancels the alarm
that the only run armed, with a second still to go.

  $ build alarmloop 08-alarmloop-no-kill
  $ timeout 2 strace -qq -e trace=alarm -e signal=none ./alarmloop > /dev/null
  alarm\(1\) += 0 (re)
  alarm\(0\) += 1 (re)
  [124]

Experiment 13, SIGUSR1 blocked before longjmp: one call blocks it, and
the jump makes none.

  $ build jumpback 13-jumpback-block
  $ strace -qq -e trace=rt_sigprocmask ./jumpback > /dev/null
  rt_sigprocmask(SIG_BLOCK, [USR1], NULL, 8) = 0

Experiment 14, sigsetjmp(..., 1) and siglongjmp: sigsetjmp asks for the
mask (SIG_BLOCK with no set changes nothing), the deepest level blocks
SIGUSR1, and siglongjmp sets the saved mask again.

  $ build jumpback 14-jumpback-sigsetjmp
  $ strace -qq -e trace=rt_sigprocmask ./jumpback > /dev/null
  rt_sigprocmask\(SIG_BLOCK, NULL, \[\], 8\) += 0 (re)
  rt_sigprocmask\(SIG_BLOCK, \[USR1\], NULL, 8\) = 0 (re)
  rt_sigprocmask\(SIG_SETMASK, \[\], NULL, 8\) = 0 (re)

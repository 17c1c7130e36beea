Experiment 13, jumpback: SIGUSR1 blocked on the deepest level
SPDX-License-Identifier: ISC

  $ . "$TESTDIR/setup.sh"
  $ cp "$SRC/jumpback.cpp" . && patch -s jumpback.cpp < "$LAB/13-jumpback-block.patch"
  $ $CXX -std=c++17 -o jumpback jumpback.cpp

The same five lines, status 0, at once:

  $ pipe ./jumpback
  kez_func, loc_var = 80loc_volatile = 81loc_register = 82
  kez_func, loc_var = 80loc_volatile = 81loc_register = 82
  kez_func, loc_var = 80loc_volatile = 81loc_register = 82
  after longjmp, loc_var = 10loc_volatile = 11loc_register = 12
  ret_val : 1

What changes is invisible in the output: SIGUSR1 stays blocked after the
jump, to the end.  strace shows the one rt_sigprocmask that blocks it and
none after (strace.t, experiment 13); the kernel's account shows the
process ending with "blocked: SIGUSR1" (kernel.t, experiment 13).

Why.  _setjmp saves no signal mask, so longjmp restores none: the mask is
whatever it was when the jump was made (setjmp(3), "NOTES"; on Linux,
setjmp does the same as _setjmp).

Experiment 11, jumpback: longjmp with the value 0
SPDX-License-Identifier: ISC

  $ . "$TESTDIR/setup.sh"
  $ cp "$SRC/jumpback.cpp" . && patch -s jumpback.cpp < "$LAB/11-jumpback-longjmp-0.patch"
  $ $CXX -std=c++17 -o jumpback jumpback.cpp

Nothing changes: the same five lines on a terminal and into a pipe,
ret_val 1 among them; status 0, at once.

  $ pipe ./jumpback
  kez_func, loc_var = 80loc_volatile = 81loc_register = 82
  kez_func, loc_var = 80loc_volatile = 81loc_register = 82
  kez_func, loc_var = 80loc_volatile = 81loc_register = 82
  after longjmp, loc_var = 10loc_volatile = 11loc_register = 12
  ret_val : 1
  $ terminal ./jumpback | tail -n 1
  ret_val : 1\r (esc)

Why.  _setjmp returns 0 only on the call that sets the jump point, so
that a program can tell the two returns apart: a longjmp given 0 makes it
return 1 instead (setjmp(3), "longjmp()").  Had the jump really come back
with 0, main would have called kez_func again, which would have jumped
at once, as count stays 3, for ever.

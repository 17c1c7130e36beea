Experiment 12, jumpback: main's locals changed between _setjmp and the jump
SPDX-License-Identifier: ISC

  $ . "$TESTDIR/setup.sh"
  $ cp "$SRC/jumpback.cpp" . && patch -s jumpback.cpp < "$LAB/12-jumpback-locals.patch"

Built without optimisation, the line after the jump shows the new
values, 20, 21 and 22:

  $ $CXX -std=c++17 -O0 -o jumpback-O0 jumpback.cpp
  $ pipe ./jumpback-O0 | sed -n 4p
  after longjmp, loc_var = 20loc_volatile = 21loc_register = 22

Built with -O2, loc_volatile is 21 still, and the other two are
whatever the compiler kept where longjmp put things back.  Seen here:
10 and 12, the values they had when _setjmp was called, with g++ on
every architecture that CI builds and with clang++ on amd64, where CI
runs it.  The language promises neither, so the transcript accepts
either.

  $ $CXX -std=c++17 -O2 -o jumpback-O2 jumpback.cpp
  $ pipe ./jumpback-O2 | sed -n 4p
  after longjmp, loc_var = (10|20)loc_volatile = 21loc_register = (12|22) (re)

The other four lines do not change, and the status is 0, at once:

  $ pipe ./jumpback-O2 | sed 4d
  kez_func, loc_var = 80loc_volatile = 81loc_register = 82
  kez_func, loc_var = 80loc_volatile = 81loc_register = 82
  kez_func, loc_var = 80loc_volatile = 81loc_register = 82
  ret_val : 1

Why.  After a longjmp, a local of the function that called setjmp is
indeterminate if it changed between the two calls and is not volatile
(setjmp(3), "NOTES"; longjmp(3)).  Without optimisation every local lives
in memory, so the new values are there; with it, the compiler may keep a
local in a register, which longjmp restores to what it held at _setjmp,
or use the constant it knows instead.  Only loc_volatile, declared
volatile, is certain: 21.

Experiment 14, jumpback: sigsetjmp(..., 1) and siglongjmp, with SIGUSR1 blocked on the deepest level
SPDX-License-Identifier: ISC

  $ . "$TESTDIR/setup.sh"
  $ cp "$SRC/jumpback.cpp" . && patch -s jumpback.cpp < "$LAB/14-jumpback-sigsetjmp.patch"
  $ $CXX -std=c++17 -o jumpback jumpback.cpp

The same five lines, status 0, at once:

  $ pipe ./jumpback
  kez_func, loc_var = 80loc_volatile = 81loc_register = 82
  kez_func, loc_var = 80loc_volatile = 81loc_register = 82
  kez_func, loc_var = 80loc_volatile = 81loc_register = 82
  after longjmp, loc_var = 10loc_volatile = 11loc_register = 12
  ret_val : 1

What changes is the mask: the jump puts back the mask that sigsetjmp
saved, so SIGUSR1 is no longer blocked after it.  strace shows sigsetjmp
asking for the mask, the block, and siglongjmp setting the saved mask
again (strace.t, experiment 14); the kernel's account shows the process
ending with "blocked: none" (kernel.t, experiment 14).

Why.  sigsetjmp with a non-zero second argument saves the signal mask
with the jump point, and siglongjmp restores it (sigsetjmp(3),
setjmp(3)).  Two more system calls are the price: compare experiment 13.

The kernel's account, for the experiments where it shows the difference
SPDX-License-Identifier: ISC

Run where sigtrace can trace (as root or a member of the lab's tracing
group, the programs on this machine's own processor).  Each account is
read from sigtrace's JSON, as a grader would read it, and shown one short
line per event by account.py: without its times and process ids, which
change from run to run, and without the summary.  Where a program forks,
its masks are left out: the C library of Debian 13 blocks every signal
inside fork, and its account says so.

  $ . "$TESTDIR/setup.sh"
  $ build() {
  >     cp "$SRC/$1.cpp" . && patch -s "$1.cpp" < "$LAB/$2.patch" &&
  >     $CXX -std=c++17 -o "$1" "$1.cpp"
  > }
  $ account() {
  >     "$SIGTRACE" --json "$@" 2>&1 >/dev/null | python3 "$TESTDIR/account.py"
  > }

Experiment 1, no mask: the kill delivers SIGUSR1 at once, and at the end
neither process has anything pending or blocked.

  $ build pendfork 01-pendfork-no-mask
  $ account ./pendfork | grep -v 'SIGCHLD\|blocks' | sort
  child exits 0; pending: none; blocked: none
  process SIGUSR1 delivered to handler SA_RESTART from self
  process SIGUSR1 pending from self
  process SIGUSR1 returns; blocked: none
  process exec pendfork
  process exits 0; pending: none; blocked: none
  process fork

Experiment 2, SIG_BLOCK: started with SIGINT blocked, both processes end
with SIGINT blocked too; the shipped program ends with SIGUSR1 alone.

  $ build pendfork 02-pendfork-block
  $ account env --block-signal=SIGINT ./pendfork | grep exits | sort
  child exits 0; pending: none; blocked: SIGINT SIGUSR1
  process exits 0; pending: SIGUSR1; blocked: SIGINT SIGUSR1
  $ cp "$SRC/pendfork.cpp" shipped.cpp && $CXX -std=c++17 -o shipped shipped.cpp
  $ account env --block-signal=SIGINT ./shipped | grep exits | sort
  child exits 0; pending: none; blocked: SIGUSR1
  process exits 0; pending: SIGUSR1; blocked: SIGUSR1

Experiment 4, the kill after the fork: each process sends SIGUSR1 to
itself, and each ends with it pending; both end with status 0.

  $ build pendfork 04-pendfork-kill-after-fork
  $ account ./pendfork | grep -v 'SIGCHLD\|blocks' | sort
  child SIGUSR1 pending from self
  child exits 0; pending: SIGUSR1; blocked: SIGUSR1
  process SIGUSR1 pending from self
  process exec pendfork
  process exits 0; pending: SIGUSR1; blocked: SIGUSR1
  process fork

Experiment 7, SA_RESETHAND: the first SIGALRM runs the handler, the
second, a second later, takes the default action.

  $ build alarmloop 07-alarmloop-resethand
  $ account ./alarmloop
  process exec alarmloop
  process SIGALRM pending from self
  process SIGALRM delivered to handler SA_RESETHAND from self
  process SIGALRM pending from self
  process SIGALRM returns; blocked: none
  process SIGALRM delivered to terminate from self
  process killed by SIGALRM; pending: none; blocked: none

Experiment 9, >= for >: four SIGALRMs from the process itself, three
delivered, and the last still pending at the end.  Each alarm that falls
due while SIGALRM is pending merges; that is all of them but the last,
whose process ends first.

  $ build alarmloop 09-alarmloop-ge
  $ account ./alarmloop > account.out
  $ grep -c 'pending from self' account.out
  4
  $ grep -c 'delivered to handler SA_RESTART from self' account.out
  3
  $ grep 'from timer' account.out | grep -cv merged
  0
  [1]
  $ tail -n 1 account.out
  process exits 0; pending: SIGALRM; blocked: SIGALRM

Experiment 10, started with SIGALRM blocked: main's kill leaves it
pending, and it is never delivered; timeout's SIGTERM ends the process.
timeout sends its signals twice, to the process and to its group: what
comes once the process is ending is dropped.  (timeout forks, so the
masks are left out, as above; the end says what is blocked.)

  $ build alarmloop 10-alarmloop-no-unblock
  $ account timeout 2 env --block-signal=SIGALRM ./alarmloop | grep '^child' | grep -v 'ignored\|dropped\|blocks'
  child exec env
  child exec alarmloop
  child SIGALRM pending from self
  child SIGTERM pending from parent
  child SIGTERM delivered to terminate from parent
  child killed by SIGTERM; pending: SIGALRM; blocked: SIGALRM

Experiments 13 and 14: after a longjmp that _setjmp set up, SIGUSR1 is
still blocked at the end; after a siglongjmp from sigsetjmp(..., 1), it
is not, for the jump itself sets the mask back, as the kernel sees.

  $ build jumpback 13-jumpback-block
  $ account ./jumpback
  process exec jumpback
  process blocks SIGUSR1
  process exits 0; pending: none; blocked: SIGUSR1
  $ build jumpback 14-jumpback-sigsetjmp
  $ account ./jumpback
  process exec jumpback
  process blocks SIGUSR1
  process blocks none
  process exits 0; pending: none; blocked: none

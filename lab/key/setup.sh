# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# Sourced first by every experiment of the key.  The test that runs the
# key sets SRC, the folder of the three sources; LAB, the folder of the
# patches; and CXX, the compiler.

# No core files, so that a crash is reported alike everywhere; and the
# usual stack, so that a runaway recursion stops where it usually does.
ulimit -c 0
ulimit -s 8192

# terminal COMMAND...: runs it with standard output and standard error on
# a pseudo-terminal, as on a real one, and shows what arrived there.
# pipe COMMAND...: the same, with standard output into a pipe.  Each ends
# with the command's status, and says nothing itself if a signal ends it.
terminal() {
	python3 "$TESTDIR/capture.py" terminal "$@"
}
pipe() {
	python3 "$TESTDIR/capture.py" pipe "$@"
}

# time says how many whole seconds a command took.
TIMEFORMAT='took %0R s'

# SPDX-License-Identifier: ISC
"""What every test script here shares: the environment a program starts
with, and one way to report a mismatch."""
import os
import sys

failures = 0

# The programs read no environment, so each starts with none: a library
# that the build environment preloads (a faked clock, say) would otherwise
# run inside them, and could open a file on a descriptor a test has closed.
# A sanitizer build's options are the suite's own and pass through.
ENV = {k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")}


def expect(case, got, want):
    global failures
    if got != want:
        failures += 1
        print(f"FAIL {case}: got {got!r}, want {want!r}")


def finish():
    print("ok" if failures == 0 else f"{failures} check(s) failed")
    sys.exit(1 if failures else 0)

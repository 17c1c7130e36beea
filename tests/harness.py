# SPDX-License-Identifier: ISC
"""What every test script here shares: one way to report a mismatch."""
import sys

failures = 0


def expect(case, got, want):
    global failures
    if got != want:
        failures += 1
        print(f"FAIL {case}: got {got!r}, want {want!r}")


def finish():
    print("ok" if failures == 0 else f"{failures} check(s) failed")
    sys.exit(1 if failures else 0)

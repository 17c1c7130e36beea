# SPDX-License-Identifier: ISC
"""What every test script here shares: the environment a program starts
with, one way to report a mismatch, one way to be skipped, one way to run
named cases, and how to tell a program built for another machine."""
import os
import shutil
import subprocess
import sys
import time
import traceback

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


def skip(why):
    """Report the test skipped (CTest's SKIP_RETURN_CODE), saying why; or
    failed, where a check before it failed, or where nothing may be
    skipped (SIGDEMOS_NO_SKIP, as in CI)."""
    print(why)
    if failures:
        finish()
    if os.environ.get("SIGDEMOS_NO_SKIP"):
        print("FAIL SIGDEMOS_NO_SKIP is set")
        sys.exit(1)
    sys.exit(77)


class NotHere(Exception):
    """A case that this machine cannot check, and why."""


class Failed(Exception):
    """A case's check that stops it, said in its message alone."""


def run_cases(cases, ready=lambda name: None):
    """Runs each (name, case) in turn, the rest going on past one that
    fails: ok, FAIL or skip for each, then N passed, N failed, and the
    exit.  ready(name), before each, may give why the rest cannot run
    here: the whole test is then skipped (failed, where a case failed)."""
    global failures
    passed, failed, skipped = [], [], []

    def tally():
        print(f"{len(passed)} passed, {len(failed)} failed" + (f", {len(skipped)} skipped" if skipped else "")
              + "".join(f"\n{what}: {' '.join(names)}" for what, names in (("failed", failed), ("skipped", skipped))
                        if names), flush=True)
    for name, case in cases:
        why = ready(name)
        if why:
            if passed or failed or skipped:
                tally()
            skip(why)
        before, start = failures, time.monotonic()
        why = stopped = None
        try:
            case()
        except NotHere as e:
            why = str(e)
        except Failed as e:
            failures += 1
            stopped = str(e)
        except Exception as e:  # noqa: BLE001 (any fault of the case's, told with where it was)
            failures += 1
            stopped = f"stopped by {type(e).__name__}: {e}"
            print("".join("    " + line for line in traceback.format_exc().splitlines(True)), end="")
        took = f"({time.monotonic() - start:.1f} s)"
        if failures > before:
            failed.append(name)
            print(f"FAIL {name}: {stopped or f'{failures - before} check(s) failed'} {took}", flush=True)
        elif why:
            skipped.append(name)
            print(f"skip {name}: {why}", flush=True)
        else:
            passed.append(name)
            print(f"ok   {name} {took}", flush=True)
    tally()
    sys.exit(1 if failed else 0)


def compiled(folder, name, source):
    """A small C program of a test's own, built in folder, that anyone may
    run; None where no C compiler is found."""
    compiler = next(filter(None, map(shutil.which, ("cc", "gcc", "clang"))), None)
    if not compiler:
        return None
    with open(f"{folder}/{name}.c", "w") as f:
        f.write(source)
    subprocess.run([compiler, "-O2", "-o", f"{folder}/{name}", f"{folder}/{name}.c"], check=True)
    for path in (folder, f"{folder}/{name}"):
        os.chmod(path, 0o755)
    return f"{folder}/{name}"


def machine(path):
    """The ELF machine a program is built for."""
    with open(path, "rb") as f:
        head = f.read(20)
    return head[18:20] if head[5] == 1 else head[19:17:-1]

# SPDX-License-Identifier: ISC
"""jumpback: the five lines and status 0; a failed write reported."""
import os
import subprocess
import sys

from harness import ENV, expect, finish

prog = sys.argv[1]
LINES = (b"kez_func, loc_var = 80loc_volatile = 81loc_register = 82\n" * 3
         + b"after longjmp, loc_var = 10loc_volatile = 11loc_register = 12\n"
         + b"ret_val : 1\n")


def run(stdout=subprocess.PIPE, **kw):
    r = subprocess.run([prog], stdout=stdout, stderr=subprocess.PIPE, env=ENV, **kw)
    return r.returncode, r.stdout, r.stderr


expect("normal run", run(), (0, LINES, b""))
with open("/dev/full", "wb") as full:
    expect("full device", run(stdout=full), (1, None, b"write error\n"))
expect("closed stdout", run(stdout=None, preexec_fn=lambda: os.close(1)), (1, None, b"write error\n"))
finish()

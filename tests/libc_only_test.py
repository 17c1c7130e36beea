# SPDX-License-Identifier: ISC
"""Each program needs nothing at run time but the C library."""
import os
import re
import subprocess
import sys

from harness import expect, finish


def readelf(*args):
    return subprocess.run(["readelf", "-W", *args], capture_output=True, text=True, check=True).stdout


for prog in sys.argv[1:]:
    needed = re.findall(r"\(NEEDED\).*\[(.*)\]", readelf("-d", prog))
    want = ["libc.so.6"]
    # Where the stack protector's guard lives in the dynamic loader (arm64
    # and armhf), the program names the loader as needed too.
    if re.search(r" UND +__stack_chk_guard\b", readelf("--dyn-syms", prog)):
        want.append(os.path.basename(re.search(r"interpreter: (.*)\]", readelf("-l", prog))[1]))
    expect(prog, sorted(needed), sorted(want))
finish()

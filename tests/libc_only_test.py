# SPDX-License-Identifier: ISC
"""Each program needs nothing at run time but the C library."""
import subprocess
import sys

from harness import expect, finish

for prog in sys.argv[1:]:
    dynamic = subprocess.run(["readelf", "-d", prog], capture_output=True, text=True, check=True).stdout
    needed = [line.split("[")[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line]
    expect(prog, needed, ["libc.so.6"])
finish()

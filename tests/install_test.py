# SPDX-License-Identifier: ISC
"""Installing puts each program and its manual page where they belong."""
import os
import subprocess
import sys
import tempfile

from harness import expect, finish

cmake, build, *programs = sys.argv[1:]
with tempfile.TemporaryDirectory() as prefix:
    subprocess.run([cmake, "--install", build, "--prefix", prefix], check=True, stdout=subprocess.DEVNULL)
    for prog in programs:
        expect(f"{prog} runnable", os.access(f"{prefix}/bin/{prog}", os.X_OK), True)
        page = f"{prefix}/share/man/man1/{prog}.1"
        lint = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True, text=True)
        expect(f"{prog}.1 renders without warnings", (lint.returncode, lint.stderr), (0, ""))
finish()

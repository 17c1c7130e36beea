# SPDX-License-Identifier: ISC
"""capture.py terminal|pipe COMMAND...: runs COMMAND with its standard
output (and, on a terminal, its standard error) on a pseudo-terminal or
into a pipe, then writes what arrived there and exits with its status as
a shell gives it: 128 + N when signal N ended it.  Everything that any of
its processes writes is kept, until the last of them has closed the
terminal or the pipe.  Unlike a shell's pipeline, it says nothing of its
own when the command is killed."""
import os
import pty
import subprocess
import sys

mode, *command = sys.argv[1:]
if mode == "terminal":
    reader, writer = pty.openpty()
    child = subprocess.Popen(command, stdout=writer, stderr=writer)
else:
    reader, writer = os.pipe()
    child = subprocess.Popen(command, stdout=writer)
os.close(writer)
seen = b""
while True:
    try:
        chunk = os.read(reader, 65536)
    except OSError:  # EIO: no process has the terminal open any more
        break
    if not chunk:
        break
    seen += chunk
status = child.wait()
sys.stdout.buffer.write(seen)
sys.exit(128 - status if status < 0 else status)

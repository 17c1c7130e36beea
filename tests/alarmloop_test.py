# SPDX-License-Identifier: ISC
"""alarmloop: four lines about a second apart, whatever the mask or outside signals."""
import os
import pty
import resource
import signal
import subprocess
import sys
import time

from harness import ENV, expect, finish

prog = sys.argv[1]
LINES = b"alarm 0\nalarm 1\nalarm 2\nalarm 3\n"

# A run that falls into main's busy loop would never end: the CPU limit,
# which every child inherits, ends it instead.
resource.setrlimit(resource.RLIMIT_CPU, (20, 20))

# Runs that only need waiting for go side by side.  The second starts with
# SIGALRM (and another signal) blocked, as a parent may leave it.
start = time.monotonic()
piped = subprocess.Popen([prog], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV, bufsize=0)
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM, signal.SIGUSR2})
blocked = subprocess.Popen([prog], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGALRM, signal.SIGUSR2})
with open("/dev/full", "wb") as full:
    unwritten = subprocess.Popen([prog], stdout=full, stderr=subprocess.PIPE, env=ENV)

# Into a pipe stdout is fully buffered: nothing comes before the end, and
# the end comes after four one-second sleeps.
first = piped.stdout.read(1)
waited = time.monotonic() - start
out, err = piped.communicate()
expect("pipe", (piped.returncode, first + out, err), (0, LINES, b""))
expect("pipe: first byte after about 4 s", 3.9 <= waited <= 30, True)
expect("started with SIGALRM blocked", blocked.communicate() + (blocked.returncode,), (LINES, b"", 0))
expect("full device", (unwritten.communicate()[1], unwritten.returncode), (b"write error\n", 1))

# On a terminal every line shows as it is printed.  SIGALRM sent from
# outside while a run is in progress merges with the pending one.
master, slave = pty.openpty()
tty = subprocess.Popen([prog], stdout=slave, stderr=subprocess.PIPE, env=ENV)
os.close(slave)
seen = b""
while b"\n" not in seen:
    seen += os.read(master, 100)
first_line = time.monotonic()
for _ in range(3):
    tty.send_signal(signal.SIGALRM)
    time.sleep(0.3)
while True:
    try:
        chunk = os.read(master, 100)
    except OSError:  # EIO: the program has closed the terminal
        break
    seen += chunk
expect("terminal", (seen, tty.wait(), tty.stderr.read()), (LINES.replace(b"\n", b"\r\n"), 0, b""))
expect("terminal: lines spread over seconds", time.monotonic() - first_line >= 2, True)
finish()

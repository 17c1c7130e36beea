# SPDX-License-Identifier: ISC
"""pendfork: the parent's line, both exit statuses, a refused fork, bad stdout."""
import ctypes
import os
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile

from harness import ENV, expect, finish

prog = sys.argv[1]
LINE = b"parent : SIGUSR1 pending"

# The parent does not wait for its child; as a subreaper we inherit the
# orphan and can read how it ended.
PR_SET_CHILD_SUBREAPER = 36
libc = ctypes.CDLL(None, use_errno=True)
libc.prctl(PR_SET_CHILD_SUBREAPER, 1)


def run(argv=(prog,), preexec=None, stdout=subprocess.PIPE):
    r = subprocess.run(argv, stdout=stdout, stderr=subprocess.PIPE, env=ENV, preexec_fn=preexec)
    try:
        child = os.waitstatus_to_exitcode(os.waitpid(-1, 0)[1])
    except ChildProcessError:
        child = None
    return r.returncode, r.stdout, r.stderr, child


for i in range(20):
    expect(f"normal run {i}", run(), (0, LINE, b"", 0))


def inherited_mask():
    # Other signals blocked, and SIGUSR1 already pending across exec.
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1, signal.SIGUSR2, signal.SIGTERM})
    os.kill(os.getpid(), signal.SIGUSR1)


expect("inherited mask", run(preexec=inherited_mask), (0, LINE, b"", 0))

with open("/dev/full", "wb") as full:
    expect("full device", run(stdout=full), (1, None, b"write error\n", 0))
expect("closed stdout", run(preexec=lambda: os.close(1), stdout=None),
       (1, None, b"write error\n", 0))


CLONE_NEWUSER = 0x10000000


# Root is exempt from RLIMIT_NPROC, so it drops to a user that owns no
# other process: one of its own, so that test runs going on side by side
# (builds for several releases at once) do not count each other's.
NOBODY = random.SystemRandom().randrange(20000, 60000)


def processes_only(limit):
    def limited():
        # Anyone but root moves into a user namespace of their own, where
        # this is the only process counted; where that is refused (in a
        # chroot) every process of the user counts, and there are more
        # than the limit.
        if os.getuid() == 0:
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)
        else:
            libc.unshare(CLONE_NEWUSER)
        resource.setrlimit(resource.RLIMIT_NPROC, (limit, limit))
    return limited


with tempfile.TemporaryDirectory() as tmp:
    os.chmod(tmp, 0o755)  # the unprivileged user must reach the copy
    copy = shutil.copy(prog, tmp)
    # A program of another architecture runs under an emulator, which
    # starts a thread of its own before the program does (qemu-user); with
    # no room for it the emulator dies saying so, and gets one more.
    for limit in range(1, 5):
        refused = run((copy,), preexec=processes_only(limit))
        if not (refused[0] < 0 and refused[2].startswith(b"qemu: ")):
            break
    expect("refused fork", refused, (1, b"", b"fork error\n", None))

finish()

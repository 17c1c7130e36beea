# SPDX-License-Identifier: ISC
"""sigtrace: the kernel's account of each program, checked against what
the program is said to do, and against look-alikes that print the same
bytes at the same pace by other means; and its refusals."""
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from harness import ENV, expect, finish, machine, skip

sigtrace, pendfork, jumpback, alarmloop = sys.argv[1:]
ENV = dict(ENV, PATH="/usr/sbin:/usr/bin:/sbin:/bin")

def run(argv, user=None, env=ENV, wait=True, **kw):
    def as_user():
        os.setgroups([])
        os.setgid(user)
        os.setuid(user)
    p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                         preexec_fn=as_user if user else None, **kw)
    return finished(p) if wait else p


def finished(p):
    out, err = p.communicate()
    return p.returncode, out, err.decode()


def documented(prog):
    """The accounts of prog that the README and prog's manual page show:
    each line of each, with numbers and the program's path left out."""
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    blocks = []
    for page, pattern in (("README.md", r"```console\n(.*?)```"), (f"{prog}/{prog}.1", r"\.EX\n(.*?)\.EE")):
        try:
            with open(os.path.join(top, page)) as f:
                text = f.read()
        except FileNotFoundError:
            continue
        for block in re.findall(pattern, text.replace("\\-", "-"), re.S):
            command = block.split("\n")[0]
            if re.match(rf"\$ sudo \S*sigtrace \S*\b{prog}\b", command) and "what the kernel did" in block:
                blocks.append((page, normal(block.split("sigtrace: what the kernel did")[1])))
    return blocks


def normal(account):
    return {re.sub(r"\d+", "N", " ".join(line.split())) for line in account.splitlines()[1:]
            if line.strip() and "SIGCHLD" not in line}


def check_documented(prog, err, leave_out=None):
    account = err.split("sigtrace: what the kernel did")[1]
    if leave_out:
        account = "\n".join(line for line in account.splitlines() if not line.endswith(leave_out))
    real = normal(account)
    shown = documented(prog)
    for page, lines in shown:
        expect(f"{prog}: the account that {page} shows", sorted(lines), sorted(real))
    return shown


# Refusals, each one line and a status as the shell would give them.
with tempfile.NamedTemporaryFile() as text:
    os.chmod(text.name, 0o644)
    for prog, status, says in (("./no-such-program", 127, "No such file or directory"),
                               (text.name, 126, "Permission denied")):
        expect(f"refused {prog}", run([sigtrace, prog]),
               (status, b"", f"sigtrace: {prog}: {says}\n"))

start = time.monotonic()
if os.getuid() == 0:
    # Another user, who must reach copies of both.
    with tempfile.TemporaryDirectory() as tmp:
        os.chmod(tmp, 0o755)
        stranger = random.SystemRandom().randrange(20000, 60000)
        refused = run([shutil.copy(sigtrace, tmp), shutil.copy(jumpback, tmp)], user=stranger)
else:
    refused = run([sigtrace, jumpback])
expect("not root: at once", time.monotonic() - start < 2, True)
expect("not root", (refused[0], refused[1], re.fullmatch(r"sigtrace: .*root: sudo sigtrace \S+\n", refused[2]) is not None),
       (1, b"", True))

if os.getuid() != 0:
    skip("not root: sigtrace needs root to reach the kernel's tracepoints")
expect("no bpftrace", run([sigtrace, jumpback], env=dict(ENV, PATH="/nonexistent")),
       (1, b"", "sigtrace: bpftrace is not installed: sudo apt install bpftrace\n"))
if subprocess.run(["sh", "-c", "command -v bpftrace"], stdout=subprocess.DEVNULL, env=ENV).returncode:
    skip("bpftrace is not installed")
if machine(alarmloop) != machine(sys.executable):
    skip("the programs run through an emulator, whose own signals the kernel would report")


def can(*argv):
    """Whether this machine lets us do that (a chroot may not)."""
    if subprocess.run([*argv, "true"], stderr=subprocess.DEVNULL).returncode == 0:
        return True
    print(f"not checked here: {' '.join(argv)} is refused")
    return False


# Root in a user namespace of its own may not load a tracer.
if can("unshare", "-r"):
    userns = run(["unshare", "-r", sigtrace, jumpback])
    if userns[0] != 1 or userns[1] or not re.fullmatch(r"sigtrace: [^\n]*\n", userns[2]):
        expect("root of a user namespace", userns, (1, b"", "one line"))

# jumpback first, where possible in a mount namespace without tracefs,
# which sigtrace must mount itself: its jump is invisible to the kernel.
nomount = "mountpoint -q /sys/kernel/tracing && umount /sys/kernel/tracing; exec \"$0\" \"$@\""
if can("unshare", "--mount"):
    status, out, err = run(["unshare", "--mount", "sh", "-c", nomount, sigtrace, jumpback])
else:
    status, out, err = run([sigtrace, jumpback])
if "cannot be reached" in err or "could not trace" in err or "namespace" in err:
    skip(err.strip())


def account(err, case):
    """The events and the summary, after a heading and nothing before it."""
    head, _, rest = err.partition("sigtrace: what the kernel did with the signals of ")
    expect(f"{case}: nothing but the account on stderr", head, "")
    events, _, summary = rest.partition("\nsummary:\n")
    return events.splitlines()[2:], summary


events, summary = account(err, "jumpback")
check_documented("jumpback", err)
expect("jumpback", (status, out.count(b"\n"), [e for e in events if " SIG" in e]), (0, 5, []))

# alarmloop, with a SIGALRM from outside; and its look-alike.
LINES = b"alarm 0\nalarm 1\nalarm 2\nalarm 3\n"
ALARM_DRIVEN = """
import signal, sys, time
count = 0
def handler(signo, frame):
    global count
    print(f"alarm {count}")
    count += 1
    if count > 3:
        signal.setitimer(signal.ITIMER_REAL, 0)
        time.sleep(1)
        sys.exit(0)
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.001, 1)
while True:
    signal.pause()
"""
NO_SIGNAL = """
import os, sys
if os.fork():
    sys.stdout.write("parent : SIGUSR1 pending")
"""


def alarmloop_account(events):
    """What is wrong with the account of a run of alarmloop."""
    wrong = []
    deliveries = [e for e in events if "SIGALRM  delivered" in e]
    if len(deliveries) != 4 or not all(e.endswith("sent by itself") for e in deliveries):
        wrong.append(f"deliveries, not four sent by itself: {deliveries}")
    if len({e.split()[1:3] == ["process", events[0].split()[2]] for e in events}) != 1:
        wrong.append(f"not one process from start to end: {events}")
    timer = [e for e in events if "from the kernel's timer" in e]
    if not timer or not all(" merged " in e for e in timer):
        wrong.append(f"the timer's signals, not all merged: {timer}")
    return wrong


def pendfork_account(events):
    wrong = []
    usr1 = [e for e in events if "SIGUSR1" in e and "exits with" not in e]
    if len(usr1) != 1 or not re.match(r" *\d+  parent \d+ +SIGUSR1  pending    from itself$", usr1[0]):
        wrong.append(f"SIGUSR1 not sent once to the parent by itself and left pending: {usr1}")
    # Told that its child ended, if that came first, the parent ignores it.
    sigchld = [e for e in events if "SIGCHLD" in e]
    if not all(re.search(r"parent \d+ +SIGCHLD  ignored    from the kernel: child \d+ ended$", e) for e in sigchld):
        wrong.append(f"SIGCHLD not ignored: {sigchld}")
    ends = {e.split()[1]: e for e in events if "exits with" in e}
    if not ends.get("parent", "").endswith("still pending: SIGUSR1; blocked: SIGUSR1"):
        wrong.append(f"the parent did not end with SIGUSR1 pending: {ends}")
    if not ends.get("child", "").endswith("still pending: none; blocked: SIGUSR1"):
        wrong.append(f"the child did not end with nothing pending: {ends}")
    return wrong


with tempfile.TemporaryDirectory() as tmp:
    for name, text in (("alarm_driven.py", ALARM_DRIVEN), ("no_signal.py", NO_SIGNAL)):
        with open(f"{tmp}/{name}", "w") as f:
            f.write(text)
    real = run([sigtrace, alarmloop], wait=False)
    start = time.monotonic()
    lookalike = run([sigtrace, sys.executable, f"{tmp}/alarm_driven.py"], wait=False)

    # Another process sends SIGALRM while a run is in progress.
    target = None
    while target is None and time.monotonic() - start < 20:
        time.sleep(0.05)
        for proc in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{proc}/stat") as f:
                    stat = f.read()
            except (FileNotFoundError, ProcessLookupError):  # gone meanwhile
                continue
            if "(alarmloop)" in stat and int(stat.rsplit(")", 1)[1].split()[1]) == real.pid:
                target = int(proc)
    time.sleep(1.5)
    os.kill(target, signal.SIGALRM)

    status, out, err = finished(real)
    events, summary = account(err, "alarmloop")
    expect("alarmloop", (status, out), (0, LINES))
    expect("alarmloop's account", alarmloop_account(events), [])
    expect("alarmloop: the SIGALRM from outside, merged and named",
           [e.split("from ")[1] for e in events if " merged " in e and "timer" not in e],
           [f"{os.path.basename(sys.executable)} {os.getpid()}"])
    check_documented("alarmloop", err, leave_out=f" {os.getpid()}")
    expect("alarmloop's summary", re.search(r"SIGALRM: sent (\d+).* delivered 4\n.*still pending: SIGALRM", summary)
           is not None, True)

    status, out, err = finished(lookalike)
    expect("alarm-driven look-alike prints the same", (status, out, time.monotonic() - start > 3.9), (0, LINES, True))
    expect("alarm-driven look-alike fails the check", alarmloop_account(account(err, "look-alike")[0]) != [], True)

    # pendfork, and a look-alike that sends nothing.
    status, out, err = run([sigtrace, pendfork])
    expect("pendfork", (status, out), (0, b"parent : SIGUSR1 pending"))
    expect("pendfork's account", pendfork_account(account(err, "pendfork")[0]), [])
    check_documented("pendfork", err)
    status, out, err = run([sigtrace, sys.executable, f"{tmp}/no_signal.py"])
    expect("silent look-alike prints the same", (status, out), (0, b"parent : SIGUSR1 pending"))
    expect("silent look-alike fails the check", pendfork_account(account(err, "look-alike")[0]) != [], True)

# A program's end by a signal is its status, as a shell gives it, and
# bash says nothing of it.
status, out, err = run([sigtrace, "sh", "-c", "sleep 0.2; kill -ALRM $$"])
expect("killed", (status, account(err, "killed")[0][-1].endswith("killed by SIGALRM; still pending: SIGALRM; blocked: none")),
       (128 + signal.SIGALRM, True))
finish()

# SPDX-License-Identifier: ISC
"""sigtrace: the kernel's account of each program, checked against what
the program is said to do, and against look-alikes that print the same
bytes at the same pace by other means; that it speaks while the program
runs and loses nothing in silence; a lab's copy that members of a group
run without root; and its refusals.

    sigtrace_test.py SIGTRACE PENDFORK JUMPBACK ALARMLOOP [--case NAME ...]

runs the named cases, or with none every one, each on its own: one that
fails says so and why, and the rest still run.  The whole test is
skipped (77), saying why, where a case chosen needs what this machine
cannot give: programs built for it, root, a tracer that loads."""
import argparse
import contextlib
import functools
import os
import pty
import json
import random
import re
import resource
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

import harness
from harness import ENV, NotHere, expect, machine, run_cases, skip

parser = argparse.ArgumentParser(description="sigtrace's account of each program, case by case")
for program in ("sigtrace", "pendfork", "jumpback", "alarmloop"):
    parser.add_argument(program, metavar=program.upper())
parser.add_argument("--case", action="extend", nargs="+", default=[], metavar="NAME",
                    help="run only the cases named, in this script's order; with none, all")
options = parser.parse_args()
# Absolute, as the cases run programs from folders of their own.
sigtrace, pendfork, jumpback, alarmloop = (os.path.abspath(p) if os.path.exists(p) else p for p in
                                           (options.sigtrace, options.pendfork, options.jumpback, options.alarmloop))
if sigtrace == "not-built":
    skip("sigtrace is not built: it needs clang, bpftool and libbpf (apt-get install clang bpftool libbpf-dev pkgconf)")
ENV = dict(ENV, PATH="/usr/sbin:/usr/bin:/sbin:/bin")
STRANGER = random.SystemRandom().randrange(20000, 60000)


def run(argv, user=None, groups=(), env=ENV, wait=True, **kw):
    def as_user():
        os.setgroups(list(groups))
        os.setgid(user)
        os.setuid(user)
    p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                         preexec_fn=as_user if user else None, **kw)
    return finished(p) if wait else p


def finished(p):
    out, err = p.communicate()
    return p.returncode, out, err.decode()


@contextlib.contextmanager
def reaped(p, group=False):
    """p, killed (with its process group, where it leads one) if a case
    stops before it ends, so that nothing of one case outlives it."""
    try:
        yield p
    finally:
        if p.poll() is None:
            try:
                (os.killpg if group else os.kill)(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            p.wait()


def can(*argv):
    """Whether this machine lets us do that (a chroot may not)."""
    return subprocess.run([*argv, "true"], stderr=subprocess.DEVNULL).returncode == 0


# What each case needs, each more than the one before: sigtrace built;
# programs built for this machine (an emulator's own signals, and its
# system calls, are not the program's); root; a tracer that loads.
BUILT, NATIVE, ROOT, TRACING = range(4)


@functools.cache
def jumpback_run():
    """jumpback, where possible in a mount namespace without tracefs,
    which sigtrace does not need: its jump is invisible to the kernel.
    Whether it runs tells whether sigtrace can trace here at all."""
    nomount = "mountpoint -q /sys/kernel/tracing && umount /sys/kernel/tracing; exec \"$0\" \"$@\""
    if can("unshare", "--mount"):
        return run(["unshare", "--mount", "sh", "-c", nomount, sigtrace, jumpback])
    print("not checked here: unshare --mount is refused")
    return run([sigtrace, jumpback])


def why_not(level):
    """Why this machine cannot give what level needs beyond the level
    below it, or None."""
    if level == NATIVE and machine(alarmloop) != machine(sys.executable):
        return ("the programs are built for another machine: an emulator's own signals, and its system calls, "
                "are not the program's")
    if level == ROOT and os.getuid() != 0:
        return "not root: sigtrace needs root, or a copy with CAP_BPF and CAP_PERFMON, to load its tracer"
    if level == TRACING:
        status, out, err = jumpback_run()
        if status == 1 and err.count("\n") == 1:
            return err.strip()
    return None


CASES = {}


def given(level):
    """Registers a case, by its function's name, needing level."""
    def register(test):
        CASES[test.__name__] = (level, test)
        return test
    return register


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
            if re.match(rf"\$ (sudo )?\S*sigtrace (-o \S+ )?\S*\b{prog}\b", command) and "what the kernel did" in block:
                blocks.append((page, normal(block.split("sigtrace: what the kernel did")[1])))
    return blocks


def normal(account):
    return {re.sub(r"\d+", "N", " ".join(line.split())) for line in account.splitlines()[1:]
            if line.strip() and "SIGCHLD" not in line and "$ " not in line}


def check_documented(prog, out, err, leave_out=None):
    """The pages show the account as a terminal does, with the program's
    own lines among it."""
    account = err.split("sigtrace: what the kernel did")[1]
    if leave_out:
        account = "\n".join(line for line in account.splitlines() if not line.endswith(leave_out))
    real = normal(account)
    output = normal("\n" + out.decode())
    shown = documented(prog)
    # Where the C library blocks every signal inside fork, as Debian 13's
    # does, the account has masks of its own that the pages leave out.
    libc = {line for line in real if " blocks " in line}
    for page, lines in shown:
        expect(f"{prog}: the account that {page} shows", sorted((lines - output) | libc), sorted(real | libc))
    return shown


@given(BUILT)
def refused():
    """Refusals, each one line and a status as the shell would give them."""
    with tempfile.NamedTemporaryFile() as text:
        os.chmod(text.name, 0o644)
        for prog, status, says in (("./no-such-program", 127, "No such file or directory"),
                                   (text.name, 126, "Permission denied")):
            expect(f"refused {prog}", run([sigtrace, prog]),
                   (status, b"", f"sigtrace: {prog}: {says}\n"))


@given(NATIVE)
def not_root():
    start = time.monotonic()
    if os.getuid() == 0:
        # Another user, who must reach copies of both.
        with tempfile.TemporaryDirectory() as tmp:
            os.chmod(tmp, 0o755)
            refused = run([shutil.copy(sigtrace, tmp), shutil.copy(jumpback, tmp)], user=STRANGER)
    else:
        refused = run([sigtrace, jumpback])
    expect("not root: at once", time.monotonic() - start < 2, True)
    expect("not root", (refused[0], refused[1], re.fullmatch(r"sigtrace: .*root.*: sudo sigtrace \S+\n", refused[2]) is not None),
           (1, b"", True))


@given(ROOT)
def userns():
    """Root in a user namespace of its own may not load a tracer."""
    if not can("unshare", "-r"):
        raise NotHere("unshare -r is refused here")
    userns = run(["unshare", "-r", sigtrace, jumpback])
    if userns[0] != 1 or userns[1] or not re.fullmatch(r"sigtrace: [^\n]*\n", userns[2]):
        expect("root of a user namespace", userns, (1, b"", "one line"))


def account(err, case):
    """The events and the summary, after a heading and nothing before it."""
    head, _, rest = err.partition("sigtrace: what the kernel did with the signals of ")
    expect(f"{case}: nothing but the account on stderr", head, "")
    events, _, summary = rest.partition("\nsummary:\n")
    events = events.splitlines()[2:]
    expect(f"{case}: every event at a time from 0 on, and a process",
           [e for e in events if not re.match(r" *\d+  (process|child) \d+ ", e)], [])
    return events, summary


@given(TRACING)
def jumpback_account():
    status, out, err = jumpback_run()
    events, summary = account(err, "jumpback")
    check_documented("jumpback", out, err)
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


def alarmloop_wrong(events):
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


def pendfork_wrong(events):
    """What is wrong with the account of a run of pendfork."""
    wrong = []
    usr1 = [e for e in events if " SIGUSR1  " in e]
    if len(usr1) != 1 or not re.match(r" *\d+  process \d+ +SIGUSR1  pending    from itself$", usr1[0]):
        wrong.append(f"SIGUSR1 not sent once to the parent by itself and left pending: {usr1}")
    # Told that its child ended, if that came first, the parent ignores it;
    # or, where the C library blocks every signal inside fork, the kernel
    # keeps it pending until fork returns, and its default action
    # discards it then; or, the parent already ending, the kernel drops it.
    sigchld = "\n".join(e.split(None, 3)[3] for e in events if "SIGCHLD" in e)
    ended = r"the kernel: child \d+ ended"
    if sigchld and not re.fullmatch(rf"SIGCHLD  ignored    from {ended}", sigchld) and not re.fullmatch(
            rf"SIGCHLD  pending    from {ended}\nSIGCHLD  delivered  to its default action, which ignores it, sent by {ended}",
            sigchld) and not re.fullmatch(rf"SIGCHLD  dropped    from {ended}, the process already ending", sigchld):
        wrong.append(f"SIGCHLD neither ignored nor discarded: {sigchld}")
    ends = {e.split()[1]: e for e in events if "exits with" in e}
    if not ends.get("process", "").endswith("still pending: SIGUSR1; blocked: SIGUSR1"):
        wrong.append(f"the parent did not end with SIGUSR1 pending: {ends}")
    if not ends.get("child", "").endswith("still pending: none; blocked: SIGUSR1"):
        wrong.append(f"the child did not end with nothing pending: {ends}")
    return wrong


def picture(path):
    """What a picture holds, without times and ids: its lanes, and each
    mark's kind and title.  Whether the parent hears of its child's end
    depends on which ends first, so SIGCHLD is left out; an alarm may
    fall due a run later on a busy machine, so the timer's merges count
    once; a mask that the program or its C library sets is left to the
    account."""
    svg = "{http://www.w3.org/2000/svg}"
    tree = ET.parse(path)
    plain = lambda text: " ".join(re.sub(r"\d+(\.\d+)?", "N", text).split())
    lanes = [plain(t.text) for t in tree.iter(f"{svg}text") if t.get("class") == "name"]
    marks = [(g.get("class"), plain(g.find(f"{svg}title").text)) for g in tree.iter(f"{svg}g")
             if (g.get("class") or "").startswith("mark ")]
    timer = {m for m in marks if "timer" in m[1]}
    # As in the pages, a mask that the C library sets is its own.
    libc = {m for m in marks if m[0] == "mark blocked" and " blocks " in m[1]}
    return lanes, sorted(m for m in marks if "SIGCHLD" not in m[1] and m not in timer | libc) + sorted(timer)


def check_picture(prog, drawn):
    committed = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", f"{prog}.svg")
    expect(f"{prog}: the picture in docs/ is the run's (scripts/pictures.sh redraws it)",
           picture(drawn), picture(committed))


@given(TRACING)
def terminal():
    """The account as the kernel acts: on a terminal, alarmloop's first
    delivery shows before its second line, a second later.  (The terminal
    holds what it says until it is read.)"""
    main, secondary = pty.openpty()
    live = subprocess.Popen([sigtrace, alarmloop], stdin=secondary, stdout=secondary, stderr=secondary, env=ENV)
    os.close(secondary)
    with reaped(live):
        said = b""
        while True:
            try:
                chunk = os.read(main, 4096) if select.select([main], [], [], 30)[0] else b""
            except OSError:  # the terminal closes with its last writer
                chunk = b""
            if not chunk:
                break
            said += chunk
        os.close(main)
        live.wait()
    said = said.decode().replace("\r\n", "\n")
    first = re.search(r"SIGALRM  delivered", said)
    expect("live: the first delivery before alarm 1", (live.returncode, first is not None and first.start() < said.find("alarm 1\n")),
           (0, True))


@given(TRACING)
def alarmloop_account():
    """alarmloop, with a SIGALRM from outside, its picture; and its
    look-alike driven by its alarms, beside it."""
    with tempfile.TemporaryDirectory() as tmp, contextlib.ExitStack() as running:
        with open(f"{tmp}/alarm_driven.py", "w") as f:
            f.write(ALARM_DRIVEN)
        real = running.enter_context(reaped(run([sigtrace, alarmloop], wait=False)))
        start = time.monotonic()
        lookalike = running.enter_context(reaped(run(
            [sigtrace, "--svg", f"{tmp}/alarm_driven.svg", sys.executable, f"{tmp}/alarm_driven.py"], wait=False)))
        drawn = running.enter_context(reaped(run([sigtrace, "-o", "/dev/null", "--svg", f"{tmp}/alarmloop.svg", alarmloop],
                                                 wait=False)))

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
        expect("alarmloop: seen running under sigtrace", target is not None, True)
        time.sleep(1.5)
        if target is not None:
            os.kill(target, signal.SIGALRM)

        status, out, err = finished(real)
        events, summary = account(err, "alarmloop")
        expect("alarmloop", (status, out), (0, LINES))
        expect("alarmloop's account", alarmloop_wrong(events), [])
        expect("alarmloop: the SIGALRM from outside, merged and named",
               [e.split("from ")[1] for e in events if " merged " in e and "timer" not in e],
               [f"{os.path.basename(sys.executable)} {os.getpid()}"])
        check_documented("alarmloop", out, err, leave_out=f" {os.getpid()}")
        expect("alarmloop's summary", re.search(r"SIGALRM: sent (\d+).* delivered 4\n.*still pending: SIGALRM", summary)
               is not None, True)

        status, out, err = finished(lookalike)
        expect("alarm-driven look-alike prints the same", (status, out, time.monotonic() - start > 3.9), (0, LINES, True))
        expect("alarm-driven look-alike fails the check", alarmloop_wrong(account(err, "look-alike")[0]) != [], True)
        expect("alarmloop drawn", finished(drawn)[:2], (0, LINES))
        check_picture("alarmloop", f"{tmp}/alarmloop.svg")
        expect("alarm-driven look-alike drawn otherwise",
               picture(f"{tmp}/alarm_driven.svg")[1] != picture(f"{tmp}/alarmloop.svg")[1], True)


@given(TRACING)
def pendfork_account():
    """pendfork, its picture; and a look-alike that sends nothing."""
    with tempfile.TemporaryDirectory() as tmp:
        with open(f"{tmp}/no_signal.py", "w") as f:
            f.write(NO_SIGNAL)
        status, out, err = run([sigtrace, "--svg", f"{tmp}/pendfork.svg", pendfork])
        expect("pendfork", (status, out), (0, b"parent : SIGUSR1 pending"))
        check_picture("pendfork", f"{tmp}/pendfork.svg")
        expect("pendfork's account", pendfork_wrong(account(err, "pendfork")[0]), [])
        check_documented("pendfork", out, err)
        status, out, err = run([sigtrace, "--svg", f"{tmp}/no_signal.svg", sys.executable, f"{tmp}/no_signal.py"])
        expect("silent look-alike prints the same", (status, out), (0, b"parent : SIGUSR1 pending"))
        expect("silent look-alike drawn otherwise",
               picture(f"{tmp}/no_signal.svg")[1] != picture(f"{tmp}/pendfork.svg")[1], True)
        expect("silent look-alike fails the check", pendfork_wrong(account(err, "look-alike")[0]) != [], True)


@given(TRACING)
def redrawn():
    """A run's JSON account, drawn again with no privilege, gives the same
    picture, byte for byte, and the same lines."""
    with tempfile.TemporaryDirectory() as tmp:
        status, out, err = run([sigtrace, "--json", "-o", f"{tmp}/run.json", "--svg", f"{tmp}/live.svg", pendfork])
        os.chmod(tmp, 0o711)
        os.mkdir(f"{tmp}/theirs", 0o777)
        os.chmod(f"{tmp}/theirs", 0o777)
        # A copy, which the stranger can reach wherever the build is.
        theirs = shutil.copy(sigtrace, f"{tmp}/theirs")
        with open(f"{tmp}/run.json") as account_in:
            again = run([theirs, "--from", "-", "--svg", f"{tmp}/theirs/again.svg"], user=STRANGER, stdin=account_in)
        with open(f"{tmp}/live.svg", "rb") as live_svg, open(f"{tmp}/theirs/again.svg", "rb") as again_svg:
            expect("drawn again from JSON, as a stranger: the same picture",
                   (status, again, live_svg.read() == again_svg.read()), (0, (0, b"", ""), True))


@given(TRACING)
def killed():
    """A program's end by a signal is sigtrace's too, as its caller sees
    it; the signal that ended it is delivered, not left pending."""
    status, out, err = run([sigtrace, "sh", "-c", "sleep 0.2; kill -ALRM $$"])
    expect("killed", (status, account(err, "killed")[0][-1].endswith("killed by SIGALRM; still pending: none; blocked: none")),
           (-signal.SIGALRM, True))


@given(TRACING)
def kernel_raised():
    """What the kernel raised on a process's behalf is not the process's
    own doing: a write to a pipe with no reader, past the file size limit."""
    with tempfile.TemporaryDirectory() as tmp:
        for case, argv, signo, why in (
                ("SIGPIPE", ["sh", "-c", "yes | head -n 1"], "SIGPIPE", "a write to a pipe or socket with no reader"),
                ("SIGXFSZ", ["sh", "-c", f"ulimit -f 0; echo x > {tmp}/big"], "SIGXFSZ", "a write past the file size limit")):
            status, out, err = run([sigtrace, *argv])
            raised = [e.split(f"{signo}  ")[1] for e in account(err, case)[0] if f" {signo}  " in e]
            expect(f"{case}: raised by the kernel", raised[:1], [f"pending    from the kernel: {why}"])


def json_account(path):
    """The JSON account's records, each checked to be an object with a
    type, a time that never goes back, and ids."""
    with open(path) as f:
        records = [json.loads(line) for line in f]
    times = [r["us"] for r in records]
    expect(f"{path}: the first record names the version", (records[0]["type"], records[0]["version"]), ("start", 1))
    expect(f"{path}: times never go back", times == sorted(times) and min(times) >= 0, True)
    expect(f"{path}: the summary last", records[-1]["type"], "summary")
    return records


def adds_up(summary):
    """Per process and signal: made pending = delivered + taken +
    discarded + still pending at the end (for a real-time signal, at most
    one queued instance shows in the end's set)."""
    wrong = []
    for proc in summary["processes"]:
        left = set((proc["end"] or {}).get("pending", [])) if isinstance(proc["end"], dict) else set()
        for name, n in proc["signals"].items():
            still = n["pending"] - n["delivered"] - n["taken"] - n["discarded"]
            if still < 0 or (still > 0) != (name in left) or (still > 1 and "RT" not in name):
                wrong.append((proc["pid"], name, n, sorted(left)))
    return wrong


FLOOD = ("import os, signal\nsignal.signal(signal.SIGUSR1, lambda *_: None)\n"
         "for _ in range(100000):\n    os.kill(os.getpid(), signal.SIGUSR1)\n")


@given(TRACING)
def flood():
    """A program that sends itself 100 000 signals: the summary counts
    every one, whatever the lines lost on the way, and says where they
    were lost."""
    with tempfile.TemporaryDirectory() as tmp:
        status, out, err = run([sigtrace, "--json", "-o", f"{tmp}/account", "--svg", f"{tmp}/flood.svg",
                                sys.executable, "-c", FLOOD])
        expect("100 000 signals: -o writes the account there", (status, out, err), (0, b"", ""))
        dense = [m for m in picture(f"{tmp}/flood.svg")[1] if m[0] == "mark dense"]
        expect("100 000 signals: a picture under a megabyte, the rest counted",
               (os.path.getsize(f"{tmp}/flood.svg") < 1 << 20, len(dense)), (True, 1))
        records = json_account(f"{tmp}/account")
        usr1 = [p["signals"].get("SIGUSR1") for p in records[-1]["processes"]]
        gaps = sum(r["count"] for r in records if r["type"] == "lost")
        expect("100 000 signals: every one counted", [(n["sent"], n["delivered"]) for n in usr1 if n], [(100000, 100000)])
        expect("100 000 signals: the gaps marked add up to the loss", gaps, records[-1]["lost"])
        expect("100 000 signals: the summary adds up", adds_up(records[-1]), [])
        print(f"100 000 signals: {records[-1]['lost']} events lost on the way")


@given(TRACING)
def lines_lost():
    """With nobody reading its lines until the program is done, the
    kernel's buffer fills and lines are lost: the summary's counts are
    exact all the same.  (Waited for by a file it makes last, not by a
    time: on a busy machine its 100 000 signals may take longer than any
    time.)"""
    with tempfile.TemporaryDirectory() as tmp:
        done = f"{tmp}/done"
        p = subprocess.Popen([sigtrace, "--json", sys.executable, "-c", FLOOD + f"open({done!r}, 'w').close()\n"],
                             env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        with reaped(p):
            deadline = time.monotonic() + 300
            while not os.path.exists(done) and p.poll() is None and time.monotonic() < deadline:
                time.sleep(0.1)
            records = [json.loads(line) for line in p.communicate()[1].splitlines()]
    usr1 = [q["signals"]["SIGUSR1"] for q in records[-1]["processes"] if "SIGUSR1" in q["signals"]]
    expect("lines lost: the counts exact all the same",
           (records[-1]["lost"] > 0, [(n["sent"], n["delivered"]) for n in usr1]), (True, [(100000, 100000)]))
    expect("lines lost: where, and how many", sum(r["count"] for r in records if r["type"] == "lost"),
           records[-1]["lost"])


FULL = """import ctypes, os, resource, signal
libc = ctypes.CDLL(None)
signal.signal(signal.SIGRTMIN, lambda *_: None)
signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGRTMIN})
resource.setrlimit(resource.RLIMIT_SIGPENDING, (100, 100))
for i in range(1000):
    libc.sigqueue(os.getpid(), signal.SIGRTMIN, ctypes.c_void_p(i))
for _ in range(3):
    os.kill(os.getpid(), signal.SIGRTMIN)
signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGRTMIN})
"""


@given(TRACING)
def full_queue():
    """A full real-time queue: sigqueue's signals past the limit are lost;
    kill's are made pending without their information, merging with the
    one pending.  Each delivered, nothing left, and a summary that adds
    up."""
    with tempfile.TemporaryDirectory() as tmp:
        status, out, err = run([sigtrace, "--json", "-o", f"{tmp}/account", sys.executable, "-c", FULL])
        records = json_account(f"{tmp}/account")
        kills = [r["what"] for r in records if r["type"] == "signal" and r["sig"] == "SIGRTMIN" and r.get("code") == "SI_USER"
                 and r["what"] != "delivered"]
        counts = [p["signals"]["SIGRTMIN"] for p in records[-1]["processes"] if "SIGRTMIN" in p["signals"]]
        expect("a full queue: kill's signals merge with the pending one", (status, kills), (0, ["merged"] * 3))
        expect("a full queue: every one sent counted, every one pending delivered",
               [(n["sent"], n["pending"] + n["lost"] + n["merged"], n["pending"] == n["delivered"], n["merged"])
                for n in counts], [(1003, 1003, True, 3)])
        expect("a full queue: the summary adds up", adds_up(records[-1]), [])


# Small programs that take, throw away, stop and die.
BLOCK = "import os, signal, sys, time\nsignal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})\n"
SIGNALFD = (BLOCK + "import ctypes\nlibc = ctypes.CDLL(None)\nmask = ctypes.create_string_buffer(128)\n"
            "libc.sigemptyset(mask); libc.sigaddset(mask, signal.SIGUSR1)\nfd = libc.signalfd(-1, mask, 0)\n"
            "os.kill(os.getpid(), signal.SIGUSR1)\nos.read(fd, 128)\n")
THREAD = (BLOCK + "import threading\nt = threading.Thread(target=signal.sigwait, args=({signal.SIGUSR1},))\n"
          "t.start()\ntime.sleep(0.1)\nos.kill(os.getpid(), signal.SIGUSR1)\nt.join()\n")
STOP = ("import os, signal, time\nif os.fork() == 0:\n    time.sleep(0.3)\n    os.kill(os.getppid(), signal.SIGCONT)\n"
        "    os._exit(0)\nos.kill(os.getpid(), signal.SIGSTOP)\nos.wait()\n")


def under_way(path):
    """The file that an account to path is written to until it is whole."""
    folder, name = os.path.split(path)
    found = [f for f in os.listdir(folder) if f.startswith(f".{name}.") and len(f) == len(name) + 8]
    return os.path.join(folder, found[0]) if len(found) == 1 else None


def started(path):
    """Waits until the account under way to path says that the program
    started; returns the file it is written to."""
    for _ in range(400):
        time.sleep(0.05)
        writing = under_way(path)
        try:
            with open(writing) as f:
                if " starts " in f.read():
                    return writing
        except (FileNotFoundError, TypeError):
            pass
    expect(f"{path}: the program started", False, True)
    return path


def fates(records):
    return [(r["what"], r["sig"], r.get("by") or r.get("action")) for r in records
            if r["type"] == "signal" and r["what"] in ("taken", "discarded", "delivered")]


@given(TRACING)
def dumpable():
    """Run by root, the program runs as root would: dumpable, and where the
    kernel writes cores into the working directory, it leaves its core
    there."""
    with open("/proc/sys/kernel/core_pattern") as f:
        pattern = f.read()
    in_place = "/" not in pattern and "|" not in pattern
    with tempfile.TemporaryDirectory() as tmp:
        code = ("import ctypes, os, resource\nresource.setrlimit(resource.RLIMIT_CORE, (-1, -1))\n"
                "print(ctypes.CDLL(None).prctl(3, 0, 0, 0, 0), flush=True)\nos.abort()\n")
        status, out, err = run([sigtrace, "--json", "-o", f"{tmp}/account", sys.executable, "-c", code], cwd=tmp)
        ends = [r for r in json_account(f"{tmp}/account") if r["type"] == "exit"]
        expect("run by root: the program is dumpable, and sigtrace dies as it did", (out, status), (b"1\n", -signal.SIGABRT))
        if in_place:
            expect("run by root: its core where it would be",
                   (ends[-1]["core"], any(name.startswith("core") for name in os.listdir(tmp))), (True, True))


@given(TRACING)
def fates_told():
    """Each fate as the kernel gave it, in JSON, and a summary that adds
    up."""
    core = resource.getrlimit(resource.RLIMIT_CORE)
    # No core of SIGSEGV's to clean up; the hard limit kept, as root here
    # may not raise it again.
    resource.setrlimit(resource.RLIMIT_CORE, (0, core[1]))
    try:
        with tempfile.TemporaryDirectory() as tmp:
            for case, code, killed, want in (
                    ("sigwait", BLOCK + "os.kill(os.getpid(), signal.SIGUSR1)\nsignal.sigwait({signal.SIGUSR1})\n", 0,
                     [("taken", "SIGUSR1", "rt_sigtimedwait")]),
                    ("signalfd", SIGNALFD, 0, [("taken", "SIGUSR1", "signalfd")]),
                    ("SIG_IGN", BLOCK + "os.kill(os.getpid(), signal.SIGUSR1)\nsignal.signal(signal.SIGUSR1, signal.SIG_IGN)\n",
                     0, [("discarded", "SIGUSR1", "sig_ign")]),
                    ("a thread", THREAD, 0, [("taken", "SIGUSR1", "rt_sigtimedwait")]),
                    ("stop", STOP, 0, [("delivered", "SIGSTOP", "stop")]),
                    ("SIGSEGV", "import ctypes\nctypes.string_at(0)\n", signal.SIGSEGV, [("delivered", "SIGSEGV", "core")]),
                    ("SIGTERM", "import os, signal\nos.kill(os.getpid(), signal.SIGTERM)\n", signal.SIGTERM,
                     [("delivered", "SIGTERM", "terminate")])):
                status, out, err = run([sigtrace, "--json", "-o", f"{tmp}/account", sys.executable, "-c", code], cwd=tmp)
                records = json_account(f"{tmp}/account")
                expect(f"{case}: ends as its program did", status, -killed)
                expect(f"{case}: its fate", [f for f in fates(records) if f[1] != "SIGCHLD"], want)
                expect(f"{case}: the summary adds up", adds_up(records[-1]), [])
                types = [r["type"] for r in records]
                if case == "a thread":
                    taken = [r for r in records if r.get("what") == "taken"][0]
                    expect("a thread: made, and taking what was sent to the process",
                           ("thread" in types, "fork" in types, taken["tid"] != taken["pid"]), (True, False, True))
                    expect("a thread: the process ends once", types.count("exit"), 1)
                if case == "stop":
                    expect("stop: stopped and continued", ("stop" in types, "continue" in types), (True, True))
                if case == "SIGTERM":
                    expect("SIGTERM: no SIGKILL of the kernel's own", [r for r in records if r.get("sig") == "SIGKILL"], [])
    finally:
        resource.setrlimit(resource.RLIMIT_CORE, core)


@given(TRACING)
def ctrl_z():
    """Ctrl-Z stops the job: the program, then sigtrace once the stop is
    in its account, so that the shell sees the job stopped; fg sets both
    going.  (A group of its own, in this session, as a shell makes one.)"""
    with tempfile.TemporaryDirectory() as tmp:
        p = subprocess.Popen([sigtrace, "-o", f"{tmp}/account", "sleep", "2"], env=ENV, process_group=0)
        with reaped(p, group=True):
            writing = started(f"{tmp}/account")
            os.killpg(p.pid, signal.SIGTSTP)
            _, status = os.waitpid(p.pid, os.WUNTRACED)
            with open(writing) as f:
                said = f.read()
            os.killpg(p.pid, signal.SIGCONT)
            p.wait(timeout=30)
        expect("Ctrl-Z: the job stops, its stop already told; fg sets it going",
               (os.WIFSTOPPED(status), said.rstrip().endswith("stops"), p.returncode), (True, True, 0))


@given(TRACING)
def sigterm_passed():
    """SIGTERM to sigtrace alone, from a process it does not trace, is
    passed on to the program; the account is whole, and sigtrace dies as
    the program did."""
    with tempfile.TemporaryDirectory() as tmp:
        p = subprocess.Popen([sigtrace, "-o", f"{tmp}/account", "sleep", "30"], env=ENV)
        with reaped(p):
            started(f"{tmp}/account")
            p.terminate()
            p.wait(timeout=30)
        with open(f"{tmp}/account") as f:
            said = f.read()
        expect("SIGTERM to sigtrace: passed on, and the account whole",
               (p.returncode, "killed by SIGTERM" in said, "summary:" in said), (-signal.SIGTERM, True, True))


@given(TRACING)
def descendant():
    """A process that outlives the program: sigtrace says it waits for it,
    and an interrupt ends the wait with the summary so far."""
    with tempfile.TemporaryDirectory() as tmp:
        p = subprocess.Popen([sigtrace, "-o", f"{tmp}/account", "sh", "-c", "sleep 30 & exit 3"], env=ENV)
        waited = None
        with reaped(p):
            writing = started(f"{tmp}/account")
            for _ in range(400):
                time.sleep(0.05)
                with open(writing) as f:
                    waited = re.search(r"waiting for child (\d+) \(sleep\)", f.read())
                if waited:
                    break
            p.send_signal(signal.SIGINT)
            p.wait(timeout=30)
        if waited:
            os.kill(int(waited[1]), signal.SIGKILL)
        with open(f"{tmp}/account") as f:
            said = f.read()
        expect("a descendant lives on: sigtrace says so, and ^C ends the wait",
               (waited is not None, p.returncode, "summary:" in said), (True, 3, True))


@given(TRACING)
def kill_0():
    """kill 0 from the program reaches sigtrace too, in the same group: it
    stays to write the whole account, then dies as its program did."""
    with tempfile.TemporaryDirectory() as tmp:
        p = subprocess.Popen([sigtrace, "-o", f"{tmp}/account", "sh", "-c", "sleep 0.2; kill -TERM 0; sleep 5"],
                             env=ENV, start_new_session=True, stderr=subprocess.PIPE)
        with reaped(p, group=True):
            p.communicate(timeout=30)
        with open(f"{tmp}/account") as f:
            text = f.read()
        expect("kill 0: sigtrace stays for the summary, and dies as its program", (p.returncode, "summary:" in text),
               (-signal.SIGTERM, True))


# The two ways of seeing what no tracepoint tells, fentry/fexit on the
# kernel's functions and sys_enter/sys_exit on every system call, tell the
# same account of the same program, thread by thread (threads take turns
# as they will), but for times and ids.  Where the kernel refuses trampolines, there is one way to compare.
IDS = ("pid", "tid", "child", "thread")


def same_told(path):
    """The account, per thread, with times left out and ids numbered in
    the order they first appear."""
    ids, per = {}, {}

    def plain(value, key=None):
        if isinstance(value, dict):
            return {k: plain(v, k) for k, v in value.items() if not k.endswith("us")}
        if isinstance(value, list):
            return [plain(v, key) for v in value]
        if (key in IDS or key == "for") and isinstance(value, int):
            return ids.setdefault(value, len(ids))
        return value
    for record in json_account(path):
        record = plain(record)
        per.setdefault(record.get("tid"), []).append(record)
    return per


def c_program(folder, name, source):
    """A small C program of the case's own, built here."""
    program = harness.compiled(folder, name, source)
    if not program:
        raise NotHere("no C compiler (cc, gcc or clang) to build the case's program")
    return program


def traced_json(folder, argv):
    """The JSON account of a run, and the program's process id."""
    status, out, err = run([sigtrace, "--json", "-o", f"{folder}/account", *argv])
    records = json_account(f"{folder}/account")
    expect(f"{argv[-1]}: its status", status, 0)
    return records, records[0]["pid"]


def told_of(records, pid, sig):
    """What became of a signal in a process, in order: each fate, who sent
    it, and its value."""
    return [(r["what"], r.get("from", {}).get("kind"), r.get("value")) for r in records
            if r["type"] == "signal" and r["pid"] == pid and r["sig"] == sig]


@given(TRACING)
def own_pending():
    """A blocked signal that the program raises waits on its thread's own
    queue, and is still pending at its end: in the exit event and in the
    summary, as in the counts."""
    with tempfile.TemporaryDirectory() as tmp:
        records, pid = traced_json(tmp, [sys.executable, "-c", BLOCK + "signal.raise_signal(signal.SIGUSR1)\n"])
        ends = [r["pending"] for r in records if r["type"] == "exit" and r["pid"] == pid]
        summary = [p for p in records[-1]["processes"] if p["pid"] == pid][0]
        expect("raised: still pending at the end", ends, [["SIGUSR1"]])
        expect("raised: and in the summary", summary["end"]["pending"], ["SIGUSR1"])
        expect("raised: made pending once", summary["signals"]["SIGUSR1"]["pending"], 1)


TIMER = """#include <signal.h>
#include <time.h>
int main(void)
{
	sigset_t usr1;
	siginfo_t info;
	timer_t timer;
	struct sigevent ev = {0};
	struct itimerspec soon = {{0, 0}, {0, 1000000}};
	sigemptyset(&usr1);
	sigaddset(&usr1, SIGUSR1);
	sigprocmask(SIG_BLOCK, &usr1, 0);
	ev.sigev_notify = SIGEV_SIGNAL;
	ev.sigev_signo = SIGUSR1;
	ev.sigev_value.sival_int = 42;
	timer_create(CLOCK_MONOTONIC, &ev, &timer);
	timer_settime(timer, 0, &soon, 0);
	return sigwaitinfo(&usr1, &info) != SIGUSR1 || info.si_value.sival_int != 42;
}
"""


@given(TRACING)
def timer_value():
    """A POSIX timer's signal carries the timer's sigev_value, as it is
    made pending and as it is taken."""
    with tempfile.TemporaryDirectory() as tmp:
        records, pid = traced_json(tmp, [c_program(tmp, "timer", TIMER)])
        expect("a POSIX timer's value", told_of(records, pid, "SIGUSR1"),
               [("pending", "posix_timer", 42), ("taken", "posix_timer", 42)])


UNBLOCK = """#include <signal.h>
#include <unistd.h>
static void on_usr1(int sig)
{
	sigset_t own;
	sigemptyset(&own);
	sigaddset(&own, sig);
	sigprocmask(SIG_UNBLOCK, &own, 0);
}
int main(void)
{
	signal(SIGUSR1, on_usr1);
	kill(getpid(), SIGUSR1);
	kill(getpid(), SIGUSR1);
	return 0;
}
"""


SETBACK = """#include <setjmp.h>
#include <signal.h>
#include <unistd.h>
static sigjmp_buf back;
static volatile int jump;
static void on_usr1(int sig)
{
	sigset_t mask;
	if (jump)
		siglongjmp(back, 1);
	sigprocmask(SIG_SETMASK, 0, &mask);
	sigdelset(&mask, sig);
	sigprocmask(SIG_SETMASK, &mask, 0);
}
static int deeper(int n)
{
	volatile char room[512];
	room[0] = (char)n;
	if (n)
		return deeper(n - 1) + room[0];
	kill(getpid(), SIGUSR1);
	return 0;
}
int main(void)
{
	signal(SIGUSR1, on_usr1);
	kill(getpid(), SIGUSR1);
	jump = 1;
	if (!sigsetjmp(back, 1))
		deeper(16);
	return 0;
}
"""


@given(TRACING)
def handler_unblocks():
    """A handler that unblocks its own signal and returns stays in its
    run until it returns: no long jump, and each run ends once; so does
    one that sets back the whole mask it interrupted, as siglongjmp out of
    it does, which is a long jump."""
    with tempfile.TemporaryDirectory() as tmp:
        for name, source, want in (("unblock", UNBLOCK, [False, False]), ("setback", SETBACK, [False, True])):
            records, pid = traced_json(tmp, [c_program(tmp, name, source)])
            runs = [(r.get("sig"), r["jumped"]) for r in records if r["type"] == "return" and r["pid"] == pid]
            expect(f"{name}: the runs, and how each ended", runs, [("SIGUSR1", jumped) for jumped in want])


PARKED = """#include <signal.h>
#include <time.h>
#include <unistd.h>
static volatile sig_atomic_t got;
static void on_usr1(int sig)
{
	got = sig;
}
int main(void)
{
	timer_t timer;
	struct sigevent ev = {0};
	struct itimerspec often = {{0, 50000000}, {0, 1000000}};
	struct timespec rest = {0, 20000000};
	signal(SIGUSR1, SIG_IGN);
	ev.sigev_notify = SIGEV_SIGNAL;
	ev.sigev_signo = SIGUSR1;
	timer_create(CLOCK_MONOTONIC, &ev, &timer);
	timer_settime(timer, 0, &often, 0);
	nanosleep(&rest, 0);
	signal(SIGUSR1, on_usr1);
	while (!got)
		pause();
	return 0;
}
"""


@given(TRACING)
def parked_timer():
    """From Linux 6.13 an interval timer's signal that comes while ignored
    is kept, and queued again once a handler is set: it reads as the
    timer's, kept while ignored, and counts as made pending, not ignored."""
    release = tuple(int(n) for n in re.findall(r"\d+", os.uname().release)[:2])
    if release < (6, 13):
        raise NotHere(f"Linux {os.uname().release} drops a timer's signal that comes while ignored")
    with tempfile.TemporaryDirectory() as tmp:
        records, pid = traced_json(tmp, [c_program(tmp, "parked", PARKED)])
        delivered = [r for r in records if r["type"] == "signal" and r["pid"] == pid and r["what"] == "delivered"]
        counts = [p["signals"]["SIGUSR1"] for p in records[-1]["processes"] if p["pid"] == pid][0]
        expect("kept while ignored: the first delivery",
               [(r["from"]["kind"], r.get("requeued")) for r in delivered[:1]], [("posix_timer", True)])
        expect("kept while ignored: made pending, not ignored",
               (counts["sent"] - counts["ignored"], counts["pending"]), (counts["pending"], len(delivered)))
        expect("kept while ignored: the summary adds up", adds_up(records[-1]), [])


WITHDRAWN = """#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>
static struct itimerspec soon = {{0, 0}, {0, 1000000}};
static void expired(timer_t timer)
{
	struct itimerspec left;
	struct timespec rest = {0, 1000000};
	while (timer_gettime(timer, &left) == 0 && (left.it_value.tv_sec || left.it_value.tv_nsec))
		nanosleep(&rest, 0);
}
int main(int argc, char **argv)
{
	sigset_t all, one;
	timer_t timers[4];
	struct timespec none = {0, 0};
	int sig[4] = {SIGUSR1, SIGUSR2, SIGRTMIN, SIGRTMIN + 1};
	if (argc > 1)
		return 0;
	sigemptyset(&all);
	for (int i = 0; i < 4; i++)
		sigaddset(&all, sig[i]);
	sigprocmask(SIG_BLOCK, &all, 0);
	for (int i = 0; i < 4; i++) {
		struct sigevent ev = {0};
		ev.sigev_notify = SIGEV_SIGNAL;
		ev.sigev_signo = sig[i];
		timer_create(CLOCK_MONOTONIC, &ev, &timers[i]);
		timer_settime(timers[i], 0, &soon, 0);
		expired(timers[i]);
	}
	timer_settime(timers[0], 0, &(struct itimerspec){{0, 0}, {0, 0}}, 0);
	timer_delete(timers[1]);
	timer_settime(timers[2], 0, &soon, 0);
	expired(timers[2]);
	for (int i = 0; i < 3; i++) {
		sigemptyset(&one);
		sigaddset(&one, sig[i]);
		printf("%d ", sigtimedwait(&one, 0, &none) == sig[i]);
	}
	fflush(stdout);
	execl("/proc/self/exe", argv[0], "again", (char *)0);
	return 1;
}
"""


@given(TRACING)
def timers_withdrawn():
    """A POSIX timer's signal pending as its timer is set anew or deleted:
    from Linux 6.13 the kernel throws it away unseen (as the program finds),
    unless the timer expires again first; earlier, it is taken.  An exec
    throws away every timer's signal, on every kernel."""
    with tempfile.TemporaryDirectory() as tmp:
        status, out, err = run([sigtrace, "-v", "--json", "-o", f"{tmp}/account",
                                c_program(tmp, "withdrawn", WITHDRAWN)])
        expect("timers: the status, and the counts agree",
               (status, [line for line in err.splitlines() if "counted otherwise" in line]), (0, []))
        got = out.decode().split()
        records = json_account(f"{tmp}/account")
        pid = records[0]["pid"]
        fates = {sig: [(r["what"], r.get("by")) for r in records if r["type"] == "signal" and r["pid"] == pid
                       and r["sig"] == sig] for sig in ("SIGUSR1", "SIGUSR2", "SIGRTMIN", "SIGRTMIN+1")}
        taken = ("taken", "rt_sigtimedwait")
        withdrawn = got[:2] == ["0", "0"]
        expect("timers: the program took all three, or none of the first two", got in (["1", "1", "1"], ["0", "0", "1"]),
               True)
        expect("timers: the fates", fates, {
            "SIGUSR1": [("pending", None), ("discarded", "timer_settime") if withdrawn else taken],
            "SIGUSR2": [("pending", None), ("discarded", "timer_delete") if withdrawn else taken],
            "SIGRTMIN": [("pending", None), ("discarded", "timer_settime"), ("pending", None), taken] if withdrawn
            else [("pending", None), ("merged", None), taken],
            "SIGRTMIN+1": [("pending", None), ("discarded", "exec")]})
        expect("timers: the summary adds up", adds_up(records[-1]), [])


TRACER = """#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>
static void on_usr2(int sig) { (void)sig; }
int main(void)
{
	int status;
	pid_t child = fork();
	if (child == 0) {
		signal(SIGUSR2, on_usr2);
		ptrace(PTRACE_TRACEME, 0, 0, 0);
		raise(SIGUSR1); /* its tracer keeps it */
		raise(SIGUSR2); /* and gives this one back */
		_exit(0);
	}
	while (waitpid(child, &status, 0) == child && WIFSTOPPED(status))
		ptrace(PTRACE_CONT, child, 0,
		       WSTOPSIG(status) == SIGUSR2 ? SIGUSR2 : 0);
	return !WIFEXITED(status) || WEXITSTATUS(status);
}
"""


@given(TRACING)
def ptrace_tracer():
    """A ptrace tracer takes each signal its task takes from its queue: one
    it keeps is taken by it, and one it gives back is delivered, counted
    once, as the kernel side counts them."""
    with tempfile.TemporaryDirectory() as tmp:
        status, out, err = run([sigtrace, "-v", "--json", "-o", f"{tmp}/account", c_program(tmp, "tracer", TRACER)])
        expect("a tracer: its status, and the counts agree",
               (status, [line for line in err.splitlines() if "counted otherwise" in line]), (0, []))
        records = json_account(f"{tmp}/account")
        child = [r["child"] for r in records if r["type"] == "fork"][0]
        fates = [(r["sig"], r["what"], r.get("by"), r.get("given_back")) for r in records
                 if r["type"] == "signal" and r["pid"] == child and r["what"] != "pending"]
        expect("a tracer: the fates", fates, [("SIGUSR1", "taken", "tracer", None),
                                              ("SIGUSR2", "taken", "tracer", None),
                                              ("SIGUSR2", "delivered", None, True)])
        counts = [p["signals"] for p in records[-1]["processes"] if p["pid"] == child][0]
        expect("a tracer: counted once each", [(counts[s]["pending"], counts[s]["taken"], counts[s]["delivered"])
                                               for s in ("SIGUSR1", "SIGUSR2")], [(1, 1, 0), (1, 0, 1)])
        expect("a tracer: the summary adds up", adds_up(records[-1]), [])
        status, out, err = run([sigtrace, "-o", f"{tmp}/text", "--from", f"{tmp}/account"])
        with open(f"{tmp}/text") as f:
            text = f.read()
        expect("a tracer: the words", [w in text for w in ("SIGUSR1  taken      by its tracer, as it stopped",
                                                            ", given back by its tracer\n")], [True, True])


@given(TRACING)
def thread_sender():
    """A signal that the main thread sends another thread names the main
    thread as its sender, in the text as in the JSON."""
    code = (BLOCK + "import threading\nt = threading.Thread(target=signal.sigwait, args=({signal.SIGUSR1},))\n"
            "t.start()\ntime.sleep(0.1)\nsignal.pthread_kill(t.ident, signal.SIGUSR1)\nt.join()\n")
    with tempfile.TemporaryDirectory() as tmp:
        records, pid = traced_json(tmp, [sys.executable, "-c", code])
        sent = [r for r in records if r["type"] == "signal" and r["what"] == "pending" and r["sig"] == "SIGUSR1"]
        expect("to a thread, from the main thread", [(r["to"], r["from"]["tid"]) for r in sent], [("thread", pid)])
        status, out, err = run([sigtrace, "-o", f"{tmp}/text", "--from", f"{tmp}/account"])
        with open(f"{tmp}/text") as f:
            text = f.read()
        expect("the text names the main thread", "SIGUSR1  pending    from its main thread by tgkill, to thread" in text,
               True)


@given(TRACING)
def counts_agree():
    """Where no record is lost, the records count what the kernel side
    counts, signal by signal: sigtrace -v says where they do not."""
    for case, argv in (("pendfork", [pendfork]), ("a full queue", [sys.executable, "-c", FULL]),
                       ("sigwait", [sys.executable, "-c", BLOCK + "os.kill(os.getpid(), signal.SIGUSR1)\n"
                                    "signal.sigwait({signal.SIGUSR1})\n"]),
                       ("signalfd", [sys.executable, "-c", SIGNALFD]), ("a thread", [sys.executable, "-c", THREAD]),
                       ("a stop", [sys.executable, "-c", STOP])):
        status, out, err = run([sigtrace, "-v", "-o", "/dev/null", *argv])
        expect(f"counts agree: {case}", (status, [line for line in err.splitlines() if "counted otherwise" in line]),
               (0, []))


@given(TRACING)
def both_ways():
    status, out, err = run([sigtrace, "true"], env=dict(ENV, SIGTRACE_WATCH="fentry/fexit"))
    if status != 0:
        raise NotHere(f"this kernel refuses fentry/fexit ({err.strip()}): compared on one that has them")
    HANDLER = ("import os, signal\nsignal.signal(signal.SIGUSR1, lambda *_: signal.pthread_sigmask(signal.SIG_BLOCK, set()))\n"
               "signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR2})\nos.kill(os.getpid(), signal.SIGUSR1)\n"
               "os.kill(os.getpid(), signal.SIGUSR2)\nsignal.signal(signal.SIGUSR2, signal.SIG_IGN)\n")
    with tempfile.TemporaryDirectory() as tmp:
        for case, argv in (("jumpback", [jumpback]), ("alarmloop", [alarmloop]),
                           ("a handler", [sys.executable, "-c", HANDLER]),
                           ("sigwait", [sys.executable, "-c", BLOCK + "os.kill(os.getpid(), signal.SIGUSR1)\n"
                                        "signal.sigwait({signal.SIGUSR1})\n"]),
                           ("signalfd", [sys.executable, "-c", SIGNALFD]),
                           ("a thread", [sys.executable, "-c", THREAD])):
            told = {}
            for way in ("fentry/fexit", "sys_enter/sys_exit"):
                account_path = f"{tmp}/{way.replace('/', '-')}"
                status, out, err = run([sigtrace, "-v", "--json", "-o", account_path, *argv],
                                       env=dict(ENV, SIGTRACE_WATCH=way))
                expect(f"both ways, {case}: {way} taken", (status, f"seen by {way}" in err), (0, True))
                expect(f"both ways, {case}, {way}: the records count as the kernel side",
                       [line for line in err.splitlines() if "counted otherwise" in line], [])
                told[way] = same_told(account_path)
            expect(f"both ways, {case}: the same account", told["fentry/fexit"], told["sys_enter/sys_exit"])


# A lab's copy: members of its group trace without root, with the file
# capabilities CAP_BPF and CAP_PERFMON and nothing more.
CAP_PERFMON, CAP_BPF = 38, 39
capabilities = struct.pack("<5I", 0x02000001, 0, 0, (1 << CAP_PERFMON - 32) | (1 << CAP_BPF - 32), 0)
STATUS = """import os
def link(fd):
    try:
        return os.readlink(f"/proc/self/fd/{fd}")
    except FileNotFoundError:  # the listing's own
        return None
def status(pid):
    with open(f"/proc/{pid}/status") as f:
        return dict(line.split(":", 1) for line in f.read().splitlines())
me, tracer = status("self"), status(os.getppid())
print(me["Uid"].split(), me["Gid"].split(), me["CapInh"].strip(), me["CapPrm"].strip(), me["CapEff"].strip(),
      me["CapAmb"].strip(), tracer["CapPrm"].strip(), tracer["CapEff"].strip(),
      [link(fd) for fd in os.listdir("/proc/self/fd") if fd not in "012" and link(fd)])
"""


@given(TRACING)
def unprivileged():
    with tempfile.TemporaryDirectory() as tmp:
        os.chmod(tmp, 0o755)
        group, member, outsider = STRANGER + 1, STRANGER + 2, STRANGER + 3
        lab = shutil.copy(sigtrace, f"{tmp}/sigtrace")
        os.chown(lab, 0, group)
        os.chmod(lab, 0o754)
        os.setxattr(lab, "security.capability", capabilities)
        program = shutil.copy(alarmloop, tmp)
        status, out, err = run([lab, program], user=member, groups=[group])
        expect("lab: alarmloop", (status, out), (0, LINES))
        expect("lab: alarmloop's account", alarmloop_wrong(account(err, "lab")[0]), [])
        status, out, err = run([lab, "python3", "-c", STATUS], user=member, groups=[group])
        ids = [str(member)] * 4
        expect("lab: the program runs as the user, with no capability and no descriptor of the tracer",
               (status, out.decode()), (0, f"{ids} {ids} 0000000000000000 0000000000000000 0000000000000000 "
                                           f"0000000000000000 0000000000000000 0000000000000000 []\n"))
        status, out, err = run([lab, "-o", "/proc/sys/kernel/pid_max", program], user=member, groups=[group])
        expect("lab: the account is written as the user", (status, out, err),
               (1, b"", "sigtrace: /proc/sys/kernel/pid_max: Permission denied\n"))
        status, out, err = run([lab, "su", "--help"], user=member, groups=[group])
        expect("lab: no tracing through an exec that gains privilege",
               (status, [e.split(None, 3)[3] for e in account(err, "lab")[0]][-2:]),
               (0, ["starts su", "gains privilege by that exec, and is traced no more"]))
        status, out, err = run(["sh", "-c", f"{lab} {program}"], user=outsider)
        expect("lab: refused outside the group, in one line",
               (status, out, err.count("\n"), "Permission denied" in err), (126, b"", 1, True))


unknown = [name for name in options.case if name not in CASES]
if unknown:
    parser.error(f"no case {', '.join(unknown)}; the cases: {', '.join(CASES)}")
ready = [BUILT]


def needed(name):
    """Why this machine cannot give what the case needs, told once, by the
    first case that needs it; or None."""
    level = CASES[name][0]
    while ready[0] < level:
        ready[0] += 1
        why = why_not(ready[0])
        if why:
            return why
    return None


run_cases([(name, test) for name, (level, test) in CASES.items() if not options.case or name in options.case],
          needed)

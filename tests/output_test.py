# SPDX-License-Identifier: ISC
"""What sigtrace writes, whatever befalls the files it writes to: an
account or a picture replaces its file only once whole, keeps its mode,
follows a symbolic link and leaves a device, a FIFO or a pipe where it is;
the account being read is never written over; and a write that fails, or
falls short, is said in one line and fails the run, however the program
itself ended."""
import errno
import json
import os
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

from harness import ENV, machine, skip

sigtrace, pendfork, jumpback, alarmloop = sys.argv[1:]
if sigtrace == "not-built":
    skip("sigtrace is not built: it needs clang, bpftool, libbpf and nlohmann-json "
         "(apt-get install clang bpftool libbpf-dev pkgconf nlohmann-json3-dev)")
ENV = dict(ENV, PATH="/usr/sbin:/usr/bin:/sbin:/bin")
ROOT = os.getuid() == 0
LOOP = "for i in $(seq 900); do /bin/true; done"  # a JSON summary of some 95 KB
passed, failed, skipped = 0, 0, {}


def case(name, got, want):
    global passed, failed
    if got == want:
        passed += 1
        print(f"ok   {name}")
    else:
        failed += 1
        print(f"FAIL {name}: got {short(got)}, want {short(want)}")


def short(value):
    """What a case saw, with a file's content cut to its start."""
    if isinstance(value, tuple):
        return "(" + ", ".join(map(short, value)) + ")"
    said = repr(value)
    return said if len(said) <= 80 else said[:60] + f"... ({len(value)} in all)"


def not_here(names, why):
    for name in names:
        print(f"skip {name}")
    skipped[why] = skipped.get(why, 0) + len(names)


def records(children=0, signals=0, bad=False):
    """An account: a process that forks and sees its children end, then
    ignores a run of SIGUSR1; with bad, a line that is not a record comes
    after all that, where much of what it tells is written already."""
    said = [{"type": "start", "version": 1, "us": 0, "pid": 10, "tid": 10, "program": "prog"},
            {"type": "exec", "us": 1, "pid": 10, "tid": 10, "program": "prog", "blocked": []}]
    us = 2
    for child in range(1000, 1000 + children):
        said += [{"type": "fork", "us": us, "pid": 10, "tid": 10, "child": child},
                 {"type": "exit", "us": us + 1, "pid": child, "tid": child, "status": 0, "pending": [],
                  "blocked": []}]
        us += 2
    itself = {"kind": "self", "pid": 10, "tid": 10, "comm": "prog"}
    for _ in range(signals + 1):
        said.append({"type": "signal", "us": us, "pid": 10, "tid": 10, "sig": "SIGUSR1", "signo": 10,
                     "what": "ignored", "to": "process", "from": itself})
        us += 1
    if bad:
        said.append({"type": "signal", "us": us, "pid": 10})
    return said + [{"type": "exit", "us": us, "pid": 10, "tid": 10, "status": 0, "pending": [], "blocked": []},
                   {"type": "summary", "us": us, "pid": 10, "tid": 10, "lost": 0, "processes": []}]


TOP = tempfile.mkdtemp()
SMALL, BIG, BAD = (f"{TOP}/{name}.json" for name in ("small", "big", "bad"))
for path, said in ((SMALL, records()), (BIG, records(children=100, signals=3000)),
                   (BAD, records(children=100, signals=3000, bad=True))):
    with open(path, "w") as f:
        f.writelines(json.dumps(r) + "\n" for r in said)


def fresh(**files):
    """A directory of its own, holding the files named, each with its
    content and mode 0640."""
    d = tempfile.mkdtemp(dir=TOP)
    for name, content in files.items():
        with open(f"{d}/{name}", "wb") as f:
            f.write(content)
        os.chmod(f"{d}/{name}", 0o640)
    return d


def run(*argv, umask=None, fsize=None, **kw):
    """sigtrace's status, standard output and standard error."""
    def child():
        if umask is not None:
            os.umask(umask)
        if fsize is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
    kw.setdefault("stdout", subprocess.PIPE)
    done = subprocess.run([sigtrace, *argv], stderr=subprocess.PIPE, env=ENV, preexec_fn=child, **kw)
    return done.returncode, done.stdout, done.stderr.decode()


def content(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def whole(path):
    """Whether the file is a picture from end to end."""
    try:
        return ET.parse(path).getroot().tag == "{http://www.w3.org/2000/svg}svg"
    except (ET.ParseError, OSError):
        return False


def link(path):
    return os.readlink(path) if os.path.islink(path) else None


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode) if os.path.exists(path) else None


def said(name, number):
    return f"sigtrace: {name}: {os.strerror(number)}\n"


def one_line(err, *names):
    return err.count("\n") == 1 and err.startswith("sigtrace: ") and any(n in err for n in names)


def device(path):
    """A character device's numbers; False for another file; None for none."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    return stat.S_ISCHR(st.st_mode) and (os.major(st.st_rdev), os.minor(st.st_rdev))


OLD = b"the file as it was\n"

# Devices of our own first: written in place, never removed, even on
# failure.  Only if these are left as they were are the machine's own
# /dev/null and /dev/full risked, for root could replace them.
NAMES = ["a device written, and left", "a full device: said, and left", "a device left by a bad account"]
SAFE = not ROOT
if ROOT:
    d = fresh()
    try:
        os.mknod(f"{d}/null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        os.mknod(f"{d}/full", 0o666 | stat.S_IFCHR, os.makedev(1, 7))
        os.close(os.open(f"{d}/null", os.O_WRONLY))
    except OSError as e:
        not_here(NAMES, f"no device of our own here ({e.strerror})")
        d = None
    if d:
        status, out, err = run("--from", SMALL, "--svg", f"{d}/null")
        case(NAMES[0], (status, err, device(f"{d}/null"), sorted(os.listdir(d))), (0, "", (1, 3), ["full", "null"]))
        status, out, err = run("--from", BIG, "--json", "-o", f"{d}/full")
        case(NAMES[1], (status, err, device(f"{d}/full"), sorted(os.listdir(d))),
             (1, said(f"{d}/full", errno.ENOSPC), (1, 7), ["full", "null"]))
        SAFE = device(f"{d}/null") == (1, 3) and device(f"{d}/full") == (1, 7)
        status, out, err = run("--from", BAD, "--svg", f"{d}/null")
        case(NAMES[2], (status, one_line(err, BAD), device(f"{d}/null"), sorted(os.listdir(d))),
             (1, True, (1, 3), ["full", "null"]))
else:
    not_here(NAMES, "not root: no device can be made")


def in_dev(*names):
    """Whether the cases named may write to the machine's devices."""
    if not SAFE:
        not_here(names, "sigtrace did not leave a device of our own as it was: the machine's are not risked")
    return SAFE


# Written whole, in place of what was there, with the mode it had.
d = fresh(P=OLD)
status, out, err = run("--from", SMALL, "--svg", f"{d}/P")
case("a picture over a file", (status, err, whole(f"{d}/P"), mode(f"{d}/P"), os.listdir(d)),
     (0, "", True, 0o640, ["P"]))
text = run("--from", SMALL)[1]
d = fresh()
status, out, err = run("--from", SMALL, "-o", f"{d}/O", "--svg", f"{d}/P", umask=0o002)
case("a new account and a new picture: whole, mode 0666 less the umask",
     (status, err, content(f"{d}/O") == text, whole(f"{d}/P"), mode(f"{d}/O"), mode(f"{d}/P")),
     (0, "", True, True, 0o664, 0o664))
if in_dev("the account to /dev/null", "the account and the picture both to /dev/null"):
    case("the account to /dev/null", run("--from", BIG, "--json", "-o", "/dev/null") + (device("/dev/null"),),
         (0, b"", "", (1, 3)))
    case("the account and the picture both to /dev/null",
         run("--from", SMALL, "-o", "/dev/null", "--svg", "/dev/null") + (device("/dev/null"),), (0, b"", "", (1, 3)))
d = fresh()
os.mkdir(f"{d}/sub")
with open(f"{d}/sub/T", "wb") as f:
    f.write(OLD)
os.chmod(f"{d}/sub/T", 0o640)
os.symlink("sub/T", f"{d}/P")
status, out, err = run("--from", SMALL, "--svg", f"{d}/P", cwd=TOP)
case("a picture through a symbolic link: the target replaced, the link kept",
     (status, err, link(f"{d}/P"), whole(f"{d}/sub/T"), mode(f"{d}/sub/T"), sorted(os.listdir(d)),
      os.listdir(f"{d}/sub")), (0, "", "sub/T", True, 0o640, ["P", "sub"], ["T"]))
d = fresh()
os.mkfifo(f"{d}/F")
with open(f"{d}/drawn", "wb") as drawn:
    reader = subprocess.Popen(["cat", f"{d}/F"], stdout=drawn)
    status, out, err = run("--from", SMALL, "--svg", f"{d}/F")
    try:  # a reader that sigtrace never wrote to still waits
        os.close(os.open(f"{d}/F", os.O_WRONLY | os.O_NONBLOCK))
    except OSError:
        pass
    reader.wait()
case("a picture into a FIFO, which stays",
     (status, err, whole(f"{d}/drawn"), stat.S_ISFIFO(os.lstat(f"{d}/F").st_mode)), (0, "", True, True))

# The account being read is never an output, by any name; nor are both
# outputs one file.
for option, make, what in (("-o", None, "the account itself"), ("--svg", None, "the account itself"),
                           ("-o", os.symlink, "a symbolic link to the account"),
                           ("--svg", os.link, "a hard link to the account")):
    d = fresh(A=content(SMALL))
    output = f"{d}/L" if make else f"{d}/A"
    if make:
        make("A" if make == os.symlink else f"{d}/A", output)
    status, out, err = run("--from", f"{d}/A", option, output)
    case(f"refused: {option} {what}",
         (status, one_line(err, output), content(f"{d}/A") == content(SMALL), len(os.listdir(d))),
         (1, True, True, 2 if make else 1))
for name, other in (("-o X --svg X", "X"), ("-o X --svg a link to X", "L")):
    d = fresh(X=OLD)
    os.symlink("X", f"{d}/L")
    status, out, err = run("--from", SMALL, "-o", f"{d}/X", "--svg", f"{d}/{other}")
    case(f"refused: {name}",
         (status, one_line(err, f"{d}/X", f"{d}/{other}"), content(f"{d}/X"), sorted(os.listdir(d))),
         (1, True, OLD, ["L", "X"]))

# An account that fails late, after much of it is told, changes nothing.
d = fresh(O=OLD, P=OLD)
status, out, err = run("--from", BAD, "--json", "-o", f"{d}/O", "--svg", f"{d}/P")
case("a bad account: both files as they were",
     (status, one_line(err, BAD), content(f"{d}/O"), content(f"{d}/P"), mode(f"{d}/P"), sorted(os.listdir(d))),
     (1, True, OLD, OLD, 0o640, ["O", "P"]))
d = fresh(T=OLD)
os.symlink("T", f"{d}/P")
status, out, err = run("--from", BAD, "--svg", f"{d}/P")
case("a bad account: a link and its target as they were",
     (status, one_line(err, BAD), link(f"{d}/P"), content(f"{d}/T"), sorted(os.listdir(d))),
     (1, True, "T", OLD, ["P", "T"]))

# A write that fails or falls short: one line, status 1, no picture left.
FULL = said("/dev/full", errno.ENOSPC)
NAMES = ["-o /dev/full, a short account", "--svg /dev/full", "-o /dev/full, a long account: the picture as it was"]
if in_dev(*NAMES):
    case(NAMES[0], run("--from", SMALL, "-o", "/dev/full"), (1, b"", FULL))
    case(NAMES[1], run("--from", SMALL, "--svg", "/dev/full"), (1, b"", FULL))
    d = fresh(P=OLD)
    status, out, err = run("--from", BIG, "--json", "-o", "/dev/full", "--svg", f"{d}/P")
    case(NAMES[2], (status, err, content(f"{d}/P"), os.listdir(d)), (1, FULL, OLD, ["P"]))
d = fresh()
with open("/dev/full", "wb") as full:
    status, out, err = run("--from", BIG, "--json", "--svg", f"{d}/P", stdout=full)
case("standard output full: no picture", (status, err, os.listdir(d)), (1, said("standard output", errno.ENOSPC), []))
d = fresh(O=OLD)
status, out, err = run("--from", BIG, "--json", "-o", f"{d}/O", fsize=8192)
case("past the file size limit: the account as it was",
     (status, err, content(f"{d}/O"), os.listdir(d)), (1, said(f"{d}/O", errno.EFBIG), OLD, ["O"]))
d = fresh()
status, out, err = run("--from", BIG, "--svg", f"{d}/P", fsize=8192)
case("past the file size limit: no picture", (status, err, os.listdir(d)), (1, said(f"{d}/P", errno.EFBIG), []))
d = fresh()
teller = subprocess.Popen([sigtrace, "--from", BIG, "--json", "--svg", f"{d}/P"], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=ENV)
head = subprocess.Popen(["head", "-n", "1"], stdin=teller.stdout, stdout=subprocess.PIPE)
teller.stdout.close()
first = head.communicate()[0]
err = teller.stderr.read().decode()
case("a reader that has gone: said, not killed by SIGPIPE",
     (teller.wait(), err, first.count(b"\n"), os.listdir(d)), (1, said("standard output", errno.EPIPE), 1, []))

# The tracer: the same, and the program's own end comes first.
NAMES = ["traced: written whole, modes kept", "traced: -o /dev/full", "traced: a program that fails wins",
         "traced: a program killed wins", "traced: standard error full", "traced: past the file size limit",
         "traced: -o X --svg X", "traced: SIGXFSZ and SIGPIPE as without sigtrace"]
why = None
if not ROOT:
    why = "not root: sigtrace needs root, or a copy with CAP_BPF and CAP_PERFMON, to trace"
elif machine(jumpback) != machine(sys.executable):
    why = "the programs are built for another machine"
else:
    status, out, err = run(jumpback)
    if status == 1 and err.count("\n") == 1:
        why = err.strip()
if why:
    not_here(NAMES, why)
else:
    d = fresh(O=OLD)
    status, out, err = run("--json", "-o", f"{d}/O", "--svg", f"{d}/P", "/bin/true", umask=0o002)
    last = json.loads(content(f"{d}/O").splitlines()[-1]) if content(f"{d}/O") != OLD else {}
    case(NAMES[0], (status, err, last.get("type"), mode(f"{d}/O"), whole(f"{d}/P"), mode(f"{d}/P")),
         (0, "", "summary", 0o640, True, 0o664))
    if in_dev(*NAMES[1:4]):
        d = fresh(P=OLD)
        status, out, err = run("--json", "-o", "/dev/full", "--svg", f"{d}/P", "/bin/sh", "-c", LOOP)
        case(NAMES[1], (status, err, content(f"{d}/P"), os.listdir(d)), (1, FULL, OLD, ["P"]))
        case(NAMES[2], run("--json", "-o", "/dev/full", "/bin/sh", "-c", LOOP + "; exit 3"), (3, b"", FULL))
        case(NAMES[3], run("--json", "-o", "/dev/full", "/bin/sh", "-c", LOOP + "; kill -TERM $$"),
             (-signal.SIGTERM, b"", FULL))
    with open("/dev/full", "wb") as full:  # nowhere left to say it: the status alone
        case(NAMES[4], subprocess.run([sigtrace, "/bin/true"], stderr=full, env=ENV).returncode, 1)
    d = fresh(O=OLD)
    status, out, err = run("--json", "-o", f"{d}/O", "/bin/sh", "-c", LOOP, fsize=8192)
    case(NAMES[5], (status, err, content(f"{d}/O"), os.listdir(d)), (1, said(f"{d}/O", errno.EFBIG), OLD, ["O"]))
    d = fresh(X=OLD)
    status, out, err = run("-o", f"{d}/X", "--svg", f"{d}/X", "/bin/true")
    case(NAMES[6], (status, one_line(err, f"{d}/X"), content(f"{d}/X"), os.listdir(d)), (1, True, OLD, ["X"]))
    alone = [subprocess.run(["/bin/sh", "-c", f"kill -{s} $$"], env=ENV).returncode for s in ("XFSZ", "PIPE")]
    traced = [run("/bin/sh", "-c", f"kill -{s} $$")[0] for s in ("XFSZ", "PIPE")]
    case(NAMES[7], traced, alone)

shutil.rmtree(TOP)
for why, count in skipped.items():
    print(f"{count} skipped: {why}")
if skipped and os.environ.get("SIGDEMOS_NO_SKIP"):
    print("FAIL SIGDEMOS_NO_SKIP is set")
    failed += 1
print(f"{passed} passed, {failed} failed" + (f", {sum(skipped.values())} skipped" if skipped else ""))
sys.exit(1 if failed else 0)

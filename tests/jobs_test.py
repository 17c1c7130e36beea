# SPDX-License-Identifier: ISC
"""sigtrace as a shell's job: a signal reaches the program as often as it
would without sigtrace, and when the program stops, the job stops, for
its shell, by the signal that stopped the program.

    jobs_test.py SIGTRACE [CASE...]

Each case starts sigtrace as a shell starts a job, in a process group of
its own in this session, on a small program of the test's own, built
here with the C compiler, and learns what it waits for from pipes, a
terminal, the account, /proc and wait(2), never from a time: the limit
below only ends a run that has gone wrong.  CASE names a case or a group of
them; none runs every case.  Skipped, saying why, where sigtrace cannot
trace, or no C compiler is found."""
import errno
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

from harness import ENV, Failed, compiled, machine, run_cases, skip

LIMIT = 120  # seconds

PROGRAM = r"""
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static volatile sig_atomic_t runs;

static void
say(const char *text)
{
	(void)!write(1, text, strlen(text));
}

static void
on_int(int sig)
{
	(void)sig;
	runs++;
	say("int\n");
}

/* The count so far, and the end. */
static void
on_term(int sig)
{
	char line[] = "runs 0\n";

	(void)sig;
	line[5] = (char)('0' + (runs > 9 ? 9 : runs));
	say(line);
	_exit(0);
}

/* Until standard input ends. */
static void
drain(void)
{
	char c;
	ssize_t got;

	while ((got = read(0, &c, 1)) > 0 || (got < 0 && errno == EINTR))
		;
}

int
main(int argc, char **argv)
{
	const char *mode = argc > 1 ? argv[1] : "";
	struct sigaction action;

	/* "apart": in a process group of its own, out of sigtrace's. */
	if (argc > 2 && strcmp(argv[2], "apart") == 0 && setpgid(0, 0) != 0)
		return 101;
	if (strcmp(mode, "count") == 0) {
		memset(&action, 0, sizeof(action));
		sigemptyset(&action.sa_mask);
		action.sa_handler = on_int;
		sigaction(SIGINT, &action, NULL);
		action.sa_handler = on_term;
		sigaction(SIGTERM, &action, NULL);
		say("ready\n");
		for (;;)
			pause();
	}
	if (strcmp(mode, "stop") == 0 && argc > 4) {
		/* A SIGHUP passed on while stopped changes nothing. */
		signal(SIGHUP, SIG_IGN);
		kill(getpid(), atoi(argv[3]));
		drain();
		return atoi(argv[4]);
	}
	/* Ends, leaving a child that lives until standard input ends. */
	if (strcmp(mode, "leave") == 0) {
		if (fork() == 0) {
			drain();
			_exit(0);
		}
		return 3;
	}
	/* Holds any SIGINT pending until standard input ends. */
	if (strcmp(mode, "hold") == 0) {
		sigset_t interrupt;

		sigemptyset(&interrupt);
		sigaddset(&interrupt, SIGINT);
		sigprocmask(SIG_BLOCK, &interrupt, NULL);
		say("ready\n");
		drain();
		return 0;
	}
	if (strcmp(mode, "write") == 0) {
		say("written\n");
		return 3;
	}
	if (strcmp(mode, "wait") == 0) {
		say("ready\n");
		drain();
		return 3;
	}
	return 100;
}
"""

# The shell of a session whose controlling terminal is a pseudo-terminal:
# it starts sigtrace as a job, in the foreground ("fg") or in the
# background with the terminal's tostop set ("tostop"), tells what it
# sees of the job as lines of JSON, and sets a stopped job going again,
# as fg does, once told to.  The job's standard output is the terminal,
# given as a descriptor; its input and error, the other two given.
SHELL = r"""
import fcntl, json, os, signal, sys, termios
tty, mode, stdin, stderr, *job = sys.argv[1:]
tty = int(tty)
def say(**what):
    print(json.dumps(what), flush=True)
fcntl.ioctl(tty, termios.TIOCSCTTY, 0)  # the session's terminal
attrs = termios.tcgetattr(tty)
attrs[3] = attrs[3] | termios.TOSTOP if mode == "tostop" else attrs[3] & ~termios.TOSTOP
termios.tcsetattr(tty, termios.TCSANOW, attrs)
signal.signal(signal.SIGTTOU, signal.SIG_IGN)  # as a shell, to hand the terminal on
stops = {signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU}
pid = os.posix_spawn(job[0], job, dict(os.environ), setpgroup=0, setsigdef=stops,
                     file_actions=[(os.POSIX_SPAWN_DUP2, int(stdin), 0), (os.POSIX_SPAWN_DUP2, tty, 1),
                                   (os.POSIX_SPAWN_DUP2, int(stderr), 2)])
os.close(int(stdin))
os.close(int(stderr))
if mode == "fg":
    os.tcsetpgrp(tty, pid)
say(spawned=pid)
while True:
    _, status = os.waitpid(pid, os.WUNTRACED)
    if not os.WIFSTOPPED(status):
        break
    say(stopped=os.WSTOPSIG(status))
    sys.stdin.readline()
    os.tcsetpgrp(tty, pid)
    os.killpg(pid, signal.SIGCONT)
say(status=os.waitstatus_to_exitcode(status))
"""

CAP_PERFMON, CAP_BPF = 38, 39
PIDFD_SIGNAL_PROCESS_GROUP = 4


def check(what, got, want):
    if got != want:
        raise Failed(f"{what}: got {got!r}, want {want!r}")


class Pipe:
    """All that a pipe or a terminal has said so far, read by a thread of
    its own, so that no writer ever waits on this test."""

    def __init__(self, fd):
        self.data = b""
        self.closed = False
        self.changed = threading.Condition()
        threading.Thread(target=self._read, args=(fd,), daemon=True).start()

    def _read(self, fd):
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # a terminal whose last user has gone
                chunk = b""
            with self.changed:
                self.data += chunk
                self.closed = not chunk
                self.changed.notify_all()
            if not chunk:
                os.close(fd)
                return

    def until(self, what, holds):
        """Waits until holds(data), which it returns."""
        deadline = time.monotonic() + LIMIT
        with self.changed:
            while not holds(self.data):
                left = deadline - time.monotonic()
                if self.closed or left <= 0:
                    raise Failed(f"{what}: never came; there came {self.data.decode(errors='replace')!r}")
                self.changed.wait(left)
            return self.data

    def said(self, what, text):
        return self.until(what, lambda data: text.encode() in data)

    def all(self, what):
        return self.until(what, lambda _: self.closed)


def records(data):
    """The account's whole lines, as records."""
    return [json.loads(line) for line in data.decode().splitlines(keepends=True) if line.endswith("\n")]


def has(kind):
    return lambda data: any(r["type"] == kind for r in records(data))


def senders(account, sig):
    """Who sent the program sig, for each time it was sent."""
    rs = records(account)
    program = rs[0]["pid"]
    return [r["from"].get("pid", r["from"].get("kind")) for r in rs
            if r["type"] == "signal" and r["pid"] == program and r["sig"] == sig and "to" in r]


def waitpid(pid, flags=0):
    """os.waitpid, given up after the limit."""
    def late(*_):
        raise Failed(f"process {pid} still not done after {LIMIT} s")
    signal.signal(signal.SIGALRM, late)
    signal.alarm(LIMIT)
    try:
        return os.waitpid(pid, flags)[1]
    finally:
        signal.alarm(0)


def stop_name(sig):
    return f"stopped by {signal.Signals(sig).name}"


def said_status(status):
    if os.WIFSTOPPED(status):
        return stop_name(os.WSTOPSIG(status))
    return os.waitstatus_to_exitcode(status)


class Job:
    """sigtrace --json on the program, in a process group of its own (or
    with session, a session), its account on a pipe; its input a pipe, its
    output a pipe."""

    def __init__(self, *argv, tracer=None, session=False, user=None, groups=()):
        self.p = subprocess.Popen([tracer or SIGTRACE, "--json", PROGRAM_PATH, *argv], env=ENV,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  process_group=None if session else 0, start_new_session=session,
                                  user=user, group=user, extra_groups=None if user is None else list(groups))
        self.pid = self.p.pid
        self.out = Pipe(os.dup(self.p.stdout.fileno()))
        self.err = Pipe(os.dup(self.p.stderr.fileno()))
        self.p.stdout.close()
        self.p.stderr.close()
        self.status = None

    def wait(self, flags=0):
        self.status = waitpid(self.pid, flags)
        if not os.WIFSTOPPED(self.status):
            self.p.returncode = os.waitstatus_to_exitcode(self.status)
        return said_status(self.status)

    def close(self):
        """Whatever is left of it, ended: sigtrace, and the program, which
        may be in a group of its own."""
        self.p.stdin.close()
        if self.p.returncode is None:
            started = records(self.err.data)[:1]
            for target in (-self.pid, self.pid, *(r["pid"] for r in started)):
                try:
                    os.kill(target, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            self.wait()


def count_runs(job, send, want_senders, what):
    """Once the program counts SIGINT, send sends it; then SIGTERM to
    sigtrace, passed on, has the program say how often its handler ran,
    every SIGINT that sigtrace passes on having come before it."""
    try:
        job.out.said(f"{what}: the program ready", "ready\n")
        send()
        job.out.said(f"{what}: the program's handler", "int\n")
        os.kill(job.pid, signal.SIGTERM)
        out = job.out.said(f"{what}: the program's count", "runs ")
        check(f"{what}: sigtrace's status", job.wait(), 0)
        check(f"{what}: the handler's runs", out.decode().split("runs ")[1].split()[0], "1")
        check(f"{what}: who sent the program SIGINT", senders(job.err.all(what), "SIGINT"), want_senders)
    finally:
        job.close()


# Passing on: a signal to the job reaches the program once.

def case_group():
    """Once to the job's process group: once, not passed on again."""
    job = Job("count")
    count_runs(job, lambda: os.killpg(job.pid, signal.SIGINT), [os.getpid()], "kill -INT -PGRP")


def case_kill0():
    """kill 0 from a process beside sigtrace in its group, not traced."""
    job = Job("count")
    killer = []

    def send():
        p = subprocess.Popen([sys.executable, "-c", "import os, signal\nsignal.signal(signal.SIGINT, signal.SIG_IGN)\n"
                              "os.kill(0, signal.SIGINT)\n"], env=ENV, process_group=job.pid)
        killer.append(p.pid)
        check("kill 0: the sender's status", p.wait(timeout=LIMIT), 0)
    count_runs(job, send, killer, "kill 0")


def case_pidfd_group():
    """pidfd_send_signal to the job's process group (Linux 6.9 and later)."""
    job = Job("count")

    def send():
        fd = os.pidfd_open(job.pid)
        try:
            signal.pidfd_send_signal(fd, signal.SIGINT, None, PIDFD_SIGNAL_PROCESS_GROUP)
        except OSError as refused:  # an older kernel: kill -INT -PGRP instead
            if refused.errno != errno.EINVAL:
                raise
            print("pidfd-group: this kernel sends no signal to a process group by a pidfd")
            os.killpg(job.pid, signal.SIGINT)
        finally:
            os.close(fd)
    count_runs(job, send, [os.getpid()], "pidfd_send_signal to the group")


def case_every_process():
    """kill -1 from a user whose only other processes are sigtrace and the
    program: a lab's copy, with the capabilities a group's members trace
    with, run by a member."""
    stranger = int.from_bytes(os.urandom(2), "little") + 20000
    group, member = stranger, stranger + 1
    lab = shutil.copy(SIGTRACE, f"{TMP}/sigtrace")
    os.chown(lab, 0, group)
    os.chmod(lab, 0o754)
    os.setxattr(lab, "security.capability",
                struct.pack("<5I", 0x02000001, 0, 0, (1 << CAP_PERFMON - 32) | (1 << CAP_BPF - 32), 0))
    job = Job("count", tracer=lab, user=member, groups=[group])
    killer = []

    def send():
        python = shutil.which("python3", path=ENV["PATH"])  # the system's, which anyone may run
        p = subprocess.Popen([python, "-c", "import os, signal\nos.kill(-1, signal.SIGINT)\n"], env=ENV,
                             user=member, group=member)
        killer.append(p.pid)
        check("kill -1: the sender's status", p.wait(timeout=LIMIT), 0)
    count_runs(job, send, killer, "kill -1")


def case_alone():
    """To sigtrace alone, as kill sigtrace's pid sends it: passed on."""
    job = Job("count")
    count_runs(job, lambda: os.kill(job.pid, signal.SIGINT), [job.pid], "kill -INT PID")


def case_merged():
    """To sigtrace alone, then to the job's group, as timeout(1) sends it,
    while sigtrace is held stopped, so that the two merge there: one
    signal, which reached the program, as the two would have merged in
    the program."""
    job = Job("count")

    def send():
        os.kill(job.pid, signal.SIGSTOP)
        check("merged: sigtrace held", job.wait(os.WUNTRACED), "stopped by SIGSTOP")
        os.kill(job.pid, signal.SIGINT)
        os.killpg(job.pid, signal.SIGINT)
        os.kill(job.pid, signal.SIGCONT)
    count_runs(job, send, [os.getpid()], "merged")


def case_left_group():
    """To sigtrace's process group, which the program has left: passed on."""
    job = Job("count", "apart")
    count_runs(job, lambda: os.killpg(job.pid, signal.SIGINT), [job.pid], "kill -INT -PGRP, the program apart")


# Stopping: the job stops by the program's stop signal, as a shell sees it.

def stop_by(sig):
    """The program stops itself by sig: sigtrace, once the stop is in its
    account, stops by sig too; SIGCONT to the job sets both going, and
    afterwards sigtrace ignores SIGTSTP and SIGTTOU as before."""
    name = signal.Signals(sig).name
    job = Job("stop", "-", str(sig), "3")
    try:
        check(f"{name}: the job", job.wait(os.WUNTRACED), f"stopped by {name}")
        check(f"{name}: the stop told first", has("stop")(job.err.until(f"{name}: the stop told", has("stop"))), True)
        os.killpg(job.pid, signal.SIGCONT)
        job.err.until(f"{name}: the program's going on told", has("continue"))
        for again in (signal.SIGTSTP, signal.SIGTTOU):
            os.kill(job.pid, again)
        job.p.stdin.close()
        check(f"{name}: sigtrace, told SIGTSTP and SIGTTOU, then the program's end", job.wait(os.WUNTRACED), 3)
    finally:
        job.close()


def case_stop_tstp():
    stop_by(signal.SIGTSTP)


def case_stop_ttin():
    stop_by(signal.SIGTTIN)


def case_stop_ttou():
    stop_by(signal.SIGTTOU)


def poll(what, holds):
    """Looks, a hundred times a second, until holds()."""
    deadline = time.monotonic() + LIMIT
    while not holds():
        if time.monotonic() > deadline:
            raise Failed(f"{what}: not after {LIMIT} s")
        time.sleep(0.01)


def state(pid):
    """A process's state, as ps(1) shows it."""
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def case_orphaned():
    """sigtrace alone in an orphaned process group (a session of its own),
    where SIGTSTP stops nothing; the program in a group of its own, where
    it does: sigtrace goes on, and ends as the program does once set
    going.  A SIGHUP passed on to the stopped program says when sigtrace
    has seen the stop: it looks for the program's stop after passing a
    signal on, and for the record of that after its look."""
    job = Job("stop", "apart", str(signal.SIGTSTP), "3", session=True)
    try:
        program = records(job.err.until("orphaned: the program started", has("start")))[0]["pid"]
        poll("orphaned: the program stopped", lambda: state(program) == "T")
        os.kill(job.pid, signal.SIGHUP)

        def passed_on():
            pid, status = os.waitpid(job.pid, os.WNOHANG | os.WUNTRACED)
            if pid:
                job.status = status
                raise Failed(f"orphaned: sigtrace {said_status(status)}")
            return job.pid in senders(job.err.data, "SIGHUP")
        poll("orphaned: the SIGHUP passed on", passed_on)
        os.kill(program, signal.SIGCONT)
        job.p.stdin.close()
        check("orphaned: sigtrace, never stopped", job.wait(os.WUNTRACED), 3)
    finally:
        job.close()


class Session:
    """A shell's session on a pseudo-terminal, running one job: SHELL."""

    def __init__(self, mode, *argv):
        self.main, secondary = os.openpty()
        stdin_r, self.stdin = os.pipe()
        self.err_r, err_w = os.pipe()
        self.shell = subprocess.Popen([sys.executable, "-c", SHELL, str(secondary), mode, str(stdin_r), str(err_w),
                                       SIGTRACE, "--json", PROGRAM_PATH, *argv],
                                      env=ENV, start_new_session=True, stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, pass_fds=(secondary, stdin_r, err_w))
        for fd in (secondary, stdin_r, err_w):
            os.close(fd)
        self.tty = Pipe(self.main)
        self.err = Pipe(self.err_r)
        self.told = Pipe(os.dup(self.shell.stdout.fileno()))
        self.shell.stdout.close()
        self.job = self.said("the job started", "spawned")

    def said(self, what, key):
        lines = lambda data: [json.loads(line) for line in data.decode().splitlines() if line.endswith("}")]
        found = lambda data: [line[key] for line in lines(data) if key in line]
        return found(self.told.until(what, found))[0]

    def fg(self):
        self.shell.stdin.write(b"fg\n")
        self.shell.stdin.flush()

    def end_input(self):
        """The job's standard input ends."""
        if self.stdin is not None:
            os.close(self.stdin)
            self.stdin = None

    def close(self):
        self.end_input()
        self.shell.stdin.close()
        if self.shell.poll() is None:
            for target in (-self.job, -self.shell.pid):
                try:
                    os.kill(target, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        self.shell.wait(timeout=LIMIT)


def case_ctrl_z():
    """Ctrl-Z on the terminal: the job stops by SIGTSTP; fg goes on."""
    s = Session("fg", "wait")
    try:
        s.tty.said("Ctrl-Z: the program ready", "ready")
        os.write(s.main, b"\x1a")
        check("Ctrl-Z: the job", stop_name(s.said("Ctrl-Z: the job stopped", "stopped")), "stopped by SIGTSTP")
        s.err.until("Ctrl-Z: the stop told", has("stop"))
        s.fg()
        s.end_input()
        check("Ctrl-Z: after fg, the program's end", s.said("Ctrl-Z: the job's end", "status"), 3)
    finally:
        s.close()


def case_tostop():
    """A background job writes to a terminal set tostop: it stops by
    SIGTTOU; fg goes on, and the line is written."""
    s = Session("tostop", "write")
    try:
        check("tostop: the job", stop_name(s.said("tostop: the job stopped", "stopped")), "stopped by SIGTTOU")
        s.err.until("tostop: the stop told", has("stop"))
        s.fg()
        check("tostop: after fg, the program's end", s.said("tostop: the job's end", "status"), 3)
        s.tty.said("tostop: the line written", "written")
    finally:
        s.close()


def case_reaped():
    """The program ended, and sigtrace, waiting for its child, passes a
    SIGINT on to no one: a process that has the program's pid since, by
    the kernel's last pid set just below it, gets nothing."""
    job = Job("leave")
    holder = None
    try:
        account = job.err.until("reaped: the wait for the child told", has("waiting"))
        program = records(account)[0]["pid"]
        for _ in range(100):  # other processes may take it first
            with open("/proc/sys/kernel/ns_last_pid", "w") as f:
                f.write(str(program - 1))
            holder = subprocess.Popen([PROGRAM_PATH, "hold"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            if holder.pid == program:
                break
            holder.kill()
            holder.wait()
        else:
            print("reaped: not checked here: the program's pid could not be had again")
            return
        check("reaped: the holder ready", holder.stdout.readline(), b"ready\n")
        os.kill(job.pid, signal.SIGINT)
        check("reaped: sigtrace, ending its wait", job.wait(), 3)
        with open(f"/proc/{holder.pid}/status") as f:
            pending = {k: int(v, 16) for k, v in (line.split(":") for line in f) if k in ("SigPnd", "ShdPnd")}
        check("reaped: SIGINT pending for the holder", any(v & 1 << signal.SIGINT - 1 for v in pending.values()),
              False)
    finally:
        if holder:
            holder.kill()
            holder.wait()
        job.close()


def case_terminal():
    """^C on the terminal reaches the program once, and is not passed on."""
    s = Session("fg", "count")
    try:
        s.tty.said("^C: the program ready", "ready")
        os.write(s.main, b"\x03")
        s.tty.said("^C: the program's handler", "int")
        os.kill(s.job, signal.SIGTERM)
        out = s.tty.said("^C: the program's count", "runs ")
        check("^C: the job's end", s.said("^C: the job's end", "status"), 0)
        check("^C: the handler's runs", out.decode().split("runs ")[1].split()[0], "1")
        check("^C: who sent the program SIGINT", senders(s.err.all("^C"), "SIGINT"), ["terminal"])
    finally:
        s.close()


GROUPS = {
    "passing-on": {"group": case_group, "kill0": case_kill0, "pidfd-group": case_pidfd_group,
                   "every-process": case_every_process,
                   "alone": case_alone, "merged": case_merged, "left-group": case_left_group,
                   "reaped": case_reaped, "terminal": case_terminal},
    "stopping": {"stop-tstp": case_stop_tstp, "stop-ttin": case_stop_ttin, "stop-ttou": case_stop_ttou,
                 "ctrl-z": case_ctrl_z, "tostop": case_tostop, "orphaned": case_orphaned},
}


def chosen(names):
    cases = {name: run for group in GROUPS.values() for name, run in group.items()}
    if not names:
        return list(cases.items())
    picked = []
    for name in names:
        if name in GROUPS:
            picked += GROUPS[name].items()
        elif name in cases:
            picked.append((name, cases[name]))
        else:
            sys.exit(f"jobs_test.py: no case {name}: {', '.join([*GROUPS, *cases])}")
    return picked


def can_trace():
    if SIGTRACE == "not-built":
        skip("sigtrace is not built: it needs clang, bpftool, libbpf and nlohmann-json "
             "(apt-get install clang bpftool libbpf-dev pkgconf nlohmann-json3-dev)")
    if machine(SIGTRACE) != machine(sys.executable):
        skip("sigtrace is built for another machine: an emulator's own signals are not the program's")
    if os.getuid() != 0:
        skip("not root: sigtrace needs root, or a copy with CAP_BPF and CAP_PERFMON, to load its tracer")
    run = subprocess.run([SIGTRACE, "true"], env=ENV, capture_output=True, text=True)
    if run.returncode == 1 and run.stderr.count("\n") == 1:
        skip(run.stderr.strip())


def build(tmp):
    # Anyone may run it: the lab's member too.
    program = compiled(tmp, "program", PROGRAM)
    if not program:
        skip("no C compiler (cc, gcc or clang) to build the test's program")
    return program


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: jobs_test.py SIGTRACE [CASE...]")
    SIGTRACE = sys.argv[1]
    ENV = dict(ENV, PATH="/usr/sbin:/usr/bin:/sbin:/bin")
    cases = chosen(sys.argv[2:])
    can_trace()
    with tempfile.TemporaryDirectory() as TMP:
        PROGRAM_PATH = build(TMP)
        run_cases(cases)

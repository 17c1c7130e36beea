#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""What sigtrace costs, side by side with strace, with the kernel's bare
hooks and with nothing:

    sudo python3 scripts/bench.py [--only SECTIONS] [--best N] [BUILD_BIN [RUNS]]

Each section can be run alone (--only start,storm,...; all by default):

start    jumpback, a program that runs in a millisecond: the median wall
         time and the median peak memory (the largest process's resident
         set) of RUNS runs (default 11) alone, under `strace -f`, and
         under sigtrace with its lines, with --json and drawing its
         picture; each as a ratio to the program alone, and sigtrace's
         to strace's.
storm    the same for a program that sends itself 100 000 signals.
tracers  what tracing costs the rest of the machine.  A program that
         sigtrace does not trace, making 400 000 system calls, alone and
         while a sigtrace runs beside it (median wall time); then the
         CPU time (user and system, the best of N runs, default 5) of one
         making 1 000 000 getppid() calls, beside 0, 1, 4 and 8 idle
         sigtraces (`sigtrace -o /dev/null sleep 3600`, each loaded and
         attached before the calls start), in ms per million calls, as a
         ratio to none and per tracer.
floor    what the kernel charges for the hooks themselves: the same
         calls beside 1, 4 and 8 pairs of empty BPF programs on
         tp_btf/sys_enter and tp_btf/sys_exit, and beside 1, 4 and 8
         empty sys_exit programs alone (where sigtrace hooks the system
         calls, it hooks sys_exit alone on x86 and arm64), built here by clang and loaded
         through libbpf.  With the tracers section, sigtrace's cost per
         tracer over none against the cost of a pair of empty hooks.
hooks    with kernel.bpf_stats_enabled=1 (restored afterwards), the
         runs and average run time of each BPF program a sigtrace holds,
         whatever the programs are, while it traces the 100 000 signals
         and while it traces an idle `sleep` beside the getppid() calls.
         The runs are the whole machine's, not only the traced program's.
from     the 100 000 signals' JSON account read back by --from, as text
         and as JSON, beside Python's json.loads of each of its lines.

strace's and sigtrace's output goes to /dev/null.  A row that needs what
is not here (strace, clang, libbpf, the kernel's statistics) is skipped,
saying why.  Other processes' tracing programs may run on the calls
timed too: each getppid() row says how many of their links were attached
while it ran (others), and the tables of system calls and hooks how many
were as they began.  It measures; it asserts nothing."""
import argparse
import contextlib
import ctypes
import ctypes.util
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

SECTIONS = {
    "start": "jumpback's start",
    "storm": "100 000 signals",
    "tracers": "what sigtraces cost a program they do not trace",
    "floor": "what the kernel charges for empty hooks",
    "hooks": "each of sigtrace's BPF programs, timed by the kernel",
    "from": "an account read back",
}
TRACERS = (1, 4, 8)
CALLS = 1_000_000
NAME = 36  # width of a row's name

# Each run starts from this small launcher rather than from Python: a
# process's peak resident set counts what it held before its exec.  It
# prints the status, wall seconds, peak resident kilobytes and CPU
# seconds (user and system) of the program it runs.
LAUNCH = r"""
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>
int main(int argc, char **argv) {
	struct timespec start, end;
	struct rusage usage;
	int status;
	(void)argc;
	clock_gettime(CLOCK_MONOTONIC, &start);
	pid_t pid = fork();
	if (pid == 0) {
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		dup2(null, 2);
		execvp(argv[1], argv + 1);
		_exit(127);
	}
	wait4(pid, &status, 0, &usage);
	clock_gettime(CLOCK_MONOTONIC, &end);
	printf("%d %f %ld %f\n", status, (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9,
	       usage.ru_maxrss,
	       usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6);
}
"""
# Given an argument, it first waits for its standard input to close, so
# that the bench can take hold of a tracer's programs before it starts.
FLOOD = r"""
#include <signal.h>
#include <unistd.h>
static void on_usr1(int) {}
int main(int argc, char **) {
	char c;
	if (argc > 1)
		while (read(0, &c, 1) > 0)
			;
	signal(SIGUSR1, on_usr1);
	for (int i = 0; i < 100000; i++)
		kill(getpid(), SIGUSR1);
}
"""
# Unrelated to any traced program: a byte at a time, 200 000 times.
BYTES = r"""
#include <fcntl.h>
#include <unistd.h>
int main() {
	int in = open("/dev/zero", O_RDONLY), out = open("/dev/null", O_WRONLY);
	char c;
	for (int i = 0; i < 200000; i++)
		if (read(in, &c, 1) != 1 || write(out, &c, 1) != 1)
			return 1;
}
"""
# The cheapest system call there is, a million times.
GETPPID = r"""
#include <unistd.h>
int main() {
	for (int i = 0; i < %d; i++)
		getppid();
}
""" % CALLS
# Hooks that do nothing, where sigtrace's system-call hooks sit.
EMPTY = r"""
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

SEC("tp_btf/sys_enter")
int BPF_PROG(empty_enter)
{
	return 0;
}

SEC("tp_btf/sys_exit")
int BPF_PROG(empty_exit)
{
	return 0;
}

char LICENSE[] SEC("license") = "Dual BSD/GPL";
"""
ENTER, EXIT = "tp_btf/sys_enter", "tp_btf/sys_exit"
STATS = "/proc/sys/kernel/bpf_stats_enabled"
# The kinds of BPF link (enum bpf_link_type) through which a program
# runs on the kernel's events rather than on packets or cgroups: raw
# tracepoints, tp_btf, fentry and fexit, perf events, kprobes, uprobes.
TRACING_LINKS = {1, 2, 7, 8, 12}


def sections(text):
    chosen = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in chosen if name not in SECTIONS]
    if unknown or not chosen:
        raise argparse.ArgumentTypeError(f"sections are {','.join(SECTIONS)}, not {text!r}")
    return set(chosen)


def positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not a positive count")
    return value


def arguments():
    parser = argparse.ArgumentParser(
        usage="sudo python3 scripts/bench.py [--only SECTIONS] [--best N] [BUILD_BIN [RUNS]]",
        description="What sigtrace costs.  It measures; it asserts nothing.")
    parser.add_argument("bin_dir", nargs="?", default="build/bin", metavar="BUILD_BIN",
                        help="where sigtrace and jumpback are (default build/bin)")
    parser.add_argument("runs", nargs="?", type=positive, default=11, metavar="RUNS",
                        help="runs whose median wall time and memory each row gives (default 11)")
    parser.add_argument("--only", type=sections, default=set(SECTIONS), metavar="SECTIONS",
                        help=f"comma-separated, of {','.join(SECTIONS)} (default all)")
    parser.add_argument("--best", type=positive, default=5, metavar="N",
                        help="runs whose least CPU time each getppid() row gives (default 5)")
    return parser.parse_intermixed_args()


def grouped(number):
    """100 000 as the project writes it."""
    return f"{number:,}".replace(",", " ")


def ratio(part, whole):
    return f"{part / whole:8.2f}" if whole > 0 else f"{'-':>8}"


def skipped(name, why):
    print(f"{name:<{NAME}} skipped: {why}", flush=True)


class Libbpf:
    """The few calls of libbpf.so.1 the bench makes, through ctypes."""

    def __init__(self):
        try:
            lib = ctypes.CDLL("libbpf.so.1", use_errno=True)
        except OSError:
            found = ctypes.util.find_library("bpf")
            if not found:
                raise OSError("no libbpf.so.1 here") from None
            lib = ctypes.CDLL(found, use_errno=True)
        pointer, u32 = ctypes.c_void_p, ctypes.c_uint32
        for name, result, args in (
                ("bpf_object__open_file", pointer, [ctypes.c_char_p, pointer]),
                ("bpf_object__load", ctypes.c_int, [pointer]),
                ("bpf_object__close", None, [pointer]),
                ("bpf_object__next_program", pointer, [pointer, pointer]),
                ("bpf_program__section_name", ctypes.c_char_p, [pointer]),
                ("bpf_program__attach", pointer, [pointer]),
                ("bpf_link__destroy", ctypes.c_int, [pointer]),
                ("bpf_prog_get_fd_by_id", ctypes.c_int, [u32]),
                ("bpf_link_get_next_id", ctypes.c_int, [u32, ctypes.POINTER(u32)]),
                ("bpf_link_get_fd_by_id", ctypes.c_int, [u32]),
                ("bpf_obj_get_info_by_fd", ctypes.c_int, [ctypes.c_int, pointer, ctypes.POINTER(u32)])):
            try:
                function = getattr(lib, name)
            except AttributeError:
                raise OSError(f"this libbpf has no {name}") from None
            function.restype, function.argtypes = result, args
        self.lib = lib

    def info(self, fd, size):
        """The first size bytes of the kernel's account of a program or link."""
        buffer = ctypes.create_string_buffer(size)
        length = ctypes.c_uint32(size)
        error = self.lib.bpf_obj_get_info_by_fd(fd, buffer, ctypes.byref(length))
        if error:
            raise OSError(-error, os.strerror(-error))
        return buffer.raw

    def program_name(self, fd):
        # struct bpf_prog_info: name[16] at byte 64, since Linux 4.15.
        return self.info(fd, 80)[64:80].split(b"\0")[0].decode(errors="replace")

    def tracing_links(self, mine=frozenset()):
        """How many links, other than those whose ids are mine, run
        programs on the kernel's events."""
        count, link = 0, ctypes.c_uint32(0)
        while self.lib.bpf_link_get_next_id(link.value, ctypes.byref(link)) == 0:
            if link.value in mine:
                continue
            fd = self.lib.bpf_link_get_fd_by_id(link.value)
            if fd < 0:
                continue  # gone meanwhile
            try:
                # struct bpf_link_info: its type first.
                if int.from_bytes(self.info(fd, 4), sys.byteorder) in TRACING_LINKS:
                    count += 1
            except OSError:
                pass
            finally:
                os.close(fd)
        return count

    @contextlib.contextmanager
    def attached(self, path, count, wanted):
        """count copies of the object at path loaded, and its programs in
        the sections wanted attached, until the block ends."""
        objects, links = [], []
        try:
            for _ in range(count):
                obj = self.lib.bpf_object__open_file(path.encode(), None)
                if not obj:
                    raise OSError(f"libbpf cannot open {path}: {os.strerror(ctypes.get_errno())}")
                objects.append(obj)
                error = self.lib.bpf_object__load(obj)
                if error:
                    raise OSError(f"the kernel refused {path}: {os.strerror(-error)}")
                program = self.lib.bpf_object__next_program(obj, None)
                while program:
                    if self.lib.bpf_program__section_name(program).decode() in wanted:
                        link = self.lib.bpf_program__attach(program)
                        if not link:
                            raise OSError(f"cannot attach to {', '.join(wanted)}: {os.strerror(ctypes.get_errno())}")
                        links.append(link)
                    program = self.lib.bpf_object__next_program(obj, program)
            yield
        finally:
            for link in links:
                self.lib.bpf_link__destroy(link)
            for obj in objects:
                self.lib.bpf_object__close(obj)


def fdinfo(path):
    """A /proc/PID/fdinfo/FD file's fields, as a list of (name, value)."""
    try:
        with open(path) as f:
            return [tuple(part.strip() for part in line.split(":", 1)) for line in f if ":" in line]
    except OSError:
        return []  # closed meanwhile


def held(pid, what):
    """The ids of the BPF programs (prog_id) or links (link_id) a process
    holds."""
    ids = set()
    folder = f"/proc/{pid}/fdinfo"
    try:
        fds = os.listdir(folder)
    except OSError:
        return ids  # gone
    for fd in fds:
        ids.update(int(value) for name, value in fdinfo(os.path.join(folder, fd)) if name == what)
    return ids


def child_named(pid, comm):
    """Whether a child of pid has become a program called comm."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        name, rest = stat[stat.index("(") + 1:stat.rindex(")")], stat[stat.rindex(")") + 1:].split()
        if int(rest[1]) == pid and name == comm[:15]:
            return True
    return False


class Sigtrace:
    """A sigtrace running beside the bench, its messages kept."""

    def __init__(self, options, argv, stdin=None):
        self.program = os.path.basename(argv[0])
        self.messages = tempfile.TemporaryFile()
        self.process = subprocess.Popen([*options, *argv], stdin=stdin, stdout=subprocess.DEVNULL, stderr=self.messages)

    def fail(self, what):
        self.messages.seek(0)
        said = self.messages.read().decode(errors="replace").strip()
        sys.exit(f"bench: sigtrace {what}" + (f": {said}" if said else ""))

    def wait_traced(self, timeout=300):
        """Until its program runs: sigtrace lets it exec once its own
        programs are loaded and attached.  Slow under emulation."""
        deadline = time.monotonic() + timeout
        while not child_named(self.process.pid, self.program):
            if self.process.poll() is not None:
                self.fail(f"ended with status {self.process.returncode} before {self.program} ran")
            if time.monotonic() > deadline:
                self.fail(f"had not started {self.program} after {timeout} s")
            time.sleep(0.01)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()  # passed on to its program
            try:
                self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.messages.close()


@contextlib.contextmanager
def idle_sigtraces(sigtrace, count):
    """count sigtraces of an idle sleep, each tracing, until the block ends."""
    tracers = []
    try:
        for _ in range(count):
            tracers.append(Sigtrace([sigtrace, "-o", os.devnull], ["sleep", "3600"]))
        for tracer in tracers:
            tracer.wait_traced()
        yield tracers
    finally:
        for tracer in tracers:
            tracer.stop()


@contextlib.contextmanager
def bpf_stats():
    """The kernel timing each BPF program's runs, as it was afterwards."""
    with open(STATS) as f:
        was = f.read().strip()
    with open(STATS, "w") as f:
        f.write("1")
    try:
        yield
    finally:
        with open(STATS, "w") as f:
            f.write(was)


class Bench:
    def __init__(self, options, tmp):
        self.runs, self.best = options.runs, options.best
        self.sigtrace = os.path.join(options.bin_dir, "sigtrace")
        self.jumpback = os.path.join(options.bin_dir, "jumpback")
        self.tmp = tmp
        self.strace = shutil.which("strace")
        for name, source in (("launch", LAUNCH), ("flood", FLOOD), ("bytes", BYTES), ("getppid", GETPPID)):
            path = os.path.join(tmp, name)
            try:
                subprocess.run(["c++", "-O2", "-x", "c++", "-o", path, "-"], input=source.encode(), check=True)
            except (OSError, subprocess.CalledProcessError) as error:
                sys.exit(f"bench: its programs need a C++ compiler, c++: {error}")
            setattr(self, name, path)
        try:
            self.libbpf, self.no_libbpf = Libbpf(), None
        except OSError as error:
            self.libbpf, self.no_libbpf = None, str(error)
        self.per_tracer = {}  # sigtrace's cost per tracer over none, by count

    def measure(self, argv):
        """Wall seconds, peak resident kilobytes and CPU seconds of one run."""
        said = subprocess.run([self.launch, *argv], capture_output=True, text=True, check=True).stdout.split()
        if said[0] != "0":
            sys.exit(f"bench: {' '.join(argv)} failed")
        return float(said[1]), int(said[2]), float(said[3])

    def row(self, name, argv, alone=None):
        """The median wall time and peak memory of RUNS runs; the wall time."""
        walls, peaks, _ = zip(*(self.measure(argv) for _ in range(self.runs)))
        wall = statistics.median(walls)
        print(f"{name:<{NAME}} {wall * 1000:10.1f} ms {statistics.median(peaks) / 1024:8.1f} MB"
              f"{'' if alone is None else ratio(wall, alone)}", flush=True)
        return wall

    def calls(self):
        """ms of CPU time per million getppid() calls: the least of --best runs."""
        return min(self.measure([self.getppid])[2] for _ in range(self.best)) * 1000 * 1_000_000 / CALLS

    def cpu_row(self, name, count=0, none=None, tracers=()):
        """A getppid() row; its figure.  Beside count tracers or hooks, its
        excess over none per each; and how many tracing links of others
        were attached meanwhile, at most."""
        others = self.others(tracers)
        ms = self.calls()
        others = max(others, self.others(tracers))
        line = f"{name:<{NAME}} {ms:10.1f} ms"
        line += f"{'':8}" if none is None else ratio(ms, none)
        line += f" {(ms - none) / count:10.1f} ms" if count else f" {'':>13}"
        print(f"{line} {others if others >= 0 else '-':>7}", flush=True)
        return ms

    def others(self, tracers=()):
        """How many links of other processes run programs on the kernel's
        events (and may on our calls), beside ours and those of the
        sigtraces given; -1 where we cannot tell."""
        if not self.libbpf:
            return -1
        mine = held(os.getpid(), "link_id")
        for tracer in tracers:
            mine |= held(tracer.process.pid, "link_id")
        return self.libbpf.tracing_links(mine)

    def note_others(self):
        count = self.others()
        if count > 0:
            print(f"(beside {count} BPF links of other processes on the kernel's events, "
                  "whose programs may run on these calls too)")

    def header(self, title, *columns):
        line = f"{title:<{NAME}}" + "".join(f" {column:>{width}}" for column, width in columns)
        print(line.rstrip(), flush=True)

    def launch_rows(self, program, argv):
        self.header(f"{program}, median of {self.runs}", ("wall", 13), ("peak memory", 11), ("x alone", 8))
        alone = self.row("alone", argv)
        if self.strace:
            strace = self.row("  under strace -f", ["strace", "-f", "-o", os.devnull, *argv], alone)
        else:
            skipped("  under strace -f", "no strace here")
        traced = self.row("  under sigtrace", [self.sigtrace, "-o", os.devnull, *argv], alone)
        self.row("  under sigtrace --json", [self.sigtrace, "--json", "-o", os.devnull, *argv], alone)
        self.row("  under sigtrace --svg", [self.sigtrace, "-o", os.devnull, "--svg", os.devnull, *argv], alone)
        if self.strace:
            print(f"{'  sigtrace / strace -f':<{NAME}} {traced / strace:13.2f}")

    def start(self):
        self.launch_rows("jumpback", [self.jumpback])

    def storm(self):
        self.launch_rows("100 000 signals", [self.flood])

    def tracers(self):
        self.header(f"400 000 system calls, median of {self.runs}", ("wall", 13), ("peak memory", 11),
                    ("x alone", 8))
        self.note_others()
        alone = self.row("alone", [self.bytes])
        for json in ([], ["--json"]):
            beside = Sigtrace([self.sigtrace, *json, "-o", os.devnull], ["sleep", "3600"])
            try:
                beside.wait_traced()
                self.row(f"  beside a sigtrace {' '.join(json)}", [self.bytes], alone)
            finally:
                beside.stop()
        print()
        self.header(f"{grouped(CALLS)} getppid(), best of {self.best}", ("CPU per 1M", 13), ("x none", 8),
                    ("per tracer", 13), ("others", 7))
        none = self.cpu_row("no sigtrace beside")
        for count in TRACERS:
            with idle_sigtraces(self.sigtrace, count) as tracers:
                ms = self.cpu_row(f"  beside {count} idle sigtrace{'s' if count > 1 else ''}", count, none,
                                  tracers)
            self.per_tracer[count] = (ms - none) / count

    def floor(self):
        self.header(f"{grouped(CALLS)} getppid(), best of {self.best}", ("CPU per 1M", 13), ("x none", 8),
                    ("per each", 13), ("others", 7))
        if not self.libbpf:
            return skipped("empty hooks", self.no_libbpf)
        if not shutil.which("clang"):
            return skipped("empty hooks", "no clang here to build them")
        empty = os.path.join(self.tmp, "empty.bpf.o")
        built = subprocess.run(["clang", "-g", "-O2", "-target", "bpf", *multiarch(), "-c", "-o", empty,
                                "-x", "c", "-"], input=EMPTY.encode(), capture_output=True)
        if built.returncode != 0:
            return skipped("empty hooks", "clang cannot build them: "
                           + built.stderr.decode(errors="replace").strip().splitlines()[-1])
        print("(a pair: an empty program on tp_btf/sys_enter and one on tp_btf/sys_exit)")
        none = self.cpu_row("no hook")
        floors = {}
        try:
            for wanted, what in (((ENTER, EXIT), "empty pair"), ((EXIT,), "empty sys_exit")):
                for count in TRACERS:
                    with self.libbpf.attached(empty, count, wanted):
                        ms = self.cpu_row(f"  beside {count} {what}{'s' if count > 1 else ''}", count, none)
                    floors[what, count] = (ms - none) / count
        except OSError as error:
            return skipped("empty hooks", str(error))
        if not self.per_tracer:
            print("(with the tracers section too, sigtrace's cost per tracer against the floor's)")
            return None
        print()
        self.header("over none, each", ("sigtrace", 13), ("empty pair", 13), ("sigtrace/pair", 13),
                    ("sys_exit", 13), ("sigtrace/exit", 13))
        for count in TRACERS:
            tracer, pair, one = self.per_tracer[count], floors["empty pair", count], floors["empty sys_exit", count]
            print(f"{'  of ' + str(count):<{NAME}} {tracer:10.1f} ms {pair:10.1f} ms {ratio(tracer, pair):>13}"
                  f" {one:10.1f} ms {ratio(tracer, one):>13}")
        print("(the aim: sigtrace/pair within 1.3, and below 1 where one hook will do)")
        return None

    def hook_table(self, title, tracer, while_traced):
        """Each program the tracer holds: its runs, and its average run
        time, over the time it ran.  Our own descriptors keep the
        programs, and what the kernel counted, once sigtrace has gone."""
        print(f"{title:<{NAME}} {'runs':>13} {'average':>11} {'total':>11}", flush=True)
        fds = []
        try:
            tracer.wait_traced()
            for program in sorted(held(tracer.process.pid, "prog_id")):
                fd = self.libbpf.lib.bpf_prog_get_fd_by_id(program)
                if fd >= 0:
                    fds.append(fd)
            while_traced()
            tracer.stop()
            if not fds:
                print("  (none that could be opened by its id)")
            for fd in fds:
                fields = dict(fdinfo(f"/proc/self/fdinfo/{fd}"))
                runs, ns = int(fields.get("run_cnt", 0)), int(fields.get("run_time_ns", 0))
                average = f"{ns / runs:8.0f} ns" if runs else f"{'-':>11}"
                print(f"  {self.libbpf.program_name(fd):<{NAME - 2}} {grouped(runs):>13} {average}"
                      f" {ns / 1e6:8.1f} ms")
        finally:
            tracer.stop()
            for fd in fds:
                os.close(fd)

    def hooks(self):
        if not self.libbpf:
            return skipped("its programs", self.no_libbpf)
        if not os.path.exists(STATS):
            return skipped("its programs", f"this kernel has no {STATS}")
        self.note_others()
        with bpf_stats():
            storm = Sigtrace([self.sigtrace, "-o", os.devnull], [self.flood, "wait"], stdin=subprocess.PIPE)

            def flood():
                storm.process.stdin.close()  # the signals start
                if storm.process.wait() != 0:
                    storm.fail(f"ended with status {storm.process.returncode}")

            self.hook_table("tracing 100 000 signals", storm, flood)
            print()
            idle = Sigtrace([self.sigtrace, "-o", os.devnull], ["sleep", "3600"])
            self.hook_table(f"idle, beside {grouped(CALLS)} getppid()", idle, lambda: self.measure([self.getppid]))
        return None

    def from_(self):
        # An account read back: the reader and the model against a
        # well-known JSON parser that only parses.
        account = os.path.join(self.tmp, "account.json")
        subprocess.run([self.sigtrace, "--json", "-o", account, self.flood], check=True,
                       stderr=subprocess.DEVNULL)
        with open(account) as f:
            lines = sum(1 for _ in f)
        self.header(f"{grouped(lines)} records, median of {self.runs}", ("wall", 13), ("peak memory", 11),
                    ("x loads", 8))
        loads = self.row("Python's json.loads", [sys.executable, "-c",
                         f"import json\nfor line in open({account!r}): json.loads(line)"])
        self.row("  sigtrace --from", [self.sigtrace, "--from", account, "-o", os.devnull], loads)
        self.row("  sigtrace --from --json", [self.sigtrace, "--from", account, "--json", "-o", os.devnull], loads)


def multiarch():
    """Where this system keeps the kernel's headers for its architecture
    (asm/types.h), which clang's BPF target does not look in."""
    try:
        triple = subprocess.run(["c++", "-print-multiarch"], capture_output=True, text=True).stdout.strip()
    except OSError:
        triple = ""
    return ["-idirafter", f"/usr/include/{triple}"] if triple else []


def main():
    options = arguments()
    sigtrace = os.path.join(options.bin_dir, "sigtrace")
    if not os.access(sigtrace, os.X_OK):
        sys.exit(f"bench: no {sigtrace}: build it first")
    # Killed, it still stops its tracers and restores the kernel's settings.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda number, _: sys.exit(128 + number))
    with tempfile.TemporaryDirectory() as tmp:
        bench = Bench(options, tmp)
        system = os.uname()
        print(f"{sigtrace} on Linux {system.release} {system.machine}, {os.cpu_count()} CPUs", flush=True)
        for section, what in SECTIONS.items():
            if section in options.only:
                print(f"\n== {section}: {what}", flush=True)
                getattr(bench, "from_" if section == "from" else section)()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""What sigtrace costs, side by side with strace and with nothing:

    sudo python3 scripts/bench.py [BUILD_BIN [RUNS]]

For jumpback, a program that runs in a millisecond, and for a program
that sends itself 100 000 signals: the median wall time and the median
peak memory (the largest process's resident set) of RUNS runs (default
11) of the program alone, under `strace -f`, and under sigtrace, with
its lines, with --json and drawing its picture.  Then what tracing costs
the rest of the machine: a program that sigtrace does not trace, making
400 000 system calls, alone and while a sigtrace runs beside it.  Last,
the 100 000 signals' JSON account read back by --from, as text and as
JSON, beside Python's json.loads of each of its lines.  strace's and
sigtrace's output goes to /dev/null.  It measures; it asserts nothing."""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

bin_dir = sys.argv[1] if len(sys.argv) > 1 else "build/bin"
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 11
sigtrace = os.path.join(bin_dir, "sigtrace")
# Each run starts from this small launcher rather than from Python: a
# process's peak resident set counts what it held before its exec.
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
	printf("%d %f %ld\n", status, (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9,
	       usage.ru_maxrss);
}
"""
FLOOD = r"""
#include <signal.h>
#include <unistd.h>
static void on_usr1(int) {}
int main() {
	signal(SIGUSR1, on_usr1);
	for (int i = 0; i < 100000; i++)
		kill(getpid(), SIGUSR1);
}
"""
# Unrelated to any traced program: a byte at a time, 200 000 times.
CALLS = r"""
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


def measure(argv):
    """Wall seconds and peak resident kilobytes of one run."""
    said = subprocess.run([launch, *argv], capture_output=True, text=True, check=True).stdout.split()
    if said[0] != "0":
        sys.exit(f"bench: {' '.join(argv)} failed")
    return float(said[1]), int(said[2])


def row(name, argv):
    walls, peaks = zip(*(measure(argv) for _ in range(runs)))
    print(f"{name:<28} {statistics.median(walls) * 1000:10.1f} ms {statistics.median(peaks) / 1024:8.1f} MB")


if not os.access(sigtrace, os.X_OK):
    sys.exit(f"bench: no {sigtrace}: build it first")
with tempfile.TemporaryDirectory() as tmp:
    launch, flood, calls = (os.path.join(tmp, name) for name in ("launch", "flood", "calls"))
    for path, source in ((launch, LAUNCH), (flood, FLOOD), (calls, CALLS)):
        subprocess.run(["c++", "-O2", "-x", "c++", "-o", path, "-"], input=source.encode(), check=True)
    jumpback = os.path.join(bin_dir, "jumpback")
    print(f"{'median of ' + str(runs) + ' runs':<28} {'wall':>13} {'peak memory':>11}")
    for name, prog in (("jumpback", jumpback), ("100 000 signals to itself", flood)):
        row(f"{name}", [prog])
        if shutil.which("strace"):
            row("  under strace -f", ["strace", "-f", "-o", os.devnull, prog])
        row("  under sigtrace", [sigtrace, "-o", os.devnull, prog])
        row("  under sigtrace --json", [sigtrace, "--json", "-o", os.devnull, prog])
        row("  under sigtrace --svg", [sigtrace, "-o", os.devnull, "--svg", os.devnull, prog])
    row("400 000 system calls, alone", [calls])
    for json in ([], ["--json"]):
        beside = subprocess.Popen([sigtrace, *json, "-o", os.devnull, "sleep", "3600"])
        try:
            row(f"  beside a sigtrace {' '.join(json)}", [calls])
        finally:
            beside.terminate()
            beside.wait()
    # An account read back: the reader and the model against a
    # well-known JSON parser that only parses.
    account = os.path.join(tmp, "account.json")
    subprocess.run([sigtrace, "--json", "-o", account, flood], check=True, stderr=subprocess.DEVNULL)
    with open(account) as f:
        lines = sum(1 for _ in f)
    row(f"{lines} records, json.loads", [sys.executable, "-c",
        f"import json\nfor line in open({account!r}): json.loads(line)"])
    row("  sigtrace --from", [sigtrace, "--from", account, "-o", os.devnull])
    row("  sigtrace --from --json", [sigtrace, "--from", account, "--json", "-o", os.devnull])

# SPDX-License-Identifier: ISC
"""The lab: every patch applies and touches one program; every answer in
the key holds, with every compiler given.

    lab_test.py --sources DIR --lab DIR --sigtrace PATH CXX...

The sources are this tree, or a folder holding the three programs' files
as the package installs them.  Each experiment's transcript in lab/key/
is run by cram, once per compiler; those that need strace or the
kernel's account run once, and are skipped, saying why, where they
cannot run."""
import argparse
import concurrent.futures
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

from harness import expect, finish, machine, skip

PROGRAMS = ("pendfork", "jumpback", "alarmloop")

parser = argparse.ArgumentParser()
parser.add_argument("--sources", required=True)
parser.add_argument("--lab", required=True)
parser.add_argument("--sigtrace", required=True)
parser.add_argument("compilers", nargs="+")
args = parser.parse_args()
lab = os.path.abspath(args.lab)
key = os.path.join(lab, "key")

# Every experiment starts as from a login shell, whatever started us:
# nothing blocked, nothing ignored (autopkgtest ignores SIGINT, say).
signal.pthread_sigmask(signal.SIG_SETMASK, set())
for signo in signal.valid_signals() - {signal.SIGKILL, signal.SIGSTOP}:
    if signal.getsignal(signo) == signal.SIG_IGN:
        signal.signal(signo, signal.SIG_DFL)

cram = shutil.which("cram3") or shutil.which("cram")
if not cram:
    skip("cram is not installed (apt-get install python3-cram)")
if not shutil.which("patch"):
    skip("patch is not installed (apt-get install patch)")

# Every patch has its answer in the key, and the other way round; each
# changes one program's source, and applies at the top of the tree.
patches = sorted(f for f in os.listdir(lab) if f.endswith(".patch"))
answers = sorted(f for f in os.listdir(key) if re.match(r"\d+-.*\.t$", f))
expect("a key for each patch", [p[:-6] for p in patches], [a[:-2] for a in answers])
tree = os.path.isdir(os.path.join(args.sources, "pendfork"))
for patch in patches:
    with open(os.path.join(lab, patch)) as f:
        changed = re.findall(r"^\+\+\+ b/(\S+)", f.read(), re.M)
    prog = patch.split("-")[1]
    expect(f"{patch} changes one program", changed, [f"{prog}/{prog}.cpp"])
    if tree:
        applied = subprocess.run(["patch", "-p1", "--dry-run", "-s", "-d", args.sources, "-i",
                                  os.path.join(lab, patch)], capture_output=True, text=True)
        expect(f"{patch} applies with patch -p1", (applied.returncode, applied.stdout), (0, ""))

work = tempfile.mkdtemp()
sources = os.path.join(work, "sources")
os.mkdir(sources)
for prog in PROGRAMS:
    shutil.copy(os.path.join(args.sources, prog, f"{prog}.cpp") if tree
                else os.path.join(args.sources, f"{prog}.cpp"), sources)


# A compiler for another architecture builds programs that run through an
# emulator, which strace and the kernel's account would see instead.
probe = os.path.join(work, "probe")
subprocess.run([args.compilers[0], "-x", "c++", "-o", probe, "-"], input=b"int main() {}\n", check=True)
native = machine(probe) == machine(sys.executable)

why_not = {}
if not native:
    why_not["strace.t"] = why_not["kernel.t"] = "the programs run through an emulator"
else:
    if not shutil.which("strace"):
        why_not["strace.t"] = "strace is not installed"
    if args.sigtrace == "not-built":
        why_not["kernel.t"] = "sigtrace is not built"
    else:
        traced = subprocess.run([args.sigtrace, "true"], capture_output=True, text=True)
        if traced.returncode != 0:
            why_not["kernel.t"] = traced.stderr.strip()

# cram leaves a .err file beside a transcript that fails: a copy of
# the key, then.
copy = shutil.copytree(key, os.path.join(work, "key"))
jobs = [(cxx, a) for cxx in args.compilers for a in answers]
for extra in ("strace.t", "kernel.t"):
    if extra in why_not:
        print(f"skipped {extra}: {why_not[extra]}")
    else:
        jobs.append((args.compilers[0], extra))


def run(job):
    cxx, answer = job
    # Only what the transcripts use: a library that the build preloads
    # (a faked clock, say) must not run in the programs.
    env = dict(PATH=os.environ["PATH"], SRC=sources, LAB=lab, CXX=cxx,
               SIGTRACE=os.path.abspath(args.sigtrace), TMPDIR=work)
    r = subprocess.run([cram, "--shell=/bin/bash", os.path.join(copy, answer)],
                       capture_output=True, text=True, env=env)
    return job, r.returncode, r.stdout + r.stderr


with concurrent.futures.ThreadPoolExecutor(6) as pool:
    for (cxx, answer), status, said in pool.map(run, jobs):
        if status != 0:
            print(said)
        expect(f"{answer} with {cxx}", status, 0)
print(f"ran {len(jobs)} transcripts with {', '.join(args.compilers)}")
shutil.rmtree(work)
if why_not and os.environ.get("SIGDEMOS_NO_SKIP"):
    expect("nothing skipped (SIGDEMOS_NO_SKIP)", why_not, {})
finish()

#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""What each writer makes of a few real accounts, byte for byte.

Each account in tests/fuzz/corpus/reader/ named below is read back by
sigtrace --from and told as text, as JSON and as a picture; each must be
the file of that name in tests/golden/, on every machine: a package
built for another runs sigtrace under qemu-user.  A change to what a writer says
shows here whole, for a person to read in the diff.  After a change meant
so, `golden_test.py SIGTRACE --update` writes the files anew.

usage: golden_test.py SIGTRACE [--update]"""
import os
import shutil
import subprocess
import sys
import tempfile

from harness import ENV, expect, finish, skip

HERE = os.path.dirname(os.path.abspath(__file__))
ACCOUNTS = os.path.join(HERE, "fuzz", "corpus", "reader")
GOLDEN = os.path.join(HERE, "golden")
# A process and its child, a handler run after run, threads, stops and
# a continue, descendants waited for, and records lost.
NAMES = ["pendfork", "alarmloop", "threads", "stops", "waits", "lost"]


def told(sigtrace, source):
    """The text, the JSON and the picture of one account.  It is read from
    a copy: sigtrace --from gives up every capability first, and a package
    build's root may need one to reach the tree."""
    def told_as(*options):
        done = subprocess.run([sigtrace, "--from", account, *options], env=ENV, capture_output=True)
        expect(f"{os.path.basename(account)} {' '.join(options[:1])}: told", (done.returncode, done.stderr),
               (0, b""))
        return done.stdout
    with tempfile.TemporaryDirectory() as scratch:
        account = shutil.copy(source, scratch)
        picture = os.path.join(scratch, "picture.svg")
        told_as("--svg", picture)
        svg = b""
        if os.path.exists(picture):
            with open(picture, "rb") as f:
                svg = f.read()
        return {"txt": told_as(), "jsonl": told_as("--json"), "svg": svg}


def main():
    if len(sys.argv) < 2 or sys.argv[1] == "not-built":
        skip("sigtrace is not built here")
    sigtrace = sys.argv[1]
    update = "--update" in sys.argv[2:]
    for name in NAMES:
        for kind, got in told(sigtrace, os.path.join(ACCOUNTS, name + ".json")).items():
            path = os.path.join(GOLDEN, f"{name}.{kind}")
            if update:
                with open(path, "wb") as f:
                    f.write(got)
                continue
            with open(path, "rb") as f:
                want = f.read()
            if got != want:
                lines = zip(got.decode().splitlines(), want.decode().splitlines())
                first = next(((g, w) for g, w in lines if g != w), ("", ""))
                expect(f"{name}.{kind}, the first line that differs", first[0], first[1])
                expect(f"{name}.{kind}, its length", len(got), len(want))
    finish()


main()

# SPDX-License-Identifier: ISC
"""sigtrace's JSON account, read from standard input, as one short line
per event: who, then what, from the fields alone.  Times and process ids
are left out, as they change from run to run, and so is the summary.

    process SIGUSR1 pending from self
    process SIGUSR1 delivered to handler SA_RESTART from self
    process SIGUSR1 returns; blocked: none
    child killed by SIGTERM; pending: SIGALRM; blocked: SIGALRM
"""
import json
import sys

labels = {}  # process id: process or child


def who(record):
    if record["tid"] != record["pid"]:
        return "thread"
    return labels.setdefault(record["pid"], "child" if labels else "process")


def names(signals):
    return " ".join(signals) or "none"


for line in sys.stdin:
    r = json.loads(line)
    kind = r["type"]
    if kind in ("start", "summary"):
        continue
    if kind == "fork":
        labels[r["child"]] = "child"
    if kind == "signal":
        what = [r["sig"], r["what"]]
        if "action" in r:
            what += ["to", r["action"], *r.get("flags", [])]
        if "by" in r:
            what += ["by", r["by"]]
        if "from" in r:
            what += ["from", r["from"]["kind"]]
        text = " ".join(what)
    elif kind in ("exit", "thread_exit"):
        end = f"killed by {r['signal']}" if "signal" in r else f"exits {r['status']}"
        text = f"{end}; pending: {names(r['pending'])}; blocked: {names(r['blocked'])}"
    elif kind == "exec":
        text = f"exec {r['program']}"
    elif kind == "return":
        how = "leaves by a long jump" if r["jumped"] else "returns"
        text = f"{r.get('sig', 'handler')} {how}; blocked: {names(r['blocked'])}"
    elif kind == "blocked":
        text = f"blocks {names(r['blocked'])}"
    else:
        text = kind
    print(who(r), text)

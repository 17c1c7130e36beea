# SPDX-License-Identifier: ISC
"""sigtrace's picture, drawn with no privilege from JSON accounts written
here: well-formed XML that escapes what it quotes, names of any bytes
shown escaped, with the marks each account calls for, bounded in size and
in time however many signals, processes and threads, rendered by
rsvg-convert without a word of complaint; and a JSON account that is not
one refused, naming its line."""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
import zlib

from harness import ENV, expect, finish, skip

sigtrace = sys.argv[1]
if sigtrace == "not-built":
    skip("sigtrace is not built: it needs clang, bpftool and libbpf (apt-get install clang bpftool libbpf-dev pkgconf)")
SVG = "{http://www.w3.org/2000/svg}"


def start(program="prog", pid=10):
    return [{"type": "start", "version": 1, "us": 0, "pid": pid, "tid": pid, "program": program},
            {"type": "exec", "us": 1, "pid": pid, "tid": pid, "program": program, "blocked": []}]


def signal(us, what, sig, signo, pid=10, tid=None, **fields):
    record = {"type": "signal", "us": us, "pid": pid, "tid": tid or pid, "sig": sig, "signo": signo, "what": what}
    if what in ("pending", "merged", "ignored", "lost", "dropped"):
        record["to"] = "process"
        fields.setdefault("from", {"kind": "self", "pid": pid, "tid": pid, "comm": "prog"})
    return dict(record, **fields)


def handler(us, sig, signo, queued_us, blocked, pid=10):
    return signal(us, "delivered", signo=signo, sig=sig, pid=pid, queued_us=queued_us, action="handler",
                  flags=["SA_RESTART"], blocked=blocked,
                  **{"from": {"kind": "self", "pid": pid, "tid": pid, "comm": "prog"}})


def back(us, sig, signo, ran, blocked, pid=10):
    return {"type": "return", "us": us, "pid": pid, "tid": pid, "sig": sig, "signo": signo, "ran_us": ran,
            "jumped": False, "blocked": blocked}


def end(us, pid=10, status=0, pending=(), blocked=()):
    return {"type": "exit", "us": us, "pid": pid, "tid": pid, "status": status, "pending": list(pending),
            "blocked": list(blocked)}


def summary(us, pid=10):
    return {"type": "summary", "us": us, "pid": pid, "tid": pid, "lost": 0, "processes": []}


took = {}


def draw(tmp, name, records):
    """The picture of the account, and what sigtrace said; the seconds it
    took go in took."""
    account, picture = f"{tmp}/{name}.json", f"{tmp}/{name}.svg"
    with open(account, "w") as f:
        f.writelines(json.dumps(r) + "\n" for r in records)
    began = time.monotonic()
    done = subprocess.run([sigtrace, "--from", account, "--svg", picture], capture_output=True, env=ENV)
    took[name] = time.monotonic() - began
    expect(f"{name}: drawn, saying nothing", (done.returncode, done.stdout, done.stderr), (0, b"", b""))
    return picture


def told(tmp, name):
    """The seconds that telling the account drawn as name took, as text:
    reading it costs the most of that and of drawing it alike."""
    began = time.monotonic()
    done = subprocess.run([sigtrace, "--from", f"{tmp}/{name}.json", "-o", os.devnull], capture_output=True,
                          env=ENV)
    expect(f"{name}: told as text", done.returncode, 0)
    return time.monotonic() - began


def not_drawn(found):
    """What the grey box counts, by its key."""
    return {key: int(n) for k, t in found if k == "dense"
            for key, n in (part.rsplit(" ", 1) for part in t.split(": ", 1)[1].split(", "))}


def thread_end(us, tid, pid=10):
    return {"type": "thread_exit", "us": us, "pid": pid, "tid": tid, "status": 0, "pending": [], "blocked": []}


def marks(picture):
    """Each mark's kind and title, in the order drawn; the tree."""
    tree = ET.parse(picture)
    found = [(g.get("class").split()[1], g.find(f"{SVG}title").text)
             for g in tree.iter(f"{SVG}g") if (g.get("class") or "").startswith("mark ")]
    return found, tree


def words(title):
    return " ".join(title.split())


def kinds(found):
    return sorted(kind for kind, _ in found)


def png_read(path):
    """A PNG of RGB or RGBA: its width, height, bit depth and colour type,
    and its rows as they are stored, each after its filter byte."""
    with open(path, "rb") as f:
        data = f.read()
    expect(f"{path}: a PNG", data[:8], b"\x89PNG\r\n\x1a\n")
    width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
    chunks, at = b"", 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        if kind == b"IDAT":
            chunks += data[at + 8:at + 8 + length]
        at += 12 + length
    return width, height, depth, colour, zlib.decompress(chunks)


def png_pixels(path):
    """The width and height of a PNG of 8-bit RGB or RGBA, and a function
    that gives the RGB of the pixel at x, y."""
    width, height, depth, colour, raw = png_read(path)
    size = {6: 4, 2: 3}[colour]
    stride, rows, above = width * size, [], bytes(width * size)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a, b = line[i - size] if i >= size else 0, above[i]
            c = above[i - size] if i >= size else 0
            p = a + b - c
            paeth = a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c
            line[i] = (line[i] + (0, a, b, (a + b) // 2, paeth)[kind]) & 0xff
        rows.append(above := bytes(line))
    return width, height, lambda x, y: tuple(rows[y][x * size:x * size + 3])


def mark_at(g):
    """Where a mark's shape stands: a shape used there, or one moved."""
    use = g.find(f"{SVG}use")
    if use is not None:
        return float(use.get("x")), float(use.get("y"))
    moved = [e.get("transform") for e in g.iter() if (e.get("transform") or "").startswith("translate(")][0]
    return tuple(map(float, moved[len("translate("):-1].split(",")))


def png_size(path):
    """The width and height of a PNG, and whether it holds more than one
    colour: its rows, unfiltered, are not all alike."""
    width, height, depth, colour, pixels = png_read(path)
    stride = 1 + width * {6: 4, 2: 3}[colour] * depth // 8
    rows = {pixels[i * stride + 1:(i + 1) * stride] for i in range(height) if pixels[i * stride] == 0}
    firsts = {pixels[i * stride + 1:i * stride + 5] for i in range(height)}
    return width, height, len(rows) > 1 or len(firsts) > 1


with tempfile.TemporaryDirectory() as tmp:
    drawn = {}
    USR1, USR2 = ("SIGUSR1", 10), ("SIGUSR2", 12)

    # A signal blocked and never delivered: pending to the end.
    drawn["pending"] = draw(tmp, "pending", start() + [
        {"type": "blocked", "us": 2, "pid": 10, "tid": 10, "blocked": ["SIGUSR1"]},
        signal(3, "pending", *USR1), end(9, pending=["SIGUSR1"], blocked=["SIGUSR1"]), summary(9)])
    found, tree = marks(drawn["pending"])
    expect("pending: its marks", kinds(found), ["blocked", "blocked", "end", "generated", "wait"])
    expect("pending: the bar runs to the end", [t.splitlines()[-1] for k, t in found if k == "wait"],
           ["still pending at the end"])
    expect("pending: the end, with what is pending and blocked",
           [t.endswith("exits with status 0; still pending: SIGUSR1; blocked: SIGUSR1") for k, t in found if k == "end"],
           [True])

    # A second one merges into the first, sent by a process not traced.
    drawn["merge"] = draw(tmp, "merge", start() + [
        signal(3, "pending", *USR1),
        signal(5, "merged", *USR1, **{"from": {"kind": "process", "pid": 99, "tid": 99, "comm": "kill"}}),
        handler(8, *USR1, queued_us=3, blocked=["SIGUSR1"]), back(20, *USR1, ran=12, blocked=[]),
        end(30), summary(30)])
    found, tree = marks(drawn["merge"])
    expect("merge: one bar, a merge on it, one run", kinds(found).count("wait") == 1 and kinds(found).count(
        "merged") == 1 and kinds(found).count("handler") == 1, True)
    expect("merge: its sender named", [words(t).split(" merged ")[1] for k, t in found if k == "merged"],
           ["from kill 99"])
    expect("merge: the bar ends at the delivery",
           [t.splitlines()[1].split()[-1] for k, t in found if k == "wait"], ["itself"])

    # A fork, and the child's end told to the parent by SIGCHLD.
    drawn["fork"] = draw(tmp, "fork", start() + [
        {"type": "fork", "us": 2, "pid": 10, "tid": 10, "child": 11},
        {"type": "thread", "us": 2, "pid": 10, "tid": 10, "thread": 12},
        signal(3, "ignored", *USR2, **{"from": {"kind": "child", "pid": 11, "tid": 11, "comm": "prog"}}),
        end(4, pid=11),
        signal(5, "pending", "SIGCHLD", 17, **{"from": {"kind": "kernel", "reason": "child_exited", "child": 11}}),
        handler(6, "SIGCHLD", 17, queued_us=5, blocked=["SIGCHLD"]), back(7, "SIGCHLD", 17, 1, []),
        end(9), summary(9)])
    found, tree = marks(drawn["fork"])
    lanes = [t.text for t in tree.iter(f"{SVG}text") if t.get("class") == "name"]
    expect("fork: a lane each, the thread under its process", lanes,
           ["process 10 (prog)", "thread 12", "child 11 (prog)"])
    expect("fork: the fork, the thread, the bar, the run, every end",
           [k for k in kinds(found) if k != "blocked"],
           ["delivered", "end", "end", "end", "fork", "generated", "handler", "ignored", "thread", "wait"])
    linked = [g for g in tree.iter(f"{SVG}g") if g.get("class") == "mark ignored"]
    child_lane = [g.find(f"{SVG}rect") for g in tree.iter(f"{SVG}g") if g.get("class") == "lane"
                  and g.find(f"{SVG}text").text.split()[1] == "11"][0]
    links = [p.get("d") for g in linked for p in g.findall(f"{SVG}path") if p.get("class", "").startswith("link ")]
    top = float(child_lane.get("y"))
    expect("fork: the child's signal linked to the child's lane",
           [top <= float(d[1:].split("L")[0].split(",")[1]) <= top + float(child_lane.get("height")) for d in links],
           [True])
    expect("fork: SIGCHLD's line", [words(t) for k, t in found if k == "generated"],
           ["0 process 10 SIGCHLD pending from the kernel: child 11 ended, to the process"])

    # A handler interrupted by another: the inner run nested, deeper.
    drawn["nested"] = draw(tmp, "nested", start() + [
        signal(2, "pending", *USR1), handler(3, *USR1, queued_us=2, blocked=["SIGUSR1"]),
        signal(4, "pending", *USR2), handler(5, *USR2, queued_us=4, blocked=["SIGUSR1", "SIGUSR2"]),
        back(6, *USR2, ran=1, blocked=["SIGUSR1"]), back(8, *USR1, ran=5, blocked=[]),
        end(9), summary(9)])
    found, tree = marks(drawn["nested"])
    runs = [(float(g.find(f"{SVG}rect").get("x")), float(g.find(f"{SVG}rect").get("y")),
             float(g.find(f"{SVG}rect").get("width"))) for g in tree.iter(f"{SVG}g") if g.get("class") == "mark handler"]
    expect("nested: two runs, the second inside the first and below it",
           len(runs) == 2 and runs[0][0] < runs[1][0] and runs[1][0] + runs[1][2] < runs[0][0] + runs[0][2]
           and runs[1][1] > runs[0][1], True)
    expect("nested: each run says how it ended", [words(t.splitlines()[-1]) for k, t in found if k == "handler"],
           ["0 process 10 SIGUSR1 returns from its handler, after 0.005 ms; blocked: none",
            "0 process 10 SIGUSR2 returns from its handler, after 0.001 ms; blocked: SIGUSR1"])

    # A sender whose name would break the file if it were not escaped.
    evil = 'a<b&"c'
    drawn["escaped"] = draw(tmp, "escaped", start(program=evil) + [
        signal(3, "ignored", *USR1, **{"from": {"kind": "process", "pid": 99, "tid": 99, "comm": evil}}),
        end(4), summary(4)])
    found, tree = marks(drawn["escaped"])
    with open(drawn["escaped"]) as f:
        raw = f.read()
    expect("escaped: the title as written", [t.split("from ")[1] for k, t in found if k == "ignored"], [f"{evil} 99"])
    expect("escaped: no raw < or & in text", (evil in raw, "a&lt;b&amp;&quot;c" in raw), (False, True))

    # Names with control characters, terminal escapes, NUL, a replaced
    # byte and what XML forbids outright: each shown escaped as a terminal
    # would show it, in a file that is XML all the same.
    names = {"osc": "\x1b]2;owned\x07", "csi": "\x1b[31mred", "lines": "a\nb\rc", "nul": "n\x00l",
             "replaced": "bad\ufffd", "forbidden": "x\ufffey\uffff", "c1": "c1\u0085", "slash": "a\\b",
             "xml": '<&">'}
    escaped = {"osc": "\\x1b]2;owned\\x07", "csi": "\\x1b[31mred", "lines": "a\\x0ab\\x0dc", "nul": "n\\x00l",
               "replaced": "bad\ufffd", "forbidden": "x\\xef\\xbf\\xbey\\xef\\xbf\\xbf", "c1": "c1\\xc2\\x85",
               "slash": "a\\\\b", "xml": '<&">'}
    named = start(program=names["osc"] + "sh")
    named[1]["program"] = names["csi"]
    for i, key in enumerate(sorted(names)):
        child, us = 11 + i, 2 + 3 * i
        named += [{"type": "fork", "us": us, "pid": 10, "tid": 10, "child": child},
                  {"type": "exec", "us": us + 1, "pid": child, "tid": child, "program": names[key],
                   "blocked": ["SIGUSR2"]},
                  signal(us + 2, "ignored", *USR1, pid=child, **{"from": {"kind": "process", "pid": 99, "tid": 99,
                                                                          "comm": names[key]}}),
                  end(us + 2, pid=child)]
    drawn["names"] = draw(tmp, "names", named + [end(40), summary(40)])
    with open(drawn["names"], "rb") as f:
        raw = f.read().decode("utf-8")
    expect("names: nothing XML forbids, nor anything a terminal acts on",
           [c for c in raw if c not in "\n" and (c < " " or "\x7f" <= c < "\xa0" or c in "\ufffe\uffff")], [])
    found, tree = marks(drawn["names"])
    expect("names: the program's", [tree.getroot().find(f"{SVG}title").text.split(" of ", 1)[1]] + [
        t.text.split(" of ", 1)[1] for t in tree.iter(f"{SVG}text") if (t.text or "").startswith("What the kernel")],
           [escaped["osc"] + "sh"] * 2)
    expect("names: each lane's", [t.text for t in tree.iter(f"{SVG}text") if t.get("class") == "name"],
           [f"process 10 ({escaped['csi']})"] + [f"child {11 + i} ({escaped[key]})"
                                                 for i, key in enumerate(sorted(names))])
    expect("names: each sender's, in its title", [t.split(" from ", 1)[1] for k, t in found if k == "ignored"],
           [f"{escaped[key]} 99" for key in sorted(names)])
    expect("names: each program's, in its title",
           [t.split(" starts " if " starts " in t else " execs ", 1)[1] for k, t in found
            if k == "blocked" and (" starts " in t or " execs " in t)],
           [escaped["csi"]] + [escaped[key] for key in sorted(names)])

    # Everything at one instant: drawn apart, in order.
    at_once = start() + [signal(0, "pending", *USR1), signal(0, "merged", *USR1),
                         handler(0, *USR1, queued_us=0, blocked=["SIGUSR1"]), back(0, *USR1, 0, []), end(0),
                         summary(0)]
    drawn["instant"] = draw(tmp, "instant", [dict(r, us=0) for r in at_once])
    found, tree = marks(drawn["instant"])
    expect("instant: every mark", kinds(found).count("merged") + kinds(found).count("handler"), 2)

    # An account with no event at all, as one cut short at its start.
    drawn["empty"] = draw(tmp, "empty", start()[:1])
    expect("empty: a lane, and nothing in it", marks(drawn["empty"])[0], [])

    # No signal at all, as jumpback: the picture says so.
    drawn["none"] = draw(tmp, "none", start() + [end(5), summary(5)])
    found, tree = marks(drawn["none"])
    said = [t.text for t in tree.iter(f"{SVG}text")]
    expect("none: said so", ("No signal was sent to it." in said, "no signal" in said), (True, True))

    # 100 000 signals: the first drawn, the rest counted, the file bounded.
    many = start()
    for i in range(50000):
        many += [signal(2 + 2 * i, "pending", *USR1),
                 handler(3 + 2 * i, *USR1, queued_us=2 + 2 * i, blocked=["SIGUSR1"]),
                 back(3 + 2 * i, *USR1, 0, [])]
    drawn["dense"] = draw(tmp, "dense", many + [end(200000), summary(200000)])
    found, tree = marks(drawn["dense"])
    dense = [t for k, t in found if k == "dense"]
    expect("dense: bounded", os.path.getsize(drawn["dense"]) < 1 << 20, True)
    counted = dict(part.rsplit(" ", 1) for t in dense for part in t.split(": ", 1)[1].split(", "))
    expect("dense: the rest counted", (sorted(counted), sum(map(int, counted.values()))),
           (["SIGUSR1 delivered", "SIGUSR1 pending", "handler returns"], 150000 - 400))
    note = [t.text for t in tree.iter(f"{SVG}text") if t.get("class") == "note"]
    expect("dense: and said so", "Too dense to draw" in note[0], True)

    # Many threads, processes or stops: a lane for each of the first few,
    # the rest counted, not drawn, the file bounded; and drawn in about the
    # time it takes to tell the account as text, which reads it just the
    # same (a lane looked up among all the others, for each event, took
    # minutes for 100 000 threads).
    def crowd(name, lanes, each, keys):
        """The picture drawn as name holds the first of lanes; the account
        holds each events of every kind in keys, one for each lane but the
        first, and those of the lanes not drawn are counted."""
        found, tree = marks(drawn[name])
        named = [t.text for t in tree.iter(f"{SVG}text") if t.get("class") == "name"]
        note = [t.text for t in tree.iter(f"{SVG}text") if t.get("class") == "note"][0]
        expect(f"{name}: bounded", os.path.getsize(drawn[name]) < 1 << 20, True)
        expect(f"{name}: the first lanes drawn, in order, a few of them",
               (named == lanes[:len(named)], 1 < len(named) <= 100), (True, True))
        expect(f"{name}: the rest counted", not_drawn(found), {key: each - (len(named) - 1) for key in keys})
        expect(f"{name}: each lane drawn ends", kinds(found).count("end"), len(named))
        expect(f"{name}: the note says how many are counted",
               f"{len(keys) * (each - len(named) + 1)} more events are counted in the grey box" in note, True)
        # Twice the time and three seconds more, so that no noise fails it.
        expect(f"{name}: drawn about as fast as told ({took[name]:.1f} s)", took[name] < 2 * told(tmp, name) + 3,
               True)

    threads = start()
    for i in range(100000):
        threads += [{"type": "thread", "us": 2 + 2 * i, "pid": 10, "tid": 10, "thread": 100 + i},
                    thread_end(3 + 2 * i, 100 + i)]
    drawn["threads"] = draw(tmp, "threads", threads + [end(200002), summary(200002)])
    crowd("threads", ["process 10 (prog)"] + [f"thread {100 + i}" for i in range(100000)], 100000,
          ["new threads", "thread ends"])

    forks = start()
    for i in range(30000):
        forks += [{"type": "fork", "us": 2 + 3 * i, "pid": 10, "tid": 10, "child": 100 + i},
                  {"type": "exec", "us": 3 + 3 * i, "pid": 100 + i, "tid": 100 + i, "program": "kid", "blocked": []},
                  end(4 + 3 * i, pid=100 + i)]
    drawn["forks"] = draw(tmp, "forks", forks + [end(90002), summary(90002)])
    crowd("forks", ["process 10 (prog)"] + [f"child {100 + i} (kid)" for i in range(30000)], 30000,
          ["forks", "execs", "process ends"])

    # A process stopped and gone on 50 000 times: a few stops drawn, the
    # rest counted.
    stops = start()
    for i in range(50000):
        stops += [{"type": "stop", "us": 2 + 2 * i, "pid": 10, "tid": 10},
                  {"type": "continue", "us": 3 + 2 * i, "pid": 10, "tid": 10}]
    drawn["stops"] = draw(tmp, "stops", stops + [end(100002), summary(100002)])
    found, tree = marks(drawn["stops"])
    stopped = kinds(found).count("stopped")
    gone_on = [len(t.splitlines()) for k, t in found if k == "stopped"].count(2)
    expect("stops: bounded", os.path.getsize(drawn["stops"]) < 1 << 20, True)
    expect("stops: a few drawn, the rest counted, and the end drawn all the same",
           (0 < stopped < 1000, not_drawn(found), kinds(found).count("end")),
           (True, {"stops": 50000 - stopped, "goings on": 50000 - gone_on}, 1))

    # Real-time signals queued while blocked, their bars one over another:
    # each one made pending still reads as a filled mark, however dense,
    # which the rendering below checks; an ignored one reads otherwise.
    RTMIN = ("SIGRTMIN", 34)
    queued = start() + [{"type": "blocked", "us": 2, "pid": 10, "tid": 10, "blocked": ["SIGRTMIN"]}]
    for i in range(30):
        queued.append(signal(10 + 200 * i, "pending", *RTMIN, value=i))
    queued += [signal(6100, "ignored", *USR2), {"type": "blocked", "us": 6200, "pid": 10, "tid": 10, "blocked": []}]
    for i in range(30):
        queued += [handler(6201 + 2 * i, *RTMIN, queued_us=10 + 200 * i, blocked=["SIGRTMIN"]),
                   back(6202 + 2 * i, *RTMIN, 1, [])]
    drawn["queued"] = draw(tmp, "queued", queued + [end(6300), summary(6300)])
    found, tree = marks(drawn["queued"])
    expect("queued: every bar, every mark", (kinds(found).count("wait"), kinds(found).count("generated")), (30, 30))

    # A signal blocked, then delivered in sigsuspend, which sets another
    # mask for its wait and tells nothing: the band does not show the
    # signal blocked as it is delivered, but that the mask is not known.
    drawn["suspend"] = draw(tmp, "suspend", start() + [
        {"type": "blocked", "us": 2, "pid": 10, "tid": 10, "blocked": ["SIGUSR1"]},
        {"type": "fork", "us": 3, "pid": 10, "tid": 10, "child": 11},
        signal(20000, "pending", *USR1, **{"from": {"kind": "child", "pid": 11, "tid": 11, "comm": "prog"}}),
        end(20001, pid=11, blocked=["SIGUSR1"]),
        handler(20010, *USR1, queued_us=20000, blocked=["SIGUSR1"]), back(20011, *USR1, 1, ["SIGUSR1"]),
        end(20020, blocked=["SIGUSR1"]), summary(20020)])
    found, tree = marks(drawn["suspend"])
    run = [g.find(f"{SVG}rect") for g in tree.iter(f"{SVG}g") if g.get("class") == "mark handler"][0]
    delivered = float(run.get("x"))
    parent = [g for g in tree.iter(f"{SVG}g") if g.get("class") == "lane"][0]
    bands = [(g.get("class").split()[1], words(g.find(f"{SVG}title").text), float(g.find(f"{SVG}rect").get("x")),
              float(g.find(f"{SVG}rect").get("width"))) for g in parent.iter(f"{SVG}g")
             if g.get("class") in ("mark blocked", "mark unseen")]
    expect("suspend: just before the delivery, the mask is not shown",
           [kind for kind, title, x, width in bands if x < delivered <= x + width + 0.1], ["unseen"])
    expect("suspend: the mask told before, and the handler's from its delivery",
           [(kind, title.split(" 10 ", 1)[1]) for kind, title, x, width in bands if kind == "blocked"],
           [("blocked", "starts prog"), ("blocked", "blocks SIGUSR1"),
            ("blocked", "SIGUSR1 delivered to its handler (SA_RESTART), sent by itself")])
    expect("suspend: where the events say the mask, none is unknown",
           [kinds(marks(drawn[name])[0]).count("unseen") for name in ("merge", "nested", "fork", "pending")],
           [0, 0, 0, 0])

    # Events microseconds apart, about 11 ms in: no two ticks read alike,
    # and they read in order.
    close = start() + [signal(10900 + 6 * i, "ignored", *USR2) for i in range(60)]
    drawn["ticks"] = draw(tmp, "ticks", close + [end(11300), summary(11300)])
    found, tree = marks(drawn["ticks"])
    axis = [g for g in tree.iter(f"{SVG}g") if g.get("class") == "axis"][0]
    ticks = [t.text for t in axis.iter(f"{SVG}text") if not t.text.startswith("+")]
    read = [float(t.split()[0]) * (1000 if t.endswith(" ms") else 1e6) for t in ticks]
    expect("ticks: each reads otherwise", len(set(ticks)) == len(ticks) > 5, True)
    expect("ticks: in order", read == sorted(read), True)

    # A stop, and the legend that says what its line is.
    drawn["stopped"] = draw(tmp, "stopped", start() + [
        {"type": "stop", "us": 2, "pid": 10, "tid": 10}, {"type": "continue", "us": 3, "pid": 10, "tid": 10},
        end(5), summary(5)])
    found, tree = marks(drawn["stopped"])
    stop = [p.get("class") for g in tree.iter(f"{SVG}g") if g.get("class") == "mark stopped"
            for p in g.iter(f"{SVG}path")]
    legend = [g for g in tree.iter(f"{SVG}g") if g.get("class") == "legend"][0]
    keys = [p.get("class") for p in legend.iter(f"{SVG}path")]
    expect("stopped: its line in the legend, and named",
           (len(stop) == 1 and stop[0] is not None and stop[0] in keys,
            any("stopped" in t.text for t in legend.iter(f"{SVG}text"))), (True, True))

    # A storm most of whose records were lost: the grey box counts what
    # the summary counts, less what is drawn, not the records that came.
    storm = start()
    for i in range(300):
        storm += [signal(10 + 10 * i, "pending", *USR1),
                  handler(11 + 10 * i, *USR1, queued_us=10 + 10 * i, blocked=["SIGUSR1"]),
                  back(12 + 10 * i, *USR1, 1, []), {"type": "lost", "us": 13 + 10 * i, "pid": 10, "tid": 10,
                                                     "count": 17}]
    tally = {"signo": 10, "sent": 2000, "pending": 2000, "merged": 0, "ignored": 0, "lost": 0, "dropped": 0,
             "delivered": 2000, "taken": 0, "discarded": 0}
    told_summary = dict(summary(4000), lost=5100, processes=[
        {"pid": 10, "label": "process", "program": "prog", "signals": {"SIGUSR1": tally},
         "end": {"status": 0, "pending": [], "blocked": []}}])
    drawn["summed"] = draw(tmp, "summed", storm + [end(4000), told_summary])
    found, tree = marks(drawn["summed"])
    counted = not_drawn(found)
    expect("summed: the summary's deliveries and generations, less those drawn",
           (counted.get("SIGUSR1 delivered"), counted.get("SIGUSR1 pending")),
           (2000 - kinds(found).count("delivered"), 2000 - kinds(found).count("generated")))

    # A wide picture: each lane named wherever one looks along it, not
    # only at the far left.
    wide = start() + [signal(10 + 40 * i, "ignored", *USR2) for i in range(150)]
    wide += [{"type": "fork", "us": 6000, "pid": 10, "tid": 10, "child": 11}]
    wide += [signal(6010 + 40 * i, "ignored", *USR2, pid=11) for i in range(150)]
    drawn["wide"] = draw(tmp, "wide", wide + [end(13000, pid=11), end(13000), summary(13000)])
    found, tree = marks(drawn["wide"])
    for lane in [g for g in tree.iter(f"{SVG}g") if g.get("class") == "lane"]:
        ground = lane.find(f"{SVG}rect")
        x0, x1 = float(ground.get("x")), float(ground.get("x")) + float(ground.get("width"))
        named = sorted(float(t.get("x")) for t in lane.iter(f"{SVG}text")
                       if t.get("class") in ("name", "name again"))
        far = max(p - max(x for x in named if x <= p) for p in range(int(x0) + 10, int(x1), 10))
        expect(f"wide: {lane.find(f'{SVG}text').text} named every 1100 px or nearer along {x1 - x0:.0f} px",
               (x1 - x0 > 2000, far <= 1100), (True, True))

    # Every lane there may be, as wide as can be, the names as long: the
    # lanes' labels repeated as far as the file stays under a megabyte.
    widest, lanes = start(program="<" * 4096), list(range(1000, 1031))
    for i, child in enumerate(lanes):
        widest += [{"type": "fork", "us": 10**9 * (1 + i), "pid": 10, "tid": 10, "child": child}]
    widest += [{"type": "thread", "us": 10**9 * (40 + i), "pid": 10, "tid": 10, "thread": 2000 + i} for i in range(32)]
    sender = {"kind": "process", "pid": 99, "tid": 99, "comm": "<" * 64}
    for i in range(140):
        pid, us = ([10] + lanes)[i % 32], 10**9 * (100 + 3 * i)
        widest += [signal(us, "pending", *USR1, pid=pid, **{"from": sender}),
                   dict(handler(us + 10**9, *USR1, queued_us=us, blocked=["SIGUSR1", "SIGUSR2"], pid=pid),
                        **{"from": sender}), back(us + 2 * 10**9, *USR1, 10**9, [], pid=pid)]
    widest += [end(10**12, pid=child) for child in lanes] + [end(10**12), summary(10**12)]
    # Wider than rsvg-convert renders, so not rendered below.
    widest_svg = draw(tmp, "widest", widest)
    found, tree = marks(widest_svg)
    repeated = [t for t in tree.iter(f"{SVG}text") if t.get("class") == "name again"]
    expect("widest: under a megabyte, each lane named along it",
           (os.path.getsize(widest_svg) < 1 << 20, len(repeated) > 2 * 64), (True, True))

    # The same account, the same file.
    again = draw(tmp, "dense-again", many + [end(200000), summary(200000)])
    with open(drawn["dense"], "rb") as one, open(again, "rb") as other:
        expect("drawn twice, the same bytes", one.read() == other.read(), True)

    # Not an account: refused in one line that names the line.
    with open(f"{tmp}/bad.json", "w") as f:
        f.write(json.dumps(start()[0]) + "\n" + '{"type": "signal", "us": 1, "pid": 10}\n')
    done = subprocess.run([sigtrace, "--from", f"{tmp}/bad.json", "--svg", f"{tmp}/bad.svg"], capture_output=True,
                          env=ENV)
    expect("not an account, and no picture left", (done.returncode, done.stderr, os.path.exists(f"{tmp}/bad.svg")),
           (1, f"sigtrace: {tmp}/bad.json: line 2: tid is missing\n".encode(), False))

    # Read back as text, the account says what the picture draws.
    done = subprocess.run([sigtrace, "--from", f"{tmp}/merge.json"], capture_output=True, env=ENV)
    expect("told again as text", (done.returncode, [words(line) for line in done.stdout.decode().splitlines()
                                                    if " merged " in line]),
           (0, ["0 process 10 SIGUSR1 merged from kill 99"]))

    rsvg = shutil.which("rsvg-convert")
    if not rsvg:
        skip("rsvg-convert is not installed (apt-get install librsvg2-bin): the pictures are not rendered")
    # However many bars lie under it, a mark made pending reads filled: its
    # middle is not the colour of the bar beside it.
    done = subprocess.run([rsvg, "-o", f"{tmp}/queued.png", drawn["queued"]], capture_output=True)
    width, height, pixel = png_pixels(f"{tmp}/queued.png")
    made = [tuple(round(v) for v in mark_at(g)) for g in ET.parse(drawn["queued"]).iter(f"{SVG}g")
            if g.get("class") == "mark generated"]
    faint = [(x, y) for x, y in made if sum(abs(a - b) for a, b in zip(pixel(x, y), pixel(x + 9, y))) < 100]
    expect("queued: each mark made pending stands out from its bar", (len(made), faint), (30, []))
    for name, picture in sorted(drawn.items()):
        png = picture[:-4] + ".png"
        done = subprocess.run([rsvg, "-o", png, picture], capture_output=True)
        root = ET.parse(picture).getroot()
        size = float(root.get("width")), float(root.get("height"))
        expect(f"{name}: rendered, without a warning", (done.returncode, done.stderr), (0, b""))
        if done.returncode == 0:
            # To the pixel: rsvg-convert rounds a size up.
            width, height, not_blank = png_size(png)
            expect(f"{name}: as large as it says, and not blank",
                   (abs(width - size[0]) < 1, abs(height - size[1]) < 1, not_blank), (True, True, True))

finish()

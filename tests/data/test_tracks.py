#!/usr/bin/python3
"""Checks the sync tracks: the evaluator, the track compiler, the committed
Data/ files against tools/timeline.txt, the timeline's own rules and, given
--synctrack PATH, that the demo's reader computes the same values bit for bit.

    test_tracks.py [--synctrack build/synctrack]

Exit status 0 when everything passes."""

import math
import os
import random
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import trackc  # noqa: E402
from trackc import STEP, LINEAR, SMOOTH, RAMP, value_at_row, to_float32  # noqa: E402

TIMELINE = os.path.join(ROOT, "tools", "timeline.txt")
DATA = os.path.join(ROOT, "Data")
failures = []


def group(title):
    print("== " + title)


def check(what, ok, detail=""):
    print("  %s  %s%s" % ("ok  " if ok else "FAIL", what, "" if ok else "  (%s)" % detail))
    if not ok:
        failures.append(what)


def expect_error(what, text, line, fragment):
    try:
        trackc.parse_timeline(text, "t.txt", require_all=False)
    except trackc.TimelineError as e:
        check(what, e.line == line and fragment in e.message, "got line %s: %s" % (e.line, e.message))
        return
    check(what, False, "accepted")


# ---------------------------------------------------------------- evaluator

def test_evaluator():
    group("evaluator against hand-computed values")
    two = [(10, 1.0, LINEAR), (20, 3.0, STEP)]
    for row, want in [(0, 1.0), (-3.5, 1.0), (10, 1.0), (15, 2.0), (15.5, to_float32(2.1)), (20, 3.0), (1000, 3.0)]:
        check("linear 10..20 at row %s is %r" % (row, want), value_at_row(two, row) == want, value_at_row(two, row))
    smooth = [(10, 1.0, SMOOTH), (20, 3.0, STEP)]
    check("smooth at t=0.25 is 1.3125", value_at_row(smooth, 12.5) == 1.3125)
    check("smooth at t=0.5 is 2.0", value_at_row(smooth, 15) == 2.0)
    check("ramp at t=0.5 is 1.5", value_at_row([(10, 1.0, RAMP), (20, 3.0, STEP)], 15) == 1.5)
    step = [(10, 1.0, STEP), (20, 3.0, STEP)]
    check("step holds to 19.99, switches at 20", value_at_row(step, 19.99) == 1.0 and value_at_row(step, 20) == 3.0)
    for bad in (4, -1):
        t = [(10, 1.0, bad), (20, 3.0, STEP)]
        check("unknown interpolation %d gives 0 on its segment only" % bad,
              value_at_row(t, 15) == 0.0 and value_at_row(t, 5) == 1.0 and value_at_row(t, 20) == 3.0)
    check("single key holds everywhere", all(value_at_row([(7, -2.5, LINEAR)], r) == -2.5 for r in (-50, 7, 7.5, 1e6)))
    check("empty track is 0", value_at_row([], 12.0) == 0.0)
    check("22-byte example file decodes",
          trackc.decode_track(bytes.fromhex("02000000" "0a000000" "0000803f" "01" "14000000" "00004040" "00"))
          == [(10, 1.0, LINEAR), (20, 3.0, STEP)])
    for bad, why in [(b"\x01\x00\x00", "short"), (struct.pack("<i", 2) + b"\0" * 9, "truncated"),
                     (trackc.encode_track([(5, 0, 0), (5, 1, 0)]), "equal rows")]:
        try:
            trackc.decode_track(bad)
            check("decode refuses %s file" % why, False, "accepted")
        except ValueError:
            check("decode refuses %s file" % why, True)

    # numpy does the same sum with float32 arrays: the two must agree bit for bit
    try:
        import numpy as np
    except ImportError:
        print("  skip  numpy cross-check (no numpy in this interpreter)")
        return
    rng = random.Random(7)
    bad = 0
    for _ in range(3000):
        a, b = rng.uniform(-100, 100) * 10 ** rng.randint(-3, 3), rng.uniform(-100, 100)
        ar, br = rng.randint(-50, 900), 0
        br = ar + rng.randint(1, 64)
        interp = rng.choice((LINEAR, SMOOTH, RAMP))
        row = ar + rng.random() * (br - ar)
        fa, fb = np.float32(a), np.float32(b)
        t = (np.float64(row) - np.float64(ar)) / np.float64(br - ar)
        s = {LINEAR: t, SMOOTH: t * t * (3.0 - 2.0 * t), RAMP: t * t}[interp]
        want = np.float32(np.float64(fa) + np.float64(fb - fa) * s)
        got = value_at_row([(ar, float(fa), interp), (br, float(fb), STEP)], row)
        bad += got != float(want)
    check("3000 random segments agree with a numpy float32 evaluation", bad == 0, "%d differ" % bad)


# ---------------------------------------------------------------- compiler

HEAD = 'track "Flash"\n'


def test_compiler():
    group("track compiler")
    for tok, row in [("0:0", 0), ("1:0", 32), ("11:3", 376), ("3:3.5", 124), ("28:1.5", 908),
                     ("24:0-1", 767), ("12:0+6", 390), ("@931", 931), ("@-4", -4)]:
        check("position %s is row %d" % (tok, row), trackc.parse_position(tok) == row, trackc.parse_position(tok))
    tracks = trackc.parse_timeline(HEAD + "every 1 beat from 1:0 to 1:3\n +0 1 linear\n +4 0 step\nend\n2:0 0.5 step\n",
                                   require_all=False)
    check("'every' expands in place, 'to' inclusive",
          [k[0] for k in tracks["Flash"]] == [32, 36, 40, 44, 48, 52, 56, 60, 64])
    check("values: expressions with pi, rounded to float32",
          trackc.parse_timeline(HEAD + "0:0 pi/2-2*pi step\n", require_all=False)["Flash"][0][1]
          == to_float32(math.pi / 2 - 2 * math.pi))

    expect_error("non-ascending rows refused", HEAD + "1:0 1 step\n\n0:3 0 step\n", 4, "not after")
    expect_error("equal rows refused", HEAD + "@8 1 step\n0:1 0 step\n", 3, "not after")
    expect_error("'every' running into the next key refused",
                 HEAD + "0:3 1 step\nevery 1 bar from 0:0 to 2:0\n +0 1 step\nend\n", 4, "not after")
    expect_error("beat past the bar refused", HEAD + "1:4 0 step\n", 2, "past the bar")
    expect_error("beat fraction off the row grid refused", HEAD + "1:0.3 0 step\n", 2, "row")
    expect_error("bad interpolation named", HEAD + "0:0 1 cubic\n", 2, "cubic")
    expect_error("bad value named", HEAD + "0:0 1..2 step\n", 2, "bad value")
    expect_error("code in a value refused", HEAD + "0:0 __import__('os') step\n", 2, "bad value")
    expect_error("unknown track refused", 'track "Bloom wet"\n', 1, "unknown track")
    expect_error("track defined twice refused", HEAD + "0:0 1 step\n" + HEAD, 3, "already defined")
    expect_error("fractional camera shot refused", 'track "Camera Bitch"\n0:0 1.5 step\n', 2, "whole numbers")
    expect_error("blended placement mode refused", 'track "Part"\n0:0 1 linear\n', 2, "step keys")
    expect_error("fade above 1 refused", 'track "tuvek Fade"\n0:0 1.2 step\n', 2, "0..1")
    expect_error("key outside a track refused", "0:0 1 step\n", 1, "outside")
    expect_error("unclosed 'every' refused", HEAD + "every 1 beat from 0:0 to 1:0\n +0 1 step\n", 3, "not closed")
    expect_error("track without keys refused", HEAD + 'track "Invert"\n0:0 0 step\n', 1, "no keys")
    try:
        trackc.parse_timeline(HEAD + "0:0 0 step\n", "t.txt")
        check("missing tracks refused", False, "accepted")
    except trackc.TimelineError as e:
        check("missing tracks refused", "Bloom Dry" in e.message, e.message)

    tool = os.path.join(ROOT, "tools", "trackc.py")
    with tempfile.TemporaryDirectory() as tmp:
        bad = os.path.join(tmp, "bad.txt")
        with open(bad, "w") as f:
            f.write(HEAD + "1:0 1 step\n0:0 0 step\n")
        r = subprocess.run([sys.executable, tool, bad, tmp], capture_output=True, text=True)
        check("command line: bad input exits 2 with file:line", r.returncode == 2 and "bad.txt:3:" in r.stderr,
              r.stderr.strip())
        out = os.path.join(tmp, "out")
        r = subprocess.run([sys.executable, tool, TIMELINE, out], capture_output=True, text=True)
        check("command line: writes all tracks", r.returncode == 0 and len(os.listdir(out)) == len(trackc.TRACK_NAMES))
        with open(os.path.join(out, "_BOOM.track"), "r+b") as f:
            f.seek(8)
            f.write(b"\x01")
        r = subprocess.run([sys.executable, tool, "--check", TIMELINE, out], capture_output=True, text=True)
        check("--check names the changed file and exits 1",
              r.returncode == 1 and "_BOOM.track" in r.stdout and "_Flash.track" not in r.stdout, r.stdout)

        # A track saved from the editor after the timeline was last changed
        # is not overwritten, and neither is anything else; --force does it.
        boom = os.path.join(out, "_BOOM.track")
        rocket = os.path.join(tmp, "v.rocket")
        with open(boom, "rb") as f:
            edited = f.read()
        r = subprocess.run([sys.executable, tool, "--rocket", rocket, TIMELINE, out], capture_output=True, text=True)
        with open(boom, "rb") as f:
            kept = f.read() == edited
        check("a newer edited track stops the compiler, which names it and writes nothing",
              r.returncode == 1 and "_BOOM.track" in r.stderr and "_Flash.track" not in r.stderr and kept
              and not os.path.exists(rocket), r.stderr.strip())
        old = os.path.getmtime(TIMELINE) - 10
        os.utime(boom, (old, old))
        r = subprocess.run([sys.executable, tool, "--rocket", rocket, TIMELINE, out], capture_output=True, text=True)
        check("an edited track older than the timeline is rebuilt", r.returncode == 0 and
              subprocess.run([sys.executable, tool, "--check", "--rocket", rocket, TIMELINE, out]).returncode == 0,
              r.stderr.strip())
        with open(rocket, "ab") as f:
            f.write(b"<!-- saved by the editor -->\n")
        r = subprocess.run([sys.executable, tool, "--rocket", rocket, TIMELINE, out], capture_output=True, text=True)
        check("a newer edited project is kept too", r.returncode == 1 and "v.rocket" in r.stderr, r.stderr.strip())
        r = subprocess.run([sys.executable, tool, "--force", "--rocket", rocket, TIMELINE, out],
                           capture_output=True, text=True)
        with open(rocket, "rb") as f:
            check("--force overwrites", r.returncode == 0 and b"saved by" not in f.read(), r.stderr.strip())


def test_rocket_project():
    group("the Rocket editor project")
    tracks = trackc.load_timeline(TIMELINE)
    project = trackc.rocket_project(tracks)
    back = trackc.read_rocket_project(project)
    check("the timeline's project reads back to exactly its keys", back == tracks)
    check("tracks in the demo's order of first use", list(back) == trackc.TRACK_NAMES, list(back))
    check("8 rows per beat", b'highlightRowStep="8" rowsPerBeat="8"' in project)
    rng = random.Random(11)
    keys = []
    for row in range(-5, 500, 7):
        bits = rng.getrandbits(32)
        value = struct.unpack("<f", struct.pack("<I", bits))[0]
        if math.isfinite(value):
            keys.append((row, value, rng.randrange(4)))
    keys.append((600, -0.0, 0))
    odd = {'Quote "this" & <that>': keys}
    back = trackc.read_rocket_project(trackc.rocket_project(odd))
    exact = [(r, struct.pack("<f", v), k) for r, v, k in back['Quote "this" & <that>']] == \
            [(r, struct.pack("<f", v), k) for r, v, k in keys]
    check("any float32 value, sign of zero and odd names survive the round trip", exact)
    committed = os.path.join(ROOT, "tools", "velvoria.rocket")
    with open(committed, "rb") as f:
        check("tools/velvoria.rocket matches the timeline", f.read() == project,
              "run tools/make_data.sh or trackc.py --rocket tools/velvoria.rocket")


# ---------------------------------------------------------------- Data/ and the timeline

def test_data():
    group("Data/ against tools/timeline.txt")
    tracks = trackc.load_timeline(TIMELINE)
    problems = trackc.check_dir(trackc.compile_timeline(tracks), DATA)
    check("Data/ track files match the timeline byte for byte", not problems, problems)
    for name in trackc.TRACK_NAMES:
        path = os.path.join(DATA, trackc.track_file_name(name))
        try:
            with open(path, "rb") as f:
                keys = trackc.decode_track(f.read())
            check("%s parses: %d keys, ascending" % (os.path.basename(path), len(keys)), len(keys) > 0)
        except (OSError, ValueError) as e:
            check("%s parses" % os.path.basename(path), False, e)
    return tracks


def test_direction(tracks):
    group("timeline rules")
    rows = [r / 4.0 for r in range(0, 4 * 945)]
    v = {name: [value_at_row(keys, r) for r in rows] for name, keys in tracks.items()}
    mode = [int(x) for x in v["Part"]]
    # The breakdown has its kick out: no BOOM while frozen, nor in the last
    # 2 rows before the freeze.
    loaded = [i for i, r in enumerate(rows) if v["BOOM"][i] != 0 and
              any(m not in (0, 1) for m in mode[i: i + 9])]
    check("BOOM is 0 while the placement is frozen", not loaded, loaded and rows[loaded[0]])
    backwards = [rows[i] for i in range(1, len(rows)) if mode[i] == 0 and mode[i - 1] == 0
                 and v["Rad Shit Time"][i] > v["Rad Shit Time"][i - 1]]
    check("radius wave only runs outward (phase never rises in the cloud)", not backwards, backwards[:3])
    dark = [rows[i] for i in range(len(rows)) if rows[i] < 925 and v["Bloom Dry"][i] + v["Bloom Wet"][i] <= 0]
    check("picture not black before the end", not dark, dark[:3])
    low = [rows[i] for i in range(len(rows)) if 128 <= rows[i] < 896 and v["Bloom Dry"][i] < 0.8]
    check("Bloom Dry at least 0.8 between intro and final hit", not low, low[:3])
    check("black at the end (both bloom levels 0 at 63.6 s)",
          value_at_row(tracks["Bloom Dry"], 933) == 0 and value_at_row(tracks["Bloom Wet"], 933) == 0)
    for name in ("Distortion", "Distortion2", "Invert", "Flash"):
        busy = sum(1 for x in v[name] if x != 0) / len(rows)
        check("%s is 0 most of the time (%.0f%% busy)" % (name, 100 * busy), busy < 0.3)
    check("Flash 1 on the drop (row 384)", value_at_row(tracks["Flash"], 384) == 1.0)
    for name in trackc.FADE_TRACKS:
        shown = [rows[i] for i in range(len(rows)) if v[name][i] >= 1.0]
        runs = sum(1 for i in range(1, len(rows)) if v[name][i] >= 1.0 > v[name][i - 1])
        check("%s shown once, gone by row 935" % name,
              runs == 1 and bool(shown) and value_at_row(tracks[name], 935) == 0.0, "%d runs" % runs)
    shots = {int(x) for x in v["Camera Bitch"]}
    check("all seven camera shots used", {0, 1, 2, 3, 4, 5, 6} <= shots, sorted(shots))


# ---------------------------------------------------------------- the demo's reader

def run_synctrack(tool, *args):
    r = subprocess.run([tool] + [str(a) for a in args], capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError("%s %s: exit %d: %s" % (tool, " ".join(map(str, args[:2])), r.returncode, r.stderr))
    return r.stdout.split("\n")[:-1]


def compare_eval(tool, path, keys, rows, what):
    got = run_synctrack(tool, "eval", path, *[repr(float(r)) for r in rows])
    want = ["%.9g" % value_at_row(keys, r) for r in rows]
    diff = [(r, g, w) for r, g, w in zip(rows, got, want) if g != w]
    check(what, len(got) == len(want) and not diff, diff[:3] if diff else "%d lines" % len(got))


def sample_rows(keys, rng, extra=200):
    rows = [-7.5, -1.0, 0.0, 0.5, 938.6666666666666, 1000.0]
    for k, (r, _, _) in enumerate(keys):
        rows += [r - 0.5, r, r + 0.25, r + 0.5]
        if k + 1 < len(keys):
            rows += [(r + keys[k + 1][0]) / 2.0, r + (keys[k + 1][0] - r) / 3.0]
    lo, hi = keys[0][0] - 10, keys[-1][0] + 10
    rows += [lo + rng.random() * (hi - lo) for _ in range(extra)]
    return rows


def test_synctrack(tool, tracks):
    group("demo reader (%s) against the evaluator" % tool)
    rng = random.Random(1)
    for name in trackc.TRACK_NAMES:
        path = os.path.join(DATA, trackc.track_file_name(name))
        lines = run_synctrack(tool, "keys", path)
        parsed = [(int(a), to_float32(float(b)), int(c)) for a, b, c in (ln.split() for ln in lines)]
        check("%s: keys read back" % name, parsed == tracks[name], parsed[:2])
        compare_eval(tool, path, tracks[name], sample_rows(tracks[name], rng), "%s: values bit-exact" % name)

    with tempfile.TemporaryDirectory() as tmp:
        def write(name, keys, raw=None):
            p = os.path.join(tmp, name)
            with open(p, "wb") as f:
                f.write(raw if raw is not None else trackc.encode_track(keys))
            return p
        edge = [(10, 1.0, LINEAR), (20, 3.0, SMOOTH), (30, -1.0, RAMP), (40, 0.1, 4), (50, 2.0, -1),
                (60, 0.7, STEP), (70, 5.0, LINEAR)]
        compare_eval(tool, write("edge.track", edge), edge, sample_rows(edge, rng),
                     "every interpolation, unknown types 4 and 0xFF")
        missing = subprocess.run([tool, "eval", os.path.join(tmp, "none.track"), "5"], capture_output=True, text=True)
        check("a missing file is refused by name", missing.returncode == 1 and "none.track" in missing.stderr
              and missing.stdout == "", "status %d, %r" % (missing.returncode, missing.stderr))
        check("empty track reads 0", run_synctrack(tool, "eval", write("empty.track", []), 5) == ["0"])
        for n in range(3):
            keys, row = [], rng.randint(-20, 5)
            for _ in range(40):
                value = to_float32(rng.uniform(-1, 1) * 10 ** rng.randint(-6, 6))
                keys.append((row, value, rng.choice((STEP, LINEAR, SMOOTH, RAMP))))
                row += rng.randint(1, 100)
            compare_eval(tool, write("rand%d.track" % n, keys), keys, sample_rows(keys, rng, 400),
                         "random track %d (wide value range) bit-exact" % n)


def main(argv):
    tool = None
    if "--synctrack" in argv:
        i = argv.index("--synctrack")
        if i + 1 >= len(argv):
            sys.stderr.write("usage: test_tracks.py [--synctrack PATH]\n")
            return 2
        tool = argv[i + 1]
    test_evaluator()
    test_compiler()
    test_rocket_project()
    tracks = test_data()
    test_direction(tracks)
    if tool:
        try:
            test_synctrack(tool, tracks)
        except (OSError, RuntimeError) as e:
            check("running %s" % tool, False, e)
    else:
        print("== demo reader: skipped (give --synctrack PATH)")
    print("%s: %d failed" % ("FAILED" if failures else "passed", len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

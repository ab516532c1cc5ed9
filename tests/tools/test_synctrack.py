#!/usr/bin/python3
"""Checks the track inspector against an independent evaluator.

usage: test_synctrack.py PATH/TO/synctrack

The reference below reads the track format and evaluates it with the demo's
arithmetic (t in double, the value difference in single precision, the sum in
double, rounded to single), so `synctrack eval` must agree with it bit for
bit: on track files written by other tools (tests/rocket-tracks),
on random tracks, and on malformed files, which must neither crash nor read
past the keys the file holds.
"""
import math
import os
import random
import struct
import subprocess
import sys
import tempfile

import numpy as np

SYNCTRACK = sys.argv[1]
HERE = os.path.dirname(os.path.abspath(__file__))
EXTERNAL = os.path.join(HERE, "..", "rocket-tracks")
failures = 0
checked = 0


def read_keys(data):
    if len(data) < 4:
        return []
    (count,) = struct.unpack_from("<i", data, 0)
    keys = []
    for k in range(max(count, 0)):
        off = 4 + 9 * k
        if off + 9 > len(data):
            break
        row, value, kind = struct.unpack_from("<ifb", data, off)
        keys.append((row, np.float32(value), kind))
    return keys


def key_at_or_before(keys, row):
    lo, hi = 0, len(keys)
    while lo < hi:
        mid = (lo + hi) // 2
        if keys[mid][0] < row:
            lo = mid + 1
        elif keys[mid][0] > row:
            hi = mid
        else:
            return mid
    return lo - 1


def value_at(keys, row):
    if not keys:
        return np.float32(0)
    whole = math.floor(row)
    whole = max(-2**31, min(2**31 - 1, whole))
    i = key_at_or_before(keys, whole)
    if i < 0:
        return keys[0][1]
    if i > len(keys) - 2:
        return keys[-1][1]
    (ar, av, kind), (br, bv, _) = keys[i], keys[i + 1]
    span = (br - ar + 2**31) % 2**32 - 2**31
    if span == 0:
        return av
    t = (row - ar) / float(span)
    with np.errstate(over="ignore", invalid="ignore"):
        diff = float(np.float32(bv - av))
        if kind == 0:
            return av
        if kind == 1:
            return np.float32(float(av) + diff * t)
        if kind == 2:
            return np.float32(float(av) + diff * (t * t * (3.0 - 2.0 * t)))
        if kind == 3:
            return np.float32(float(av) + diff * math.pow(t, 2.0))
    return np.float32(0)


def fmt(v):
    # %.9g as C prints a float widened to double
    text = "%.9g" % float(v)
    return {"nan": "nan", "-nan": "-nan", "inf": "inf", "-inf": "-inf"}.get(text, text)


def check(path, rows, label):
    global failures, checked
    data = open(path, "rb").read() if os.path.exists(path) else b""
    keys = read_keys(data)
    run = subprocess.run([SYNCTRACK, "eval", path] + ["%.17g" % r for r in rows],
                         capture_output=True, text=True, timeout=30)
    if run.returncode != 0:
        print("FAIL %s: exit status %d %s" % (label, run.returncode, run.stderr))
        failures += 1
        return
    got = run.stdout.split()
    want = [fmt(value_at(keys, r)) for r in rows]
    for r, g, w in zip(rows, got, want):
        checked += 1
        if g.lstrip("-") == "nan" and w.lstrip("-") == "nan":
            continue
        if g != w:
            print("FAIL %s: row %r gives %s, expected %s" % (label, r, g, w))
            failures += 1
    if len(got) != len(rows):
        print("FAIL %s: %d values for %d rows" % (label, len(got), len(rows)))
        failures += 1
    listed = subprocess.run([SYNCTRACK, "keys", path], capture_output=True, text=True, timeout=30)
    lines = listed.stdout.splitlines()
    if listed.returncode != 0 or len(lines) != len(keys):
        print("FAIL %s: keys lists %d lines for %d keys" % (label, len(lines), len(keys)))
        failures += 1


def rows_for(keys, rng):
    rows = [-1.0, 0.0, 0.5, 1e7, -3.25]
    for row, _, _ in keys[:40]:
        rows += [row, row + 0.25, row + 0.5, row - 0.001, row + rng.random() * 7]
    return rows


rng = random.Random(1234)
tmp = tempfile.mkdtemp()

external = sorted(n for n in os.listdir(EXTERNAL) if n.endswith(".track"))
if len(external) < 100:
    print("FAIL only %d track files in %s" % (len(external), EXTERNAL))
    failures += 1
for name in external:
    path = os.path.join(EXTERNAL, name)
    check(path, rows_for(read_keys(open(path, "rb").read()), rng), name)
print("%d track files written by other tools" % len(external))

for n in range(30):
    keys, row = [], rng.randint(-50, 50)
    for _ in range(rng.randint(1, 12)):
        row += rng.randint(1, 40)
        keys.append(struct.pack("<ifb", row, rng.uniform(-100, 100), rng.choice([0, 1, 2, 3, 1, 2, 4, -1])))
    path = os.path.join(tmp, "random%d.track" % n)
    open(path, "wb").write(struct.pack("<i", len(keys)) + b"".join(keys))
    check(path, rows_for(read_keys(open(path, "rb").read()), rng), "random track %d" % n)

good = [struct.pack("<ifb", 0, 1.0, 1), struct.pack("<ifb", 10, 5.0, 2), struct.pack("<ifb", 20, -2.0, 0)]
malformed = {
    "empty": b"",
    "short count": b"\x03\x00",
    "negative count": struct.pack("<i", -5) + b"".join(good),
    "huge count": struct.pack("<i", 2**31 - 1) + b"".join(good),
    "lying count": struct.pack("<i", 9) + b"".join(good),
    "truncated key": struct.pack("<i", 3) + b"".join(good)[:23],
    "equal rows": struct.pack("<i", 3) + good[0] + struct.pack("<ifb", 0, 4.0, 1) + good[2],
    "extreme rows": struct.pack("<i", 2) + struct.pack("<ifb", -2**31, 1.0, 1) + struct.pack("<ifb", 2**31 - 1, 2.0, 1),
    "descending rows": struct.pack("<i", 3) + good[2] + good[1] + good[0],
    "nan and inf": struct.pack("<i", 2) + struct.pack("<ifb", 0, float("inf"), 1) + struct.pack("<ifb", 8, float("nan"), 1),
}
for label, data in malformed.items():
    path = os.path.join(tmp, label.replace(" ", "_") + ".track")
    open(path, "wb").write(data)
    check(path, [-1e12, -5, 0, 0.5, 3, 9.99, 10, 15, 20, 25, 1e12, 4e9, -4e9], label)
# A path that is no track file (missing, a directory) is refused with its name.
missing = os.path.join(tmp, "missing.track")
for command in (["keys", missing], ["eval", missing, "0"], ["keys", tmp]):
    run = subprocess.run([SYNCTRACK] + command, capture_output=True, text=True, timeout=30)
    if run.returncode != 1 or command[1] not in run.stderr or run.stdout:
        print("FAIL %s: status %d, %r" % (" ".join(command), run.returncode, run.stderr))
        failures += 1

print("%d values checked, %d failures" % (checked, failures))
sys.exit(1 if failures else 0)

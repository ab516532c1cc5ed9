#!/usr/bin/python3
"""trackc: compiles Velvoria's timeline source into the demo's ".track" files.

    trackc.py [--rocket FILE] [--force] TIMELINE OUTDIR
                                         write OUTDIR/_<name>.track for every track
                                         (and FILE, the Rocket editor's project)
    trackc.py --check [--rocket FILE] TIMELINE OUTDIR
                                         compile in memory, report the files that differ

Tracks saved from the Rocket editor are never lost to a rebuild: a file in
OUTDIR (or the --rocket FILE) that differs from what the timeline compiles to
and was written after the timeline was last changed is left alone, and the
compiler names it and writes nothing.  Bring the change into the timeline
(build/synctrack keys FILE lists its keys) or give --force to overwrite it.

The --rocket FILE is the timeline as a project of the Rocket editor (its own
XML: tracks in the order the demo first uses them, keys, interpolations, 8
rows per beat), so that the editor opened on it holds the production's keys
when the demo connects and takes them from it.

A .track file is: int32 key count N, then N keys of int32 row, float32 value,
int8 interpolation (0 step, 1 linear, 2 smooth, 3 ramp), all little-endian,
rows strictly ascending.  Rows run at 44/3 per second: 8 per beat, 32 per bar
at 110 BPM.

Timeline source syntax (see tools/timeline.txt):

    # comment (anywhere, to the end of the line)
    track "Bloom Wet"              starts a track; every key below belongs to it
      POS  VALUE  INTERP           one key
      every N beats|bars|rows from POS to POS
        +ROWS  VALUE  INTERP       keys relative to each repetition's start
      end

    POS     BAR:BEAT, BAR:BEAT.FRAC (the fraction must land on a row), either
            with an optional row offset (11:3+4, 12:0-2); or @ROW for a raw row.
            Bars and beats count from 0.
    VALUE   a number or a small expression without spaces: 0.5, -3, pi/2-22*pi
    INTERP  step | linear | smooth | ramp  (governs the segment to the next key)

Keys must be written in strictly ascending row order (repetitions expand in
place); the compiler refuses anything else rather than sorting it.

This module also holds the reference evaluator (value_at_row), which computes
exactly what the demo's reader computes; the plot and the tests use it.
"""

import ast
import math
import xml.sax.saxutils
import os
import re
import struct
import sys

ROWS_PER_BEAT = 8
BEATS_PER_BAR = 4
ROWS_PER_BAR = ROWS_PER_BEAT * BEATS_PER_BAR
ROWS_PER_SECOND = 44.0 / 3.0

# Every track the demo reads, in the order a frame first reads them.
TRACK_NAMES = [
    "Camera Bitch", "Part", "Rad Shit", "Rad Shit Time", "BOOM",
    "Distortion", "Distortion2", "Flash", "Invert",
    "Bloom Dry", "Bloom Wet",
    "Orvanth1 Fade", "tuvek Fade", "zandol Fade", "pemrix Fade",
    "PLENK Fade", "Velvoria Fade", "Orvanth2 Fade", "Dravi Fade",
]
FADE_TRACKS = [n for n in TRACK_NAMES if n.endswith(" Fade")]
# The demo truncates these to int: a fractional value or a blend between
# shots/modes would only ever mean a bug in the timeline.
INTEGER_TRACKS = {"Camera Bitch", "Part"}
NON_NEGATIVE_TRACKS = {"Bloom Dry", "Bloom Wet"}

STEP, LINEAR, SMOOTH, RAMP = 0, 1, 2, 3
INTERP_BY_NAME = {"step": STEP, "linear": LINEAR, "smooth": SMOOTH, "ramp": RAMP}
INTERP_NAMES = {v: k for k, v in INTERP_BY_NAME.items()}

INT32_MIN, INT32_MAX = -2**31, 2**31 - 1
KEY_STRUCT = struct.Struct("<ifb")


class TimelineError(Exception):
    """A fault in the timeline source, with the place it was found."""

    def __init__(self, path, line, message):
        super().__init__("%s:%d: %s" % (path, line, message) if line else "%s: %s" % (path, message))
        self.path = path
        self.line = line
        self.message = message


def track_file_name(name):
    return "_" + name + ".track"


def to_float32(x):
    """x rounded to the nearest single-precision float, as a Python float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


# ---------------------------------------------------------------- parsing

_POS_MUSICAL = re.compile(r"^(\d+):(\d+(?:\.\d+)?)(?:([+-])(\d+))?$")
_POS_RAW = re.compile(r"^@(-?\d+)$")
_OFFSET = re.compile(r"^\+(\d+)$")
_EVERY = re.compile(r"^every\s+(\d+)\s+(beat|beats|bar|bars|row|rows)\s+from\s+(\S+)\s+to\s+(\S+)$")
_TRACK = re.compile(r'^track\s+"([^"]+)"$')


def parse_position(tok):
    """Row of a position token; raises ValueError with a readable reason."""
    m = _POS_RAW.match(tok)
    if m:
        return int(m.group(1))
    m = _POS_MUSICAL.match(tok)
    if not m:
        raise ValueError("bad position %r (expected BAR:BEAT[.FRAC][+ROWS] or @ROW)" % tok)
    bar = int(m.group(1))
    beat = float(m.group(2))
    if beat >= BEATS_PER_BAR:
        raise ValueError("beat %s in %r is past the bar (beats are 0 to %d)"
                         % (m.group(2), tok, BEATS_PER_BAR - 1))
    beat_rows = beat * ROWS_PER_BEAT
    if beat_rows != int(beat_rows):
        raise ValueError("beat %s in %r does not fall on a row (1 row = 1/%d beat)"
                         % (m.group(2), tok, ROWS_PER_BEAT))
    row = bar * ROWS_PER_BAR + int(beat_rows)
    if m.group(3):
        row += int(m.group(4)) * (1 if m.group(3) == "+" else -1)
    return row


_ALLOWED_BINOPS = {ast.Add: lambda a, b: a + b, ast.Sub: lambda a, b: a - b,
                   ast.Mult: lambda a, b: a * b, ast.Div: lambda a, b: a / b}
_CONSTANTS = {"pi": math.pi}


def parse_value(tok):
    """Value of a number/expression token, rounded to float32."""
    try:
        tree = ast.parse(tok, mode="eval")
    except SyntaxError:
        raise ValueError("bad value %r" % tok)

    def ev(node):
        if isinstance(node, ast.Expression):
            return ev(node.body)
        if isinstance(node, ast.Constant) and type(node.value) in (int, float):
            return float(node.value)
        if isinstance(node, ast.Name) and node.id in _CONSTANTS:
            return _CONSTANTS[node.id]
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
            v = ev(node.operand)
            return -v if isinstance(node.op, ast.USub) else v
        if isinstance(node, ast.BinOp) and type(node.op) in _ALLOWED_BINOPS:
            return _ALLOWED_BINOPS[type(node.op)](ev(node.left), ev(node.right))
        raise ValueError("bad value %r (numbers, pi, + - * / and parentheses only)" % tok)

    try:
        v = ev(tree)
    except ZeroDivisionError:
        raise ValueError("division by zero in %r" % tok)
    if not math.isfinite(v):
        raise ValueError("value %r is not finite" % tok)
    try:
        return to_float32(v)
    except OverflowError:
        raise ValueError("value %r does not fit a float32" % tok)


def parse_interp(tok):
    try:
        return INTERP_BY_NAME[tok]
    except KeyError:
        raise ValueError("bad interpolation %r (step, linear, smooth or ramp)" % tok)


def _repeat_step(count, unit):
    per = {"beat": ROWS_PER_BEAT, "bar": ROWS_PER_BAR, "row": 1}[unit.rstrip("s")]
    return count * per


def parse_timeline(text, path="<timeline>", require_all=True):
    """Parse timeline source into {track name: [(row, value, interp), ...]}.

    Raises TimelineError (with the line number) on the first fault found."""
    tracks = {}
    where = {}  # track name -> line it was opened on
    current = None
    last_row = None  # row of the last key of the current track
    block = None  # open 'every' block: dict(line, starts, keys)

    def add_key(lineno, row, value, interp):
        nonlocal last_row
        if not INT32_MIN <= row <= INT32_MAX:
            raise TimelineError(path, lineno, "row %d is out of range" % row)
        if last_row is not None and row <= last_row:
            raise TimelineError(path, lineno, "row %d of track \"%s\" is not after the previous key's row %d"
                                % (row, current, last_row))
        check_key(lineno, current, value, interp)
        tracks[current].append((row, value, interp))
        last_row = row

    def check_key(lineno, name, value, interp):
        if name in INTEGER_TRACKS:
            if value != int(value):
                raise TimelineError(path, lineno, "\"%s\" takes whole numbers only, not %r" % (name, value))
            if interp != STEP:
                raise TimelineError(path, lineno, "\"%s\" keys must be step keys" % name)
        if name in FADE_TRACKS and not 0.0 <= value <= 1.0:
            raise TimelineError(path, lineno, "fade \"%s\" must stay within 0..1, not %r" % (name, value))
        if name in NON_NEGATIVE_TRACKS and value < 0.0:
            raise TimelineError(path, lineno, "\"%s\" must not go below 0 (%r)" % (name, value))

    def parse_key(lineno, words):
        if len(words) != 3:
            raise TimelineError(path, lineno, "expected 'POSITION VALUE INTERPOLATION', got %r" % " ".join(words))
        try:
            return parse_value(words[1]), parse_interp(words[2])
        except ValueError as e:
            raise TimelineError(path, lineno, str(e))

    lineno = 0
    for lineno, raw in enumerate(text.splitlines(), 1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        words = line.split()

        m = _TRACK.match(line)
        if m or words[0] == "track":
            if not m:
                raise TimelineError(path, lineno, "expected: track \"NAME\"")
            if block is not None:
                raise TimelineError(path, lineno, "'every' block from line %d is not closed with 'end'" % block["line"])
            name = m.group(1)
            if name not in TRACK_NAMES:
                raise TimelineError(path, lineno, "unknown track \"%s\" (the demo reads: %s)"
                                    % (name, ", ".join('"%s"' % n for n in TRACK_NAMES)))
            if name in tracks:
                raise TimelineError(path, lineno, "track \"%s\" already defined on line %d" % (name, where[name]))
            current = name
            tracks[name] = []
            where[name] = lineno
            last_row = None
            continue

        if current is None:
            raise TimelineError(path, lineno, "key outside any track (start one with: track \"NAME\")")

        if words[0] == "every":
            if block is not None:
                raise TimelineError(path, lineno, "'every' blocks do not nest (block from line %d is open)" % block["line"])
            m = _EVERY.match(line)
            if not m:
                raise TimelineError(path, lineno, "expected: every N beats|bars|rows from POS to POS")
            step = _repeat_step(int(m.group(1)), m.group(2))
            if step <= 0:
                raise TimelineError(path, lineno, "'every' needs a step above 0")
            try:
                first, last = parse_position(m.group(3)), parse_position(m.group(4))
            except ValueError as e:
                raise TimelineError(path, lineno, str(e))
            if last < first:
                raise TimelineError(path, lineno, "'every' range ends (row %d) before it starts (row %d)" % (last, first))
            block = {"line": lineno, "starts": range(first, last + 1, step), "keys": []}
            continue

        if words[0] == "end":
            if block is None:
                raise TimelineError(path, lineno, "'end' without 'every'")
            if not block["keys"]:
                raise TimelineError(path, lineno, "empty 'every' block")
            for start in block["starts"]:
                for key_line, offset, value, interp in block["keys"]:
                    add_key(key_line, start + offset, value, interp)
            block = None
            continue

        if block is not None:
            m = _OFFSET.match(words[0])
            if not m:
                raise TimelineError(path, lineno, "keys inside 'every' start with +ROWS, not %r" % words[0])
            value, interp = parse_key(lineno, words)
            offset = int(m.group(1))
            if block["keys"] and offset <= block["keys"][-1][1]:
                raise TimelineError(path, lineno, "offset +%d is not after the previous offset +%d"
                                    % (offset, block["keys"][-1][1]))
            block["keys"].append((lineno, offset, value, interp))
            continue

        try:
            row = parse_position(words[0])
        except ValueError as e:
            raise TimelineError(path, lineno, str(e))
        value, interp = parse_key(lineno, words)
        add_key(lineno, row, value, interp)

    if block is not None:
        raise TimelineError(path, lineno, "'every' block from line %d is not closed with 'end'" % block["line"])
    for name, keys in tracks.items():
        if not keys:
            raise TimelineError(path, where[name], "track \"%s\" has no keys" % name)
    if require_all:
        missing = [n for n in TRACK_NAMES if n not in tracks]
        if missing:
            raise TimelineError(path, 0, "tracks missing: %s" % ", ".join('"%s"' % n for n in missing))
    return tracks


# ---------------------------------------------------------------- file format

def encode_track(keys):
    out = [struct.pack("<i", len(keys))]
    for row, value, interp in keys:
        out.append(KEY_STRUCT.pack(row, value, interp))
    return b"".join(out)


def decode_track(data):
    """Keys of a well-formed .track file; ValueError for anything else."""
    if len(data) < 4:
        raise ValueError("%d bytes: too short for a key count" % len(data))
    (count,) = struct.unpack_from("<i", data, 0)
    if count < 0:
        raise ValueError("negative key count %d" % count)
    if len(data) != 4 + KEY_STRUCT.size * count:
        raise ValueError("%d bytes, but %d keys need %d" % (len(data), count, 4 + KEY_STRUCT.size * count))
    keys = [KEY_STRUCT.unpack_from(data, 4 + KEY_STRUCT.size * k) for k in range(count)]
    for k in range(1, count):
        if keys[k][0] <= keys[k - 1][0]:
            raise ValueError("key %d (row %d) is not after key %d (row %d)" % (k, keys[k][0], k - 1, keys[k - 1][0]))
    return keys


def float_text(value):
    """The shortest decimal text that reads back as exactly this float32."""
    value = to_float32(value)
    for digits in range(1, 10):
        text = "%.*g" % (digits, value)
        if to_float32(float(text)) == value and math.copysign(1.0, float(text)) == math.copysign(1.0, value):
            return text
    return repr(value)


def rocket_project(tracks):
    """The tracks as the Rocket editor's XML project, in the demo's order of
    first use; the rows run to the bar after the last key and past the end."""
    last = max([k[0] for keys in tracks.values() for k in keys] + [int(64 * ROWS_PER_SECOND)])
    rows = (last // ROWS_PER_BAR + 1) * ROWS_PER_BAR
    out = ['<?xml version="1.0" encoding="utf-8"?>',
           '<tracks rows="%d" startRow="0" endRow="%d" highlightRowStep="%d" rowsPerBeat="%d">'
           % (rows, rows, ROWS_PER_BEAT, ROWS_PER_BEAT)]
    for name in [n for n in TRACK_NAMES if n in tracks] + sorted(n for n in tracks if n not in TRACK_NAMES):
        out.append("\t<track name=%s>" % xml.sax.saxutils.quoteattr(name))
        for row, value, interp in tracks[name]:
            out.append('\t\t<key row="%d" value="%s" interpolation="%d"/>' % (row, float_text(value), interp))
        out.append("\t</track>")
    out.append("</tracks>")
    return ("\n".join(out) + "\n").encode("utf-8")


def read_rocket_project(data):
    """{track name: [(row, value, interp)]} of a Rocket editor project."""
    import xml.etree.ElementTree as ET
    root = ET.fromstring(data)
    return {t.get("name"): [(int(k.get("row")), to_float32(float(k.get("value"))), int(k.get("interpolation")))
                            for k in t.iter("key")]
            for t in root.iter("track")}


def compile_timeline(tracks):
    return {track_file_name(name): encode_track(keys) for name, keys in tracks.items()}


# ---------------------------------------------------------------- evaluation

def _find_key_at_or_before(keys, row):
    lo, hi = 0, len(keys)
    while lo < hi:
        mid = (lo + hi) // 2
        r = keys[mid][0]
        if r < row:
            lo = mid + 1
        elif r > row:
            hi = mid
        else:
            return mid
    return lo - 1


def _wrap_int32(x):
    return (x + 2**31) % 2**32 - 2**31


def value_at_row(keys, row):
    """The track's value at a fractional row, bit for bit as the demo computes it:
    t in double with the fractional row, (b - a) in single precision widened
    to double, the sum in double rounded to single.  Returns a Python float
    holding a float32 value."""
    n = len(keys)
    if n == 0:
        return 0.0
    i = _find_key_at_or_before(keys, int(math.floor(row)))
    if i < 0:
        return to_float32(keys[0][1])
    if i > n - 2:
        return to_float32(keys[-1][1])
    (arow, avalue, interp), (brow, bvalue, _) = keys[i], keys[i + 1]
    avalue, bvalue = to_float32(avalue), to_float32(bvalue)
    if interp == STEP:
        return avalue
    t = (row - arow) / float(_wrap_int32(brow - arow))
    diff = to_float32(bvalue - avalue)  # single-precision subtraction
    if interp == LINEAR:
        pass
    elif interp == SMOOTH:
        t = t * t * (3.0 - 2.0 * t)
    elif interp == RAMP:
        t = math.pow(t, 2.0)
    else:
        return 0.0
    return to_float32(avalue + diff * t)


def row_of_time(seconds):
    return seconds * ROWS_PER_SECOND


# ---------------------------------------------------------------- driver

def load_timeline(path, require_all=True):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    return parse_timeline(text, path, require_all)


def check_dir(files, outdir):
    """Names (relative) of the files in outdir that differ from the compiled
    ones, as (name, reason) pairs; stray .track files count as differences."""
    problems = []
    for name, data in sorted(files.items()):
        path = os.path.join(outdir, name)
        try:
            with open(path, "rb") as f:
                have = f.read()
        except OSError:
            problems.append((name, "missing"))
            continue
        if have != data:
            problems.append((name, "differs (%d bytes on disk, %d compiled)" % (len(have), len(data))))
    if os.path.isdir(outdir):
        for name in sorted(os.listdir(outdir)):
            if name.startswith("_") and name.endswith(".track") and name not in files:
                problems.append((name, "not made by this timeline"))
    return problems


def kept_edits(files, outdir, timeline, rocket=None):
    """The files a write would overwrite although they hold edits made after
    the timeline: different from the compiled ones and newer than TIMELINE."""
    since = os.path.getmtime(timeline)
    targets = [(os.path.join(outdir, name), data) for name, data in sorted(files.items())]
    if rocket:
        targets.append(rocket)
    kept = []
    for path, data in targets:
        try:
            with open(path, "rb") as f:
                have = f.read()
            newer = os.path.getmtime(path) > since
        except OSError:
            continue
        if have != data and newer:
            kept.append(path)
    return kept


def write_file(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def write_dir(files, outdir):
    os.makedirs(outdir, exist_ok=True)
    for name, data in sorted(files.items()):
        write_file(os.path.join(outdir, name), data)


def main(argv):
    args = list(argv[1:])
    flags = {}
    for flag in ("--check", "--force"):
        flags[flag] = flag in args
        if flags[flag]:
            args.remove(flag)
    rocket_path = None
    if "--rocket" in args:
        i = args.index("--rocket")
        rocket_path = args[i + 1] if i + 1 < len(args) else None
        del args[i:i + 2]
    check, force = flags["--check"], flags["--force"]
    if len(args) != 2 or any(a.startswith("-") for a in args) or ("--rocket" in argv and not rocket_path):
        sys.stderr.write("usage: trackc.py [--check] [--force] [--rocket FILE] TIMELINE OUTDIR\n")
        return 2
    timeline, outdir = args
    try:
        tracks = load_timeline(timeline)
    except TimelineError as e:
        sys.stderr.write("trackc: %s\n" % e)
        return 2
    except OSError as e:
        sys.stderr.write("trackc: cannot read %s: %s\n" % (timeline, e.strerror))
        return 2
    files = compile_timeline(tracks)
    rocket = (rocket_path, rocket_project(tracks)) if rocket_path else None
    nkeys = sum(len(k) for k in tracks.values())
    if check:
        problems = check_dir(files, outdir)
        if rocket:
            try:
                with open(rocket_path, "rb") as f:
                    same = f.read() == rocket[1]
            except OSError:
                same = False
            if not same:
                problems.append((os.path.relpath(rocket_path, outdir), "differs or is missing"))
        for name, why in problems:
            print("%s: %s" % (os.path.join(outdir, name), why))
        if problems:
            print("trackc: %d of %d track files out of date; run: /usr/bin/python3 tools/trackc.py %s %s"
                  % (len(problems), len(files), timeline, outdir))
            return 1
        print("trackc: all %d track files in %s match %s (%d keys)" % (len(files), outdir, timeline, nkeys))
        return 0
    kept = [] if force else kept_edits(files, outdir, timeline, rocket)
    if kept:
        for path in kept:
            sys.stderr.write("trackc: %s was changed after %s and differs from it\n" % (path, timeline))
        sys.stderr.write("trackc: nothing written; bring those changes into %s (build/synctrack keys FILE lists "
                         "a track's keys), or overwrite them with --force\n" % timeline)
        return 1
    write_dir(files, outdir)
    if rocket:
        write_file(*rocket)
    print("trackc: wrote %d track files (%d keys) to %s%s" % (len(files), nkeys, outdir,
                                                             " and " + rocket_path if rocket else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

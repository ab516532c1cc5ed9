"""Shared pieces of the hostile cases: each case runs one command under a
time limit in a scratch directory and records its command, status, first
line printed and the files it left; a case breaks the promise when the
program crashed (a signal, a sanitizer report), hung (the time limit), or
ended otherwise than the case expects.

Case files in this folder import this module, call run() for each case and
end with finish(); tests/hostile.sh runs them all."""
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("VELVORIA_BUILD", os.path.join(REPO, "build"))
CAPTURE = os.path.join(BUILD, "velvoria-capture")
DEMO = os.path.join(BUILD, "velvoria")
DATA = os.path.join(REPO, "Data")
DATA_MUSIC = os.path.join(DATA, "zandol_and_Pemrix-Vorth_Speaks.mp3")

_failed = []
_count = 0
_scratch = []


def scratch():
    """A new directory for one case's files, removed at the end of the run."""
    d = tempfile.mkdtemp(prefix="velvoria-hostile-")
    _scratch.append(d)
    return d


class stage:
    """A copy of a program beside a Data/ of links to the real files; the
    names in copy are copied instead, those in replace hold the given bytes."""

    def __init__(self, program, copy=(), replace=None):
        self.dir = scratch()
        self.program = os.path.join(self.dir, os.path.basename(program))
        shutil.copy2(program, self.program)
        data = os.path.join(self.dir, "Data")
        os.mkdir(data)
        replace = replace or {}
        for name in os.listdir(DATA):
            path = os.path.join(data, name)
            if name in replace:
                with open(path, "wb") as f:
                    f.write(replace[name])
            elif name in copy:
                shutil.copy2(os.path.join(DATA, name), path)
            else:
                os.symlink(os.path.join(DATA, name), path)

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)


def first_line(text):
    for line in text.splitlines():
        if line.strip():
            return line.strip()
    return ""


def files_in(d):
    """The paths under d, relative to it, sorted."""
    out = []
    for root, dirs, files in os.walk(d):
        for f in files + [x for x in dirs if os.path.islink(os.path.join(root, x))]:
            out.append(os.path.relpath(os.path.join(root, f), d))
    return sorted(out)


def verdict(name, ok, status, line, left, why=""):
    """Records one case and prints its line."""
    global _count
    _count += 1
    if not ok:
        _failed.append(name)
    left_text = ", ".join(left) if left else "nothing"
    print('hostile: %s: %s (status %s, "%s", left %s)%s'
          % (name, "held" if ok else "BROKEN", status, line[:100], left_text,
             "" if ok or not why else ": " + why), flush=True)


def run(name, cmd, expect="refused", timeout=60, cwd=None, env=None, check=None, stdin=None):
    """Runs cmd and judges it. expect: "refused" (a non-zero status below 128
    and a message), "ok" (status 0), or "any" (either, but no crash or hang).
    check(result, files_left) returns "" when the aftermath is sound or the
    reason it is not. Returns the CompletedProcess (or None on a time-out)."""
    cwd = cwd or scratch()
    try:
        r = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout,
                           stdin=stdin if stdin is not None else subprocess.DEVNULL, errors="replace")
    except subprocess.TimeoutExpired:
        verdict(name, False, "timeout", "", files_in(cwd), "no end after %d s" % timeout)
        return None
    text = r.stdout + r.stderr
    line = first_line(r.stderr) or first_line(r.stdout)
    left = files_in(cwd)
    why = ""
    if r.returncode < 0 or r.returncode >= 128:
        why = "killed by a signal"
    elif "Sanitizer" in text or "runtime error:" in text:
        why = "sanitizer report"
    elif expect == "refused" and (r.returncode == 0 or not line):
        why = "not refused with a message"
    elif expect == "ok" and r.returncode != 0:
        why = "failed"
    if not why and check:
        why = check(r, left) or ""
    verdict(name, not why, r.returncode, line, left, why)
    return r


def processes_with(text):
    """The ids of running processes whose command line holds text (a scratch
    directory's path: what a case started and what those started)."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if text.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def orphans(text, wait=3.0):
    """Processes still running after a case, given a moment to end; killed,
    so that one broken case does not spoil the next. Their ids."""
    deadline = time.time() + wait
    while time.time() < deadline and processes_with(text):
        time.sleep(0.1)
    left = processes_with(text)
    for pid in left:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    return left


def whole_mp4(path):
    """Whether ffprobe reads the file as a video with a picture and a sound
    stream and no complaint."""
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_type", "-of", "csv=p=0", path],
                       capture_output=True, text=True, timeout=60)
    return r.returncode == 0 and not r.stderr.strip() and sorted(r.stdout.split()) == ["audio", "video"]


def whole_png(path):
    """Whether the file is a PNG from its signature to its end chunk."""
    with open(path, "rb") as f:
        data = f.read()
    return data.startswith(b"\x89PNG\r\n\x1a\n") and data.endswith(b"IEND\xaeB`\x82")


def shell(cmd):
    return ["/bin/sh", "-c", cmd]


def quoted(cmd):
    return " ".join(shlex.quote(c) for c in cmd)


def finish():
    for d in _scratch:
        subprocess.run(["chmod", "-R", "u+w", d], capture_output=True)
        shutil.rmtree(d, ignore_errors=True)
    print("hostile: %s: %d cases, %d broken%s" % (os.path.basename(sys.argv[0]), _count, len(_failed),
          (": " + ", ".join(_failed)) if _failed else ""), flush=True)
    sys.exit(1 if _failed else 0)

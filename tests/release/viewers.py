#!/usr/bin/python3
"""What tests/release.sh checks of an unpacked archive, one line each:

  viewers.py frame FRAME REFERENCE
      FRAME against REFERENCE (the build's frame): "identical" or the PSNR
      in dB; status 1 below 40 dB.
  viewers.py demo [--pipewire DUMP...] -- COMMAND...
      COMMAND (velvoria --windowed, perhaps --mute, perhaps through chroot)
      on the X display of DISPLAY: its window shows, the picture moves,
      Escape ends it with status 0, and it says nothing on its console. Its
      process group is ended on every path. With --pipewire, DUMP (pw-dump
      of the PipeWire it is to play on) shows its sound as a playback stream
      of its own there while it plays.
  viewers.py web FOLDER REFERENCE
      The unpacked page: opened from disk in headless Chromium it says to
      serve it over HTTP with the one command (or plays, where the browser
      lets it), as Firefox ESR does where it runs; served over HTTP,
      index.html#at=30 in Chromium against REFERENCE (30 dB or better, as
      tests/web/ holds the page to).
"""
import json
import os
import signal
import subprocess
import sys
import time
import urllib.request

import numpy as np
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "web"))
from common import find_window, grab, press, wait, wait_for  # noqa: E402

TITLE = "Orvanth - Velvoria"
MIN_PSNR = 40.0


def psnr(a, b):
    mse = np.mean((np.asarray(a, dtype=np.float64) - np.asarray(b, dtype=np.float64)) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


def frame(path, reference):
    if not os.path.exists(path):
        print("no frame was written")
        return 1
    a, b = Image.open(path).convert("RGB"), Image.open(reference).convert("RGB")
    if a.size != b.size:
        print(f"a {a.size[0]}x{a.size[1]} frame, not {b.size[0]}x{b.size[1]}")
        return 1
    value = psnr(a, b)
    print("identical to the build's frame" if value == float("inf") else f"PSNR {value:.1f} dB against the build's frame")
    return 0 if value >= MIN_PSNR else 1


def pipewire_stream(dump):
    """The program's playback stream, playing, in pw-dump's graph: a line,
    or None. The stream's node names its client; the client the program."""
    r = subprocess.run(dump, capture_output=True, text=True, timeout=30)
    objects = json.loads(r.stdout) if r.returncode == 0 and r.stdout.strip() else []
    props = {o["id"]: (o.get("info") or {}).get("props") or {} for o in objects}
    ours = {i for i, p in props.items() if p.get("application.process.binary") == "velvoria"}
    for o in objects:
        p = props[o["id"]]
        if o.get("type") == "PipeWire:Interface:Node" and p.get("media.class") == "Stream/Output/Audio" \
                and (p.get("client.id") in ours or o["id"] in ours) and o["info"].get("state") == "running":
            return f"its sound a stream of PipeWire's own ({p.get('node.name')!r}, {p.get('media.class')}, running)"
    return None


def demo(command, pipewire=None):
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
    try:
        window, info = find_window(TITLE, timeout=120)
        if not window:
            print(f"no window titled {TITLE!r} (status {process.poll()}: "
                  f"{process.stderr.read().decode(errors='replace').strip()[-200:] if process.poll() is not None else ''})")
            return 1
        # Its picture, twice, two seconds apart: a production that plays moves.
        x, y = (int(info.split(f"{k}:")[1].split()[0]) for k in ("Absolute upper-left X", "Absolute upper-left Y"))
        env = dict(os.environ)
        first = grab(env, x, y, 1280, 720)
        end = time.time() + 30
        moved = False
        while not moved and time.time() < end and process.poll() is None:
            time.sleep(1)
            moved = np.mean(np.abs(grab(env, x, y, 1280, 720) - first)) > 1.0
        stream = pipewire and wait_for(lambda: pipewire_stream(pipewire), 10)
        running = process.poll() is None
        press(window, "Escape")
        status = wait(process, 60)
        said = process.stderr.read().decode(errors="replace").strip()
        print(f"its window showed, the picture {'moved' if moved else 'did NOT move'},"
              f" Escape ended it with status {status}, " + (f"it SAID {said[:200]!r}" if said else "it said nothing")
              + ("" if not pipewire else "; " + (stream or "its sound NOT on PipeWire")))
        return 0 if moved and running and status == 0 and not said and (stream or not pipewire) else 1
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def web(folder, reference):
    import test_browser as tb
    failed = False
    lines = []
    for name in ("chromium", "firefox"):
        try:
            browser = tb.Chromium() if name == "chromium" else tb.Firefox()
        except tb.Unavailable as e:
            lines.append(f"{name}: cannot run here: {e}")
            failed = failed or name == "chromium"
            continue
        try:
            title, words = tb.from_disk(browser, folder)
            if title == "velvoria: loaded":
                # Where the browser lets it: Start plays it.
                page = browser.open("file://" + urllib.request.pathname2url(folder) + "/index.html")
                page.wait_title(lambda t: t == "velvoria: loaded", 300)
                page.click("#start")
                page.wait_title(lambda t: t.startswith("velvoria: playing "), 60)
                lines.append(f"{name} from disk: plays ({page.evaluate('document.title')})")
                page.escape()
                browser.done(page)
            elif tb.SERVE_COMMAND in words and "HTTP" in words:
                lines.append(f"{name} from disk: {title[len('velvoria: error: '):]!r}")
            else:
                lines.append(f"{name} from disk: FAILS: {title!r}, {words!r}")
                failed = True
            if name == "chromium":
                server, root = tb.serve(folder)
                try:
                    page = browser.open(f"{root}/index.html#at=30")
                    page.wait_title(lambda t: t == "velvoria: ready", 300)
                    value = psnr(page.canvas(), Image.open(reference).convert("RGB"))
                    browser.done(page)
                finally:
                    server.shutdown()
                lines.append(f"chromium served over HTTP: #at=30 PSNR {value:.1f} dB against the build's frame")
                failed = failed or value < tb.MIN_PSNR
        except AssertionError as e:
            lines.append(f"{name}: FAILS: {e}")
            failed = True
        finally:
            browser.close()
    print("; ".join(lines))
    return 1 if failed else 0


def main():
    mode = sys.argv[1]
    if mode == "frame":
        return frame(sys.argv[2], sys.argv[3])
    if mode == "demo":
        split = sys.argv.index("--")
        dump = sys.argv[3:split] if sys.argv[2:3] == ["--pipewire"] else None
        return demo(sys.argv[split + 1:], dump)
    if mode == "web":
        return web(os.path.abspath(sys.argv[2]), sys.argv[3])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())

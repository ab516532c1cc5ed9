"""The browser build in headless Chromium (software WebGL2, SwiftShader),
driven over the DevTools protocol:

  - index.html#at=T for T = 5, 30, 45: the canvas holds the desktop capture
    tool's frame of T, 30 dB PSNR or better;
  - index.html: a start button; after a click the title reads
    "velvoria: playing T" with T advancing, and Escape ends it;
  - nothing in the console at error level, no uncaught exception;
  - in a browser without WebGL2 the page says so.

usage: test_browser.py URL DESKTOP_FRAMES_DIR OUT_DIR
Writes the browser's frames to OUT_DIR and prints the PSNRs and timings.
"""

import base64
import io
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

import numpy as np
from PIL import Image

TIMES = (5, 30, 45)
MIN_PSNR = 30.0


class DevTools:
    """One page's DevTools connection: a minimal WebSocket client (the
    protocol's text frames, masked as a client must) and the commands."""

    def __init__(self, ws_url):
        host, rest = ws_url[len("ws://"):].split("/", 1)
        address, port = host.split(":")
        self.sock = socket.create_connection((address, int(port)), timeout=300)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET /{rest} HTTP/1.1\r\nHost: {host}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        reply = b""
        while b"\r\n\r\n" not in reply:
            reply += self.sock.recv(4096)
        head, self.buffer = reply.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise RuntimeError(f"DevTools refused the connection: {head[:80]!r}")
        self.next_id = 0
        self.errors = []   # console errors and exceptions, as text
        self.titles = []   # (seconds since the navigation, title) from the page

    def _read(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise RuntimeError("DevTools closed the connection")
            self.buffer += chunk
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def _receive(self):
        message = b""
        while True:
            b0, b1 = self._read(2)
            length = b1 & 0x7F
            if length == 126:
                length = struct.unpack(">H", self._read(2))[0]
            elif length == 127:
                length = struct.unpack(">Q", self._read(8))[0]
            payload = self._read(length)
            if b0 & 0x0F in (0x1, 0x2, 0x0):
                message += payload
                if b0 & 0x80:
                    return json.loads(message)

    def _note(self, event):
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            self.errors.append("console: " + " ".join(str(a.get("value", a.get("description", "")))
                                                      for a in params.get("args", [])))
        elif method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            self.errors.append("exception: " + details.get("exception", {}).get("description", details.get("text", "")))
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
            entry = params["entry"]
            self.errors.append(f"log: {entry.get('text')} {entry.get('url', '')}")

    def call(self, method, **params):
        self.next_id += 1
        mask = os.urandom(4)
        data = json.dumps({"id": self.next_id, "method": method, "params": params}).encode()
        n = len(data)
        header = bytes([0x81]) + (bytes([0x80 | n]) if n < 126 else
                                  bytes([0x80 | 126]) + struct.pack(">H", n) if n < 65536 else
                                  bytes([0x80 | 127]) + struct.pack(">Q", n))
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))
        while True:
            message = self._receive()
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})
            self._note(message)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, awaitPromise=True, returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_title(self, done, timeout):
        """Polls document.title until done(title) holds; fails on an error title."""
        end = time.time() + timeout
        title = ""
        while time.time() < end:
            title = self.evaluate("document.title")
            if done(title):
                return title
            if title.startswith("velvoria: error"):
                raise AssertionError(f"the page reports {title!r}")
            time.sleep(0.1)
        raise AssertionError(f"timed out after {timeout} s; the title is {title!r}")


NO_FLOAT_TARGETS = """
const getExtension = WebGL2RenderingContext.prototype.getExtension;
WebGL2RenderingContext.prototype.getExtension = function (name) {
    return name === 'EXT_color_buffer_float' ? null : getExtension.call(this, name);
};
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_chromium(profile, *extra):
    args = ["chromium", *extra, "--headless=new", "--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
            "--ignore-gpu-blocklist", "--no-first-run", "--no-default-browser-check", "--window-size=1280,720",
            f"--user-data-dir={profile}", "--remote-debugging-port=0", "about:blank"]
    process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    port_file = os.path.join(profile, "DevToolsActivePort")
    for _ in range(300):
        if os.path.exists(port_file) and open(port_file).read().count("\n") >= 1:
            return process, int(open(port_file).read().split()[0])
        if process.poll() is not None:
            raise RuntimeError("chromium did not start")
        time.sleep(0.1)
    raise RuntimeError("chromium did not open its DevTools port")


def open_page(port, url, first_script=None):
    request = urllib.request.Request(f"http://127.0.0.1:{port}/json/new?about:blank", method="PUT")
    target = json.load(urllib.request.urlopen(request))
    page = DevTools(target["webSocketDebuggerUrl"])
    for domain in ("Runtime", "Log", "Page"):
        page.call(f"{domain}.enable")
    if first_script:  # runs in the page before its own scripts
        page.call("Page.addScriptToEvaluateOnNewDocument", source=first_script)
    page.call("Page.navigate", url=url)
    return page


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


def main():
    url, desktop_dir, out_dir = sys.argv[1:4]
    os.makedirs(out_dir, exist_ok=True)
    profile = tempfile.mkdtemp(prefix="velvoria-chromium-")
    chromium, port = start_chromium(profile)
    failures, errors = [], []
    try:
        for t in TIMES:
            page = open_page(port, f"{url}#at={t}")
            page.wait_title(lambda title: title == "velvoria: ready", 180)
            ready_ms = page.evaluate("performance.now()")
            png = page.evaluate("document.getElementById('canvas').toDataURL('image/png')")
            frame = Image.open(io.BytesIO(base64.b64decode(png.split(",", 1)[1]))).convert("RGB")
            frame.save(os.path.join(out_dir, f"web-{t * 1000:05d}.png"))
            desktop = Image.open(os.path.join(desktop_dir, f"frame-{t * 1000:05d}.png")).convert("RGB")
            if frame.size != desktop.size:
                failures.append(f"t={t}: the canvas is {frame.size}, the desktop frame {desktop.size}")
                continue
            value = psnr(np.asarray(frame), np.asarray(desktop))
            print(f"web-test: t={t} s  PSNR {value:.2f} dB  (ready {ready_ms / 1000:.2f} s after loading)")
            if value < MIN_PSNR:
                failures.append(f"t={t}: PSNR {value:.2f} dB, below {MIN_PSNR}")
            errors += page.errors

        page = open_page(port, url)
        page.wait_title(lambda title: title == "velvoria: loaded", 180)
        loaded_ms = page.evaluate("performance.now()")
        box = page.evaluate("(() => { const b = document.getElementById('start');"
                            " const r = b.getBoundingClientRect();"
                            " return b.hidden ? null : [r.x + r.width / 2, r.y + r.height / 2]; })()")
        assert box, "no start button shows"
        for kind in ("mousePressed", "mouseReleased"):
            page.call("Input.dispatchMouseEvent", type=kind, x=box[0], y=box[1], button="left", clickCount=1)
        clicked = time.time()
        first = page.wait_title(lambda title: title.startswith("velvoria: playing "), 60)
        first_frame_s = time.time() - clicked
        # The frame time: the page's animation frames, which the program's share.
        frame_ms = page.evaluate("new Promise(done => { let n = 0; const t0 = performance.now();"
                                 " (function f() { n++; if (performance.now() - t0 < 3000)"
                                 " requestAnimationFrame(f); else done((performance.now() - t0) / n); })(); })")
        later = page.wait_title(lambda title: title.startswith("velvoria: playing ") and
                                float(title.split()[-1]) >= float(first.split()[-1]) + 1.0, 30)
        print(f"web-test: playing: {first!r}, then {later!r}; start offered {loaded_ms / 1000:.2f} s after"
              f" loading, first frame {first_frame_s:.2f} s after the click; frame time {frame_ms:.1f} ms")
        for kind in ("keyDown", "keyUp"):
            page.call("Input.dispatchKeyEvent", type=kind, key="Escape", code="Escape", windowsVirtualKeyCode=27)
        page.wait_title(lambda title: title == "velvoria: ended", 30)
        errors += page.errors

        # A WebGL 2 that cannot render into float images: the page says so.
        page = open_page(port, f"{url}#at=5", NO_FLOAT_TARGETS)
        title = page.wait_title(lambda title: title.startswith("velvoria: error: ") or title == "velvoria: ready",
                                180)
        shown = page.evaluate("document.getElementById('message').hidden ? ''"
                              " : document.getElementById('message').textContent")
        if not title.startswith("velvoria: error: ") or "floating-point" not in shown:
            failures.append(f"without float targets the title is {title!r} and the page shows {shown!r}")
    except AssertionError as e:
        failures.append(str(e))
    finally:
        chromium.terminate()
        try:
            chromium.wait(10)
        except subprocess.TimeoutExpired:
            chromium.kill()
        shutil.rmtree(profile, ignore_errors=True)
    failures += [f"browser console: {e}" for e in errors]

    profile = tempfile.mkdtemp(prefix="velvoria-chromium-")
    chromium, port = start_chromium(profile, "--disable-webgl2")
    try:
        page = open_page(port, url)
        page.wait_title(lambda title: title.startswith("velvoria: error: "), 60)
        shown = page.evaluate("document.getElementById('message').hidden ? ''"
                              " : document.getElementById('message').textContent")
        if "WebGL 2" not in shown:
            failures.append(f"without WebGL2 the page shows {shown!r}")
    except AssertionError as e:
        failures.append(f"without WebGL2: {e}")
    finally:
        chromium.terminate()
        chromium.wait(10)
        shutil.rmtree(profile, ignore_errors=True)
    for f in failures:
        print(f"web-test: FAIL: {f}")
    if not failures:
        print("web-test: passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

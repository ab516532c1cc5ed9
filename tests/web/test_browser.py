"""The browser build in a headless browser: Chromium (software WebGL2,
SwiftShader) over the DevTools protocol, or Firefox ESR over Marionette. It
serves dist/web itself, at / and at /velvoria/ (and /velvoria without the
slash, as static hosts serve a folder), and can leave one file out.

  - index.html#at=T for T = 5, 30, 45: the canvas holds the desktop capture
    tool's frame of T, 30 dB PSNR or better;
  - a bad #at= (-1, 1e9, NaN, abc, 64, nothing) is refused in words, a file
    the server does not give is named, the sub-path plays;
  - index.html: a start button; after a click the title reads
    "velvoria: playing T" with T advancing, a second start changes nothing,
    a resize re-fits the drawing buffer, a tab hidden for 2 s and shown
    again shows the music's time, and Escape ends it;
  - opened from disk (file:) it says to serve it over HTTP and how, or
    plays where the browser allows that;
  - nothing in the console at error level, no uncaught exception;
  - Chromium only: at 1920x1080 CSS pixels and devicePixelRatio 2 the drawing
    buffer is 3840x2160 and its frame matches the capture tool's at that
    size, with more detail than the 1280x720 canvas upscaled; without
    WebGL2 or float targets the page says so; on a touch screen the hint
    names taps and a tap control stops it; in fullscreen the page says that
    Escape leaves fullscreen first.

usage: test_browser.py chromium|firefox DIST_DIR DESKTOP_DIR DESKTOP_4K_DIR OUT_DIR [--measure]
DESKTOP_DIR holds frame-05000.png ... at 1280x720, DESKTOP_4K_DIR
frame-30000.png at 3840x2160. Writes the browser's frames to OUT_DIR and
prints the PSNRs and timings. --measure plays at three sizes, with the
error check after every frame (#glcheck) and without, and prints the
frame times instead of testing. Exit status 3 when the browser cannot run
the page here (one line says why).
"""

import base64
import http.server
import io
import json
import os
import random
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import numpy as np
from PIL import Image

TIMES = (5, 30, 45)
NATIVE_TIME = 30
MIN_PSNR = 30.0
BAD_AT = ("-1", "1e9", "NaN", "abc", "64", "")
MUSIC = "zandol_and_Pemrix-Vorth_Speaks.mp3"
SERVE_COMMAND = "python3 -m http.server"


class Unavailable(Exception):
    """The browser cannot run the page here: the message says why."""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve(dist):
    """dist at / and at /velvoria/ (/velvoria answers with the page itself);
    under /missing-NAME/ the same, but without the file NAME."""

    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=dist, **kwargs)

        def send_head(self):
            path = self.path.split("?", 1)[0].split("#", 1)[0]
            missing = None
            if path.startswith("/missing-"):
                missing, _, rest = path[len("/missing-"):].partition("/")
                path = "/" + rest
            if path in ("/velvoria", "/velvoria/"):
                path = "/index.html"
            elif path.startswith("/velvoria/"):
                path = path[len("/velvoria"):]
            if missing and path.rsplit("/", 1)[-1] == missing:
                self.send_error(404)
                return None
            self.path = path
            return super().send_head()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}"


class Page:
    """What the checks do with a page, in either browser."""

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

    def wait_error(self, timeout):
        """The title once the page has given up, or the title it stayed at."""
        end = time.time() + timeout
        while time.time() < end:
            title = self.evaluate("document.title")
            if title.startswith("velvoria: error: ") or title == "velvoria: ready":
                return title
            time.sleep(0.1)
        return title

    def message(self):
        return self.evaluate("document.getElementById('message').hidden ? ''"
                             " : document.getElementById('message').textContent")

    def canvas(self):
        png = self.evaluate("document.getElementById('canvas').toDataURL('image/png')")
        return Image.open(io.BytesIO(base64.b64decode(png.split(",", 1)[1]))).convert("RGB")

    def playing_time(self):
        title = self.evaluate("document.title")
        return float(title.split()[-1]) if title.startswith("velvoria: playing ") else None


# The program's animation frames, timed from the page's side: when each
# starts and how long the program takes in it. Set before the start button
# is pressed; the program asks for its frames through this function.
TIME_FRAMES = """(() => {
    const request = window.requestAnimationFrame.bind(window);
    window.velvoriaFrames = [];
    window.requestAnimationFrame = function (callback) {
        return request(function (stamp) {
            const begin = performance.now();
            callback(stamp);
            window.velvoriaFrames.push([begin, performance.now() - begin]);
        });
    };
    return true;
})()"""


def frame_times(page, seconds):
    """The median time the program takes in an animation frame and the
    median interval between its frames, over the next seconds (longer, up
    to 40 s, until there are 6 frames), in ms."""
    page.evaluate("window.velvoriaFrames.length = 0, true")
    begin = time.time()
    time.sleep(seconds)
    while page.evaluate("window.velvoriaFrames.length") < 6 and time.time() - begin < 40:
        time.sleep(0.5)
    frames = page.evaluate("window.velvoriaFrames.slice()")
    if len(frames) < 3:
        return None, None
    starts = [f[0] for f in frames]
    return float(np.median([f[1] for f in frames])), float(np.median(np.diff(starts)))


# --- Chromium over the DevTools protocol ------------------------------------

class DevTools(Page):
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

    def click(self, selector):
        box = self.evaluate(f"(() => {{ const b = document.querySelector('{selector}');"
                            " const r = b.getBoundingClientRect();"
                            " return b.hidden ? null : [r.x + r.width / 2, r.y + r.height / 2]; })()")
        assert box, f"{selector} does not show"
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=box[0], y=box[1], button="left", clickCount=1)

    def escape(self):
        for kind in ("keyDown", "keyUp"):
            self.call("Input.dispatchKeyEvent", type=kind, key="Escape", code="Escape", windowsVirtualKeyCode=27)

    def tap(self, selector):
        box = self.evaluate(f"(() => {{ const r = document.querySelector('{selector}').getBoundingClientRect();"
                            " return [r.x + r.width / 2, r.y + r.height / 2]; })()")
        self.call("Input.dispatchTouchEvent", type="touchStart", touchPoints=[{"x": box[0], "y": box[1]}])
        self.call("Input.dispatchTouchEvent", type="touchEnd", touchPoints=[])

    def press_f(self):
        self.call("Input.dispatchKeyEvent", type="keyDown", key="f", code="KeyF", text="f", windowsVirtualKeyCode=70)
        self.call("Input.dispatchKeyEvent", type="keyUp", key="f", code="KeyF", windowsVirtualKeyCode=70)

    def view(self, width, height, ratio):
        """The tab's size in CSS pixels and its devicePixelRatio."""
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=ratio,
                  mobile=False)

    def close(self):
        self.sock.close()


NO_FLOAT_TARGETS = """
const getExtension = WebGL2RenderingContext.prototype.getExtension;
WebGL2RenderingContext.prototype.getExtension = function (name) {
    return name === 'EXT_color_buffer_float' ? null : getExtension.call(this, name);
};
"""


class Chromium:
    name = "chromium"

    def __init__(self, *extra):
        if not shutil.which("chromium"):
            raise Unavailable("chromium is not installed")
        self.profile = tempfile.mkdtemp(prefix="velvoria-chromium-")
        args = ["chromium", *extra, "--headless=new", "--no-sandbox", "--use-angle=swiftshader",
                "--enable-unsafe-swiftshader", "--ignore-gpu-blocklist", "--no-first-run",
                "--no-default-browser-check", "--window-size=1280,720",
                f"--user-data-dir={self.profile}", "--remote-debugging-port=0", "about:blank"]
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        for _ in range(300):
            if os.path.exists(port_file) and open(port_file).read().count("\n") >= 1:
                self.port = int(open(port_file).read().split()[0])
                return
            if self.process.poll() is not None:
                raise Unavailable("chromium did not start")
            time.sleep(0.1)
        raise Unavailable("chromium did not open its DevTools port")

    def open(self, url, first_script=None, view=None, touch=False):
        request = urllib.request.Request(f"http://127.0.0.1:{self.port}/json/new?about:blank", method="PUT")
        target = json.load(urllib.request.urlopen(request))
        page = DevTools(target["webSocketDebuggerUrl"])
        page.target = target["id"]
        for domain in ("Runtime", "Log", "Page"):
            page.call(f"{domain}.enable")
        if first_script:  # runs in the page before its own scripts
            page.call("Page.addScriptToEvaluateOnNewDocument", source=first_script)
        if view:
            page.view(*view)
        if touch:  # a touch screen, as a phone's
            page.call("Emulation.setTouchEmulationEnabled", enabled=True, maxTouchPoints=5)
        page.call("Page.navigate", url=url)
        return page

    def done(self, page):
        page.close()
        urllib.request.urlopen(f"http://127.0.0.1:{self.port}/json/close/{page.target}").read()

    def hide(self, page, seconds):
        """Another tab in front for the seconds; the page's visibility then."""
        other = self.open("about:blank")
        other.call("Page.bringToFront")
        wait_for(lambda: page.evaluate("document.visibilityState") == "hidden", 5)
        state = page.evaluate("document.visibilityState")
        time.sleep(seconds)
        page.call("Page.bringToFront")
        self.done(other)
        return state

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
        shutil.rmtree(self.profile, ignore_errors=True)


# --- Firefox over Marionette -------------------------------------------------

class Marionette(Page):
    """Firefox's remote protocol: length-prefixed JSON over TCP, one window,
    WebDriver commands. Console errors come from Firefox's standard output,
    where the profile sends the pages' console and Firefox its scripts'
    errors (those of the page's address count)."""

    def __init__(self, port, log):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=300)
        self.buffer = b""
        self.next_id = 0
        self.log = log
        self._receive()  # the greeting
        self.call("WebDriver:NewSession", capabilities={"alwaysMatch": {"acceptInsecureCerts": True}})
        self.call("WebDriver:SetTimeouts", script=300000, pageLoad=300000, implicit=0)
        self.log_start = 0

    def _receive(self):
        while b":" not in self.buffer:
            self.buffer += self.sock.recv(1 << 16)
        length, _, rest = self.buffer.partition(b":")
        while len(rest) < int(length):
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise RuntimeError("Marionette closed the connection")
            rest += chunk
        self.buffer = rest[int(length):]
        return json.loads(rest[:int(length)])

    def call(self, command, **params):
        self.next_id += 1
        data = json.dumps([0, self.next_id, command, params]).encode()
        self.sock.sendall(str(len(data)).encode() + b":" + data)
        while True:
            reply = self._receive()
            if reply[0] == 1 and reply[1] == self.next_id:
                if reply[2]:
                    raise RuntimeError(f"{command}: {reply[2].get('message', reply[2])}")
                return reply[3]

    def evaluate(self, expression):
        result = self.call("WebDriver:ExecuteScript", script=f"return (async () => ({expression}))();", args=[])
        return result.get("value") if isinstance(result, dict) else result

    def navigate(self, url):
        self.call("WebDriver:Navigate", url="about:blank")  # a new hash alone would not load the page
        self.log_start = os.path.getsize(self.log)
        self.call("WebDriver:Navigate", url=url)

    @property
    def errors(self):
        with open(self.log, errors="replace") as f:
            f.seek(self.log_start)
            return [line.strip() for line in f
                    if line.startswith(("console.error:", "console.assert:", "JavaScript error: http"))
                    and not line.startswith(FIREFOX_OWN_ERRORS)]

    def click(self, selector):
        element = self.call("WebDriver:FindElement", using="css selector", value=selector)["value"]
        self.call("WebDriver:ElementClick", id=list(element.values())[0])

    def escape(self):
        key = "\ue00c"
        self.call("WebDriver:PerformActions", actions=[{"type": "key", "id": "keyboard", "actions": [
            {"type": "keyDown", "value": key}, {"type": "keyUp", "value": key}]}])
        self.call("WebDriver:ReleaseActions")

    def view(self, width, height, ratio):
        assert ratio == 1, "Firefox is driven at devicePixelRatio 1"
        self.call("WebDriver:SetWindowRect", width=width, height=height)


FIREFOX_PREFS = {
    "marionette.port": None,  # filled in
    "devtools.console.stdout.content": True,  # the pages' console, not Firefox's own
    "devtools.console.stdout.chrome": False,
    "media.autoplay.default": 0,
    "media.autoplay.blocking_policy": 0,
    "webgl.force-enabled": True,
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.homepage_override.mstone": "ignore",
    "datareporting.policy.dataSubmissionEnabled": False,
    "toolkit.telemetry.reportingpolicy.firstRun": False,
    "app.update.auto": False,
    # Firefox's own services, which log their errors where the page's go.
    "app.normandy.enabled": False,
    "app.shield.optoutstudies.enabled": False,
    "browser.backup.enabled": False,
    "browser.backup.scheduled.enabled": False,
    "extensions.update.enabled": False,
    "browser.newtabpage.enabled": False,
    "browser.aboutwelcome.enabled": False,
}


def start_xvfb():
    """An Xvfb on a display number no other server on the machine uses: X
    clients look for a display's abstract socket first, which servers in
    other containers beside this one share, so the number is picked among
    those that no socket names. None without Xvfb."""
    if not shutil.which("Xvfb"):
        return None
    for display in random.sample(range(100, 1000), 20):
        with open("/proc/net/unix") as f:
            if any(line.rstrip().endswith(f"/tmp/.X11-unix/X{display}") for line in f):
                continue
        server = subprocess.Popen(["Xvfb", f":{display}", "-screen", "0", "1280x720x24", "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        server.display = display

        def answers():
            with socket.socket(socket.AF_UNIX) as s:
                try:
                    s.connect(f"/tmp/.X11-unix/X{display}")
                    return True
                except OSError:
                    return server.poll() is not None
        wait_for(answers, 10)
        if server.poll() is None:
            return server
    return None


# Firefox's experiment loader, which no preference turns off, logs that it
# cannot reach its server where the pages' console goes.
FIREFOX_OWN_ERRORS = ("console.error: RSLoader:",)


class Firefox:
    name = "firefox"

    def __init__(self):
        binary = shutil.which("firefox-esr") or shutil.which("firefox")
        if not binary:
            raise Unavailable("firefox-esr is not installed")
        self.profile = tempfile.mkdtemp(prefix="velvoria-firefox-")
        port = free_port()
        prefs = dict(FIREFOX_PREFS, **{"marionette.port": port})
        with open(os.path.join(self.profile, "user.js"), "w") as f:
            for name, value in prefs.items():
                f.write(f"user_pref({json.dumps(name)}, {json.dumps(value)});\n")
        self.log = os.path.join(self.profile, "output.log")
        env = dict(os.environ, MOZ_HEADLESS="1", MOZ_HEADLESS_WIDTH="1280", MOZ_HEADLESS_HEIGHT="720")
        # Headless Firefox draws no window, but finds its GL driver (Mesa's
        # llvmpipe) only through an X display: an Xvfb of its own.
        self.page = None
        self.xvfb = start_xvfb()
        if self.xvfb:
            env["DISPLAY"] = f":{self.xvfb.display}"
        with open(self.log, "w") as log:
            self.process = subprocess.Popen([binary, "--marionette", "--headless", "--no-remote", "--profile",
                                             self.profile, "about:blank"], stdout=log, stderr=subprocess.STDOUT,
                                            env=env)
        for _ in range(600):
            if self.process.poll() is not None:
                why = open(self.log, errors="replace").read()[-200:].replace("\n", " ")
                self.close()
                raise Unavailable("firefox-esr did not start: " + why)
            try:
                self.page = Marionette(port, self.log)
                break
            except (ConnectionRefusedError, OSError):
                time.sleep(0.1)
        else:
            self.close()
            raise Unavailable("firefox-esr did not open its Marionette port")
        self.page.call("WebDriver:SetWindowRect", width=1280, height=720)
        # WebGL 2 with float targets, in a page of its own.
        self.page.navigate("data:text/html,<canvas></canvas>")
        what = self.page.evaluate(
            "(() => { const canvas = document.createElement('canvas'); let why = '';"
            " canvas.addEventListener('webglcontextcreationerror', e => { why = e.statusMessage; });"
            " const c = canvas.getContext('webgl2');"
            " if (!c) return 'no WebGL 2 context (' + why.replace(/\\s+/g, ' ').trim() + ')';"
            " if (!c.getExtension('EXT_color_buffer_float')) return 'no EXT_color_buffer_float';"
            " return 'ok ' + c.getParameter(c.VERSION) + ', ' + c.getParameter(c.RENDERER); })()")
        if not what.startswith("ok "):
            self.close()
            raise Unavailable(f"headless firefox-esr has {what} here"
                              + ("" if self.xvfb else ", and there is no Xvfb to give it a GL driver"))
        self.renderer = what[3:]

    def open(self, url, first_script=None, view=None):
        assert first_script is None, "Marionette runs nothing before the page's scripts"
        self.page.call("WebDriver:SetWindowRect", width=(view or (1280, 720, 1))[0],
                       height=(view or (1280, 720, 1))[1])
        self.page.navigate(url)
        return self.page

    def done(self, page):
        pass

    def hide(self, page, seconds):
        """Another tab in front for the seconds; the page's visibility then."""
        mine = page.call("WebDriver:GetWindowHandle")["value"]
        other = page.call("WebDriver:NewWindow", type="tab", focus=True)["handle"]
        page.call("WebDriver:SwitchToWindow", handle=other, focus=True)
        page.call("WebDriver:SwitchToWindow", handle=mine, focus=False)
        wait_for(lambda: page.evaluate("document.visibilityState") == "hidden", 5)
        state = page.evaluate("document.visibilityState")
        time.sleep(seconds)
        page.call("WebDriver:SwitchToWindow", handle=other)
        page.call("WebDriver:CloseWindow")
        page.call("WebDriver:SwitchToWindow", handle=mine, focus=True)
        return state

    def close(self):
        try:
            self.page.call("Marionette:Quit")
        except Exception:
            pass
        try:
            self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()
        shutil.rmtree(self.profile, ignore_errors=True)


# --- the checks ----------------------------------------------------------------

def psnr(a, b):
    mse = np.mean((np.asarray(a).astype(np.float64) - np.asarray(b).astype(np.float64)) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)


def detail(image):
    """The mean absolute Laplacian of the luminance: what fine structure holds."""
    y = np.asarray(image.convert("L")).astype(np.float64)
    return float(np.mean(np.abs(4 * y[1:-1, 1:-1] - y[:-2, 1:-1] - y[2:, 1:-1] - y[1:-1, :-2] - y[1:-1, 2:])))


def check_frames(browser, root, desktop_dir, out_dir, failures, errors):
    for t in TIMES:
        page = browser.open(f"{root}/index.html#at={t}")
        page.wait_title(lambda title: title == "velvoria: ready", 300)
        ready_ms = page.evaluate("performance.now()")
        frame = page.canvas()
        frame.save(os.path.join(out_dir, f"{browser.name}-{t * 1000:05d}.png"))
        desktop = Image.open(os.path.join(desktop_dir, f"frame-{t * 1000:05d}.png")).convert("RGB")
        errors += page.errors
        browser.done(page)
        if frame.size != desktop.size:
            failures.append(f"t={t}: the canvas is {frame.size}, the desktop frame {desktop.size}")
            continue
        value = psnr(frame, desktop)
        print(f"web-test: {browser.name}: t={t} s  PSNR {value:.2f} dB  (ready {ready_ms / 1000:.2f} s after loading)")
        if value < MIN_PSNR:
            failures.append(f"t={t}: PSNR {value:.2f} dB, below {MIN_PSNR}")


def check_refusals(browser, root, failures):
    """Bad #at= values and sizes, a good size, missing files and the sub-path."""
    for value in BAD_AT:
        page = browser.open(f"{root}/index.html#at={value}")
        title = page.wait_error(60)
        browser.done(page)
        if not title.startswith(f"velvoria: error: #at={value}: "):
            failures.append(f"#at={value}: the title is {title!r}")
    print(f"web-test: {browser.name}: #at= {', '.join(repr(v) for v in BAD_AT)} refused, e.g. {title!r}")
    page = browser.open(f"{root}/index.html#at=5&size=1000x500")
    title = page.wait_error(60)
    browser.done(page)
    if not title.startswith("velvoria: error: size=1000x500: "):
        failures.append(f"#at=5&size=1000x500: the title is {title!r}")
    page = browser.open(f"{root}/index.html#at=5&size=640x360")
    title = page.wait_error(300)
    size = canvas_size(page)
    browser.done(page)
    if title != "velvoria: ready" or size != [640, 360]:
        failures.append(f"#at=5&size=640x360: the title is {title!r}, the buffer {size}")
    # Each file the page needs, missing on the server: the page names it.
    for name in ("velvoria.js", "velvoria.wasm", "velvoria.data", MUSIC):
        page = browser.open(f"{root}/missing-{name}/velvoria/")
        title = page.wait_error(120)
        browser.done(page)
        if not title.startswith("velvoria: error: ") or name not in title:
            failures.append(f"without {name} on the server the title is {title!r}")
        else:
            print(f"web-test: {browser.name}: without {name}: {title!r}")
    for path in ("/velvoria/", "/velvoria"):
        page = browser.open(f"{root}{path}#at=5")
        title = page.wait_error(300)
        browser.done(page)
        if title != "velvoria: ready":
            failures.append(f"served at {path}: the title is {title!r}")
    print(f"web-test: {browser.name}: served at /velvoria/ and /velvoria: ready")


def expected_buffer(page):
    """The drawing buffer the program should choose for the element now."""
    w, h = page.evaluate("(() => { const r = document.getElementById('canvas').getBoundingClientRect();"
                         " return [Math.round(r.width * devicePixelRatio), Math.round(r.height * devicePixelRatio)]; })()")
    side = max(360, min(h, w * 9 // 16, 2160))
    return [(side * 16 + 4) // 9, side]


def canvas_size(page):
    return page.evaluate("[document.getElementById('canvas').width, document.getElementById('canvas').height]")


def wait_for(what, timeout):
    end = time.time() + timeout
    while time.time() < end:
        if what():
            return True
        time.sleep(0.2)
    return False


def start_playing(browser, url, view=None):
    """Opens the page, presses Start; the page, seconds from navigation to
    the start button, and from the click to the first frame."""
    page = browser.open(url, view=view)
    page.wait_title(lambda title: title == "velvoria: loaded", 300)
    loaded_ms = page.evaluate("performance.now()")
    page.evaluate(TIME_FRAMES)
    page.click("#start")
    clicked = time.time()
    page.wait_title(lambda title: title.startswith("velvoria: playing "), 60)
    return page, loaded_ms / 1000, time.time() - clicked


def check_playing(browser, root, failures, errors):
    page, loaded_s, first_s = start_playing(browser, f"{root}/index.html")
    first = page.playing_time()
    tick_ms, interval_ms = frame_times(page, 3)
    later = page.wait_title(lambda title: title.startswith("velvoria: playing ") and
                            float(title.split()[-1]) >= first + 1.0, 30)
    print(f"web-test: {browser.name}: playing {first:.2f}, then {later.split()[-1]}; start offered {loaded_s:.2f} s"
          f" after loading, first frame {first_s:.2f} s after the click; {tick_ms:.1f} ms in the program per frame,"
          f" one frame every {interval_ms:.1f} ms (buffer {canvas_size(page)})")

    # A second start, by the button or by the program's entry, changes nothing.
    page.evaluate("window.velvoriaSource = Module.velvoriaMusic.source, true")
    before = page.playing_time()
    page.evaluate("(document.getElementById('start').click(), Module._velvoria_start(), true)")
    time.sleep(0.5)
    after = page.playing_time()
    if not page.evaluate("Module.velvoriaMusic.source === window.velvoriaSource") or \
            after is None or before is None or after < before:
        failures.append(f"a second start changed the production: {before} then {after}")

    # A resize: the drawing buffer follows the element, between frames.
    for view in ((960, 540, 1), (1280, 720, 1)):
        page.view(*view)
        if not wait_for(lambda: canvas_size(page) == expected_buffer(page), 15):
            failures.append(f"resized to {view[0]}x{view[1]}: the buffer is {canvas_size(page)},"
                            f" not {expected_buffer(page)}")
    print(f"web-test: {browser.name}: resized to 960x540 and back: buffer {canvas_size(page)}")

    # Another tab in front: this one is hidden and draws nothing (or little)
    # while the music goes on; in front again, its next frame is the music's.
    before = page.playing_time()
    hidden = browser.hide(page, 2)
    resumed = wait_for(lambda: (page.playing_time() or 0) >= before + 2, 10)
    print(f"web-test: {browser.name}: {hidden} for 2 s at {before:.2f}, then {page.playing_time()}")
    if hidden != "hidden" or not resumed:
        failures.append(f"a tab {hidden} at {before:.2f} for 2 s shows {page.playing_time()} again")

    page.escape()
    page.wait_title(lambda title: title == "velvoria: ended", 30)
    errors += page.errors
    browser.done(page)


def from_disk(browser, dist):
    """The page opened as a file: its title once it has played or given up,
    and the words it shows."""
    page = browser.open("file://" + urllib.request.pathname2url(os.path.abspath(dist)) + "/index.html")
    wait_for(lambda: page.evaluate("document.title") == "velvoria: loaded"
             or page.evaluate("document.title").startswith("velvoria: error"), 300)
    title, words = page.evaluate("document.title"), page.message()
    browser.done(page)
    return title, words


def shows(element):
    """An expression: the element of that id is there and not hidden."""
    return f"(e => !!e && !e.hidden)(document.getElementById('{element}'))"


def check_viewers(browser, root, dist, failures, errors):
    """Opened from disk, the page says to serve it over HTTP with the one
    command (or plays, where the browser lets it). Chromium also: on a touch
    screen the hint names taps and a tap control stops the production; in
    fullscreen the note over the picture and the hint say that Escape
    leaves fullscreen first."""
    title, words = from_disk(browser, dist)
    print(f"web-test: {browser.name}: from disk: {title!r}")
    if not (title == "velvoria: loaded" or SERVE_COMMAND in words and "HTTP" in words):
        failures.append(f"from disk the title is {title!r} and the page shows {words!r}")
    if browser.name != "chromium":
        return

    page = browser.open(f"{root}/index.html#size=640x360", touch=True)
    page.wait_title(lambda title: title == "velvoria: loaded", 300)
    hint = page.evaluate("document.getElementById('hint').textContent")
    page.tap("#start")
    page.wait_title(lambda title: title.startswith("velvoria: playing "), 60)
    page.tap("#canvas")
    shown = wait_for(lambda: page.evaluate(shows("controls")), 10)
    if shown:
        page.tap("#stop")
    stopped = wait_for(lambda: page.evaluate("document.title") == "velvoria: ended", 30)
    errors += page.errors
    browser.done(page)
    print(f"web-test: {browser.name}: touch screen: hint {hint!r}; a tap shows the controls: {shown},"
          f" Stop ends it: {stopped}")
    if "Tap" not in hint or "Escape" in hint or "F or" in hint or not shown or not stopped:
        failures.append(f"on a touch screen the hint is {hint!r}, the controls show: {shown}, Stop stops: {stopped}")

    page = browser.open(f"{root}/index.html#size=640x360")
    page.wait_title(lambda title: title == "velvoria: loaded", 300)
    page.click("#start")
    page.wait_title(lambda title: title.startswith("velvoria: playing "), 60)
    page.press_f()
    full = wait_for(lambda: page.evaluate("document.fullscreenElement !== null && " + shows("note")), 10)
    note = page.evaluate(shows("note") + " ? document.getElementById('note').textContent : ''")
    page.press_f()
    left = wait_for(lambda: page.evaluate("document.fullscreenElement === null"), 10)
    hint = page.evaluate("document.getElementById('hint').textContent")
    page.escape()
    page.wait_title(lambda title: title == "velvoria: ended", 30)
    errors += page.errors
    browser.done(page)
    print(f"web-test: {browser.name}: in fullscreen ({full}) the note says {note!r}; out of it ({left}) {hint!r}")
    if not full or "Escape leaves fullscreen first" not in note or not left or "Escape: stop" not in hint:
        failures.append(f"fullscreen {full}: the note says {note!r}; left {left}: the hint says {hint!r}")


def check_native(browser, root, desktop_4k_dir, desktop_dir, out_dir, failures, errors):
    """1920x1080 CSS pixels at devicePixelRatio 2: a 3840x2160 buffer, the
    capture tool's frame at that size, sharper than 1280x720 upscaled."""
    page = browser.open(f"{root}/index.html", view=(1920, 1080, 2))
    page.wait_title(lambda title: title == "velvoria: loaded", 300)
    page.click("#start")
    page.wait_title(lambda title: title.startswith("velvoria: playing "), 120)
    played = canvas_size(page)
    page.escape()
    page.wait_title(lambda title: title == "velvoria: ended", 60)
    errors += page.errors
    browser.done(page)

    page = browser.open(f"{root}/index.html#at={NATIVE_TIME}&size=native", view=(1920, 1080, 2))
    page.wait_title(lambda title: title == "velvoria: ready", 300)
    frame = page.canvas()
    errors += page.errors
    browser.done(page)
    frame.save(os.path.join(out_dir, f"{browser.name}-native-{NATIVE_TIME * 1000:05d}.png"))
    if played != [3840, 2160] or frame.size != (3840, 2160):
        failures.append(f"at 1920x1080 and devicePixelRatio 2 the buffer is {played} playing, {frame.size} still")
        return
    desktop = Image.open(os.path.join(desktop_4k_dir, f"frame-{NATIVE_TIME * 1000:05d}.png")).convert("RGB")
    small = Image.open(os.path.join(out_dir, f"{browser.name}-{NATIVE_TIME * 1000:05d}.png"))
    upscaled = small.resize(frame.size, Image.BICUBIC)
    native_db, upscaled_db = psnr(frame, desktop), psnr(upscaled, desktop)
    native_detail, upscaled_detail = detail(frame), detail(upscaled)
    print(f"web-test: {browser.name}: 1920x1080 at ratio 2: buffer {played[0]}x{played[1]}; t={NATIVE_TIME} s"
          f" PSNR {native_db:.2f} dB against the 3840x2160 capture (1280x720 upscaled: {upscaled_db:.2f} dB);"
          f" detail {native_detail:.2f} (upscaled {upscaled_detail:.2f})")
    if native_db < MIN_PSNR:
        failures.append(f"native t={NATIVE_TIME}: PSNR {native_db:.2f} dB, below {MIN_PSNR}")
    if not (native_db > upscaled_db and native_detail > 1.2 * upscaled_detail):
        failures.append(f"native t={NATIVE_TIME}: no more detail than 1280x720 upscaled")


def check_refused_contexts(root, failures):
    """Chromium whose WebGL 2 has no float targets, and one without WebGL 2."""
    browser = Chromium()
    try:
        page = browser.open(f"{root}/index.html#at=5", NO_FLOAT_TARGETS)
        title = page.wait_error(300)
        if not title.startswith("velvoria: error: ") or "floating-point" not in page.message():
            failures.append(f"without float targets the title is {title!r} and the page shows {page.message()!r}")
    finally:
        browser.close()
    browser = Chromium("--disable-webgl2")
    try:
        page = browser.open(f"{root}/index.html")
        page.wait_error(120)
        if "WebGL 2" not in page.message():
            failures.append(f"without WebGL2 the page shows {page.message()!r}")
    finally:
        browser.close()


def measure(browser, root):
    """Frame times per size, with the error check after every frame and
    without: one line each."""
    sizes = ((1280, 720, 1), (1920, 1080, 1), (1920, 1080, 2))
    if browser.name == "firefox":
        sizes = sizes[:2]
    for view in sizes:
        for hash_ in ("#glcheck", ""):
            page, loaded_s, first_s = start_playing(browser, f"{root}/index.html{hash_}", view)
            tick_ms, interval_ms = frame_times(page, 6)
            size = canvas_size(page)
            load = open("/proc/loadavg").read().split()[0]
            print(f"web-measure: {browser.name} {size[0]}x{size[1]} check {'every frame ' if hash_ else 'every 2 s  '}"
                  f" {tick_ms:7.1f} ms in the program, a frame every {interval_ms:7.1f} ms;"
                  f" start offered {loaded_s:.2f} s after loading; load {load}", flush=True)
            page.escape()
            page.wait_title(lambda title: title == "velvoria: ended", 60)
            browser.done(page)


def main():
    which, dist, desktop_dir, desktop_4k_dir, out_dir = sys.argv[1:6]
    measuring = "--measure" in sys.argv[6:]
    os.makedirs(out_dir, exist_ok=True)
    server, root = serve(dist)
    failures, errors = [], []
    for attempt in (1, 2):  # a second try for a browser that did not start
        try:
            browser = Chromium() if which == "chromium" else Firefox()
            break
        except Unavailable as e:
            if attempt == 2 or which == "chromium":
                print(f"web-test: {which}: cannot run here: {e}")
                return 3
    if which == "firefox":
        print(f"web-test: firefox: WebGL 2: {browser.renderer}")
    try:
        if measuring:
            measure(browser, root)
            return 0
        check_frames(browser, root, desktop_dir, out_dir, failures, errors)
        check_refusals(browser, root, failures)
        check_playing(browser, root, failures, errors)
        check_viewers(browser, root, dist, failures, errors)
        if which == "chromium":
            check_native(browser, root, desktop_4k_dir, desktop_dir, out_dir, failures, errors)
    except AssertionError as e:
        failures.append(str(e))
    finally:
        browser.close()
    if which == "chromium":
        check_refused_contexts(root, failures)
    server.shutdown()
    failures += [f"browser console: {e}" for e in errors]
    for f in failures:
        print(f"web-test: {which}: FAIL: {f}")
    if not failures:
        print(f"web-test: {which}: passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

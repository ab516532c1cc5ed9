#!/usr/bin/python3
"""The program against a display that does not answer for a moment. An X
server resets itself when its last client leaves (Xvfb does, the test's
server among them) and drops the connections that come meanwhile: a program
started just then, or the error box a program opens just after closing its
own connections, once found no display. Here a display of the test's own
stands in front of an Xvfb and, like a resetting server, drops every
connection for a second whenever one comes while it has no client. The
default run still switches the display's mode and opens its window; a
missing file still brings up the "Fatal Error" box, also when the program
ran on another video driver and the box is its first connection.

usage: test_display.py VELVORIA
"""
import os
import selectors
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import Stage, check, find_window, finish, start, start_xvfb  # noqa: E402

VELVORIA = os.path.abspath(sys.argv[1])
TITLE = "Orvanth - Velvoria"
DEAF = 1.0


class ResettingDisplay(threading.Thread):
    """Display :number, forwarding to an X server's socket, deaf for DEAF
    seconds after a connection arrives while it has none."""

    def __init__(self, server_socket):
        super().__init__(daemon=True)
        self.server_socket = server_socket
        self.listeners = []
        for number in range(300, 400):
            path = "/tmp/.X11-unix/X%d" % number
            if os.path.exists(path):
                continue
            try:
                # Xlib tries the abstract name first, then the file.
                self.listeners = [self.listen("\0" + path), self.listen(path)]
            except OSError:
                for s in self.listeners:
                    s.close()
                self.listeners = []
                continue
            self.number, self.path = number, path
            break
        self.selector = selectors.DefaultSelector()
        for s in self.listeners:
            self.selector.register(s, selectors.EVENT_READ, None)
        self.clients, self.dropped, self.deaf_until, self.armed = 0, 0, 0.0, True
        self.running = True

    @staticmethod
    def listen(address):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.bind(address)
        s.listen(16)
        return s

    def run(self):
        while self.running:
            for key, _ in self.selector.select(0.1):
                if key.data is None:
                    self.accept(key.fileobj)
                else:
                    self.forward(key.fileobj, key.data)

    def accept(self, listener):
        client, _ = listener.accept()
        now = time.time()
        if self.armed:
            self.armed, self.deaf_until = False, now + DEAF
        if now < self.deaf_until:
            self.dropped += 1
            client.close()
            return
        upstream = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        upstream.connect(self.server_socket)
        self.selector.register(client, selectors.EVENT_READ, upstream)
        self.selector.register(upstream, selectors.EVENT_READ, client)
        self.clients += 1

    def forward(self, source, sink):
        try:
            data = source.recv(1 << 16)
            if data:
                sink.sendall(data)
                return
        except OSError:
            pass
        for s in (source, sink):
            self.selector.unregister(s)
            s.close()
        self.clients -= 1
        if self.clients == 0:
            self.armed = True

    def reset(self):
        """As when the last client has just left: the next connection finds
        the server resetting."""
        self.armed = True

    def stop(self):
        self.running = False
        self.join()
        os.remove(self.path)


_, real = start_xvfb("1280x720x24")
display = ResettingDisplay("/tmp/.X11-unix/X" + real["DISPLAY"].lstrip(":"))
display.start()
deaf = dict(real, DISPLAY=":%d" % display.number)
try:
    # The windows are looked for on the real server; the programs meet the
    # deaf one.
    for run in range(3):
        display.reset()
        demo = start([VELVORIA], env=deaf)
        window, _ = find_window(TITLE, env=real, program=demo)
        check(window is not None, "the default run opens its fullscreen window (%d)" % (run + 1))
        demo.end()

    # The box alone meets the deaf display when the program used another
    # video driver (it has no connection of its own to keep the server up).
    stage = Stage(VELVORIA, leave_out={"Blur.frag"})
    try:
        for driver in ("x11", "offscreen"):
            display.reset()
            demo = start([stage.program], env=dict(deaf, SDL_VIDEODRIVER=driver))
            box, _ = find_window("Fatal Error", env=real, program=demo)
            check(box is not None, "a missing file brings up the \"Fatal Error\" box (%s)" % driver)
            demo.end()
    finally:
        stage.remove()
    check(display.dropped > 0, "the display dropped %d connections meanwhile" % display.dropped)
finally:
    display.stop()
finish()

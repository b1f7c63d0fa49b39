#!/usr/bin/env python3
"""Runs Kivo scripts on a private X server (Xvfb) and checks what the display shows and what the
scripts report: colours on screen, mouse and key messages, scroll bar requests, size changes,
closing from outside, idle CPU use and the fall-back without a reachable display.

usage: kvo_xvfb.py SCENARIO KV2 SOURCE_DIR
(the scenario native takes the back end's unit test executable in place of KV2)
"""

import ctypes
import ctypes.util
import os
import select
import subprocess
import sys
import tempfile
import time

SCREEN = (1024, 768)
# events.kvo's window: at (50, 50) on the screen, with a 3-pixel frame and a 20-pixel caption that
# the display's own decoration stands for, so its client area starts at (53, 73).
CLIENT = (53, 73)
CLIENT_SIZE = (378, 274)
BAR_X = CLIENT[0] + CLIENT_SIZE[0] + 8  # the middle of the vertical scroll bar
CHILD = (CLIENT[0] + 200, CLIENT[1] + 100)
TITLE = "Kivo events"


class Failure(Exception):
    pass


class Xvfb:
    """A private X server on a free display number, stopped when the block ends."""

    def __enter__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % SCREEN, "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(read_end, 16) if ready else b""
            if not chunk:
                self.process.kill()
                raise Failure("Xvfb did not start")
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("KIVO_HEADLESS", None)
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
        return False

    def run(self, *args, check=True):
        result = subprocess.run(list(args), env=self.env, capture_output=True, text=True, timeout=30)
        if check and result.returncode != 0:
            raise Failure("%s failed: %s" % (" ".join(args), result.stderr))
        return result.stdout

    def xdotool(self, *args):
        return self.run("xdotool", *args)

    def screenshot(self):
        with tempfile.NamedTemporaryFile(suffix=".rgb") as shot:
            self.run("import", "-window", "root", "-depth", "8", "rgb:" + shot.name)
            data = shot.read()
        return lambda x, y: tuple(data[(y * SCREEN[0] + x) * 3:(y * SCREEN[0] + x) * 3 + 3])

    def wait_for_colour(self, point, colour, what, timeout=15):
        deadline = time.monotonic() + timeout
        while True:
            seen = self.screenshot()(*point)
            if seen == colour:
                return
            if time.monotonic() > deadline:
                raise Failure("%s: %s at %s, expected %s" % (what, seen, point, colour))
            time.sleep(0.1)

    @staticmethod
    def xlib():
        xlib = ctypes.CDLL(ctypes.util.find_library("X11"))
        xlib.XOpenDisplay.restype = ctypes.c_void_p
        xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        xlib.XInternAtom.restype = ctypes.c_ulong
        xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
        xlib.XDisplayKeycodes.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int)]
        xlib.XGetKeyboardMapping.restype = ctypes.POINTER(ctypes.c_ulong)
        xlib.XGetKeyboardMapping.argtypes = [ctypes.c_void_p, ctypes.c_ubyte, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
        xlib.XChangeKeyboardMapping.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                                ctypes.POINTER(ctypes.c_ulong), ctypes.c_int]
        xlib.XFree.argtypes = [ctypes.c_void_p]
        xlib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        xlib.XFlush.argtypes = [ctypes.c_void_p]
        xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        return xlib

    def bind_keysym(self, keysym):
        """Puts a key sym on an unused key code for good. xdotool binds a missing sym for one key
        press only and takes it back at once; a client that reads the press after that finds no
        character, which a busy machine made happen."""
        xlib = self.xlib()
        display = xlib.XOpenDisplay(self.display.encode())
        if not display:
            raise Failure("cannot open " + self.display)
        try:
            lowest, highest = ctypes.c_int(), ctypes.c_int()
            xlib.XDisplayKeycodes(display, ctypes.byref(lowest), ctypes.byref(highest))
            per_code = ctypes.c_int()
            count = highest.value - lowest.value + 1
            table = xlib.XGetKeyboardMapping(display, lowest.value, count, ctypes.byref(per_code))
            unused = [lowest.value + i for i in range(count)
                      if not any(table[i * per_code.value + j] for j in range(per_code.value))]
            xlib.XFree(table)
            if not unused:
                raise Failure("no unused key code on " + self.display)
            syms = (ctypes.c_ulong * 2)(keysym, keysym)
            xlib.XChangeKeyboardMapping(display, unused[-1], 2, syms, 1)
            xlib.XSync(display, 0)
        finally:
            xlib.XCloseDisplay(display)

    def send_delete_window(self, window):
        """Asks the window to close as a window manager does: WM_PROTOCOLS / WM_DELETE_WINDOW."""
        xlib = self.xlib()

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                        ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]

        display = xlib.XOpenDisplay(self.display.encode())
        if not display:
            raise Failure("cannot open " + self.display)
        event = ClientMessage()
        event.type = 33  # ClientMessage
        event.window = window
        event.message_type = xlib.XInternAtom(display, b"WM_PROTOCOLS", 0)
        event.format = 32
        event.data[0] = xlib.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
        xlib.XSendEvent(display, window, 0, 0, ctypes.byref(event))
        xlib.XFlush(display)
        xlib.XCloseDisplay(display)


class Script:
    """A Kivo script running on the display; its output is read when it ends."""

    def __init__(self, x, kv2, path, *args):
        self.x = x
        self.process = subprocess.Popen([kv2, path] + list(args), env=x.env, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)

    def window(self, title=TITLE):
        found = self.x.run("timeout", "15", "xdotool", "search", "--sync", "--onlyvisible", "--name", title)
        return int(found.split()[0])

    def finish(self, timeout=20):
        try:
            out, _ = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, _ = self.process.communicate()
            raise Failure("the script did not end; it printed:\n" + out)
        return out

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()


def expect_lines(output, expected):
    """Each expected line must appear, in this order, among the output's lines."""
    lines = output.splitlines()
    position = 0
    for line in expected:
        try:
            position = lines.index(line, position) + 1
        except ValueError:
            raise Failure("missing %r (in order) in:\n%s" % (line, output))


def start_events(x, kv2, source):
    script = Script(x, kv2, os.path.join(source, "tests/x11/scripts/events.kvo"))
    window = script.window()
    x.wait_for_colour((CLIENT[0] + 5, CLIENT[1] + 5), (255, 0, 0), "the window's client area")
    return script, window


def close(x, script, window):
    x.send_delete_window(window)
    return script.finish()


def scenario_paint(x, kv2, source):
    script, window = start_events(x, kv2, source)
    try:
        shot = x.screenshot()
        checks = [
            ((CLIENT[0] + 5, CLIENT[1] + 5), (255, 0, 0), "parent client area"),
            ((CHILD[0] + 5, CHILD[1] + 5), (0, 0, 255), "child"),
            ((CHILD[0] + 99, CHILD[1] + 79), (0, 0, 255), "child's last pixel"),
            ((CHILD[0] + 100, CHILD[1] + 80), (255, 0, 0), "parent beside the child"),
            ((CLIENT[0] + 25, CLIENT[1] + 155), (0, 255, 0), "disabled child"),
            ((BAR_X, CLIENT[1] + 150), (232, 232, 232), "scroll bar track"),
            ((BAR_X, CLIENT[1] + 2), (205, 205, 205), "scroll bar arrow"),
            ((BAR_X, CLIENT[1] + 20), (166, 166, 166), "scroll bar thumb"),
            ((CLIENT[0] - 2, CLIENT[1] + 5), (0, 0, 0), "outside the window"),
        ]
        for point, colour, what in checks:
            if shot(*point) != colour:
                raise Failure("%s: %s at %s, expected %s" % (what, shot(*point), point, colour))
        # Scrolling moves the thumb; the picture follows without a gap.
        x.xdotool("mousemove", str(BAR_X), str(CLIENT[1] + CLIENT_SIZE[1] - 30), "click", "1")
        x.wait_for_colour((BAR_X, CLIENT[1] + 20), (232, 232, 232), "thumb moved off its start")
        x.wait_for_colour((CLIENT[0] + 5, CLIENT[1] + 5), (255, 0, 0), "scrolled client area")
        expect_lines(close(x, script, window), ["parent vscroll 3", "parent close", "closed"])
    finally:
        script.kill()


def scenario_mouse(x, kv2, source):
    script, window = start_events(x, kv2, source)
    try:
        x.xdotool("mousemove", str(CLIENT[0] + 10), str(CLIENT[1] + 20), "click", "1")
        x.xdotool("mousemove", str(CHILD[0] + 7), str(CHILD[1] + 9), "click", "1", "click", "3")
        x.xdotool("mousemove", str(CLIENT[0] + 30), str(CLIENT[1] + 40), "click", "5", "click", "4")
        # A press in the child held while the pointer leaves it: the child keeps the mouse.
        x.xdotool("mousemove", str(CHILD[0] + 50), str(CHILD[1] + 40), "mousedown", "1",
                  "mousemove", str(CHILD[0] - 20), str(CHILD[1] - 10), "mouseup", "1")
        x.xdotool("keydown", "shift", "mousemove", str(CLIENT[0] + 3), str(CLIENT[1] + 4), "click", "1",
                  "keyup", "shift")
        # A disabled child lets the click through to its parent.
        x.xdotool("mousemove", str(CLIENT[0] + 30), str(CLIENT[1] + 160), "click", "1")
        # The script windows' class does not ask for double clicks: two quick presses stay presses.
        x.xdotool("mousemove", str(CLIENT[0] + 100), str(CLIENT[1] + 100), "click", "--repeat", "2",
                  "--delay", "50", "1")
        output = close(x, script, window)
        expect_lines(output, [
            "parent lbuttondown 10,20 keys 1", "parent lbuttonup 10,20 keys 0",
            "child lbuttondown 7,9 keys 1", "child lbuttonup 7,9 keys 0",
            "child rbuttondown 7,9 keys 2", "child rbuttonup 7,9",
            "parent wheel -120 at %d,%d" % (CLIENT[0] + 30, CLIENT[1] + 40),
            "parent wheel 120 at %d,%d" % (CLIENT[0] + 30, CLIENT[1] + 40),
            "child lbuttondown 50,40 keys 1", "child lbuttonup -20,-10 keys 0",
            "parent lbuttondown 3,4 keys 5",
            "parent lbuttondown 30,160 keys 1",
            "parent lbuttondown 100,100 keys 1", "parent lbuttonup 100,100 keys 0",
            "parent lbuttondown 100,100 keys 1", "parent lbuttonup 100,100 keys 0",
            "parent close", "closed"])
        if "lbuttondblclk" in output or "disabled lbutton" in output:
            raise Failure("a double click or a disabled window's message:\n" + output)
        if "child lbuttondown 10,20 keys 1" in output or "parent lbuttondown 7,9 keys 1" in output:
            raise Failure("a click went to the wrong window:\n" + output)
    finally:
        script.kill()


def scenario_keys(x, kv2, source):
    x.bind_keysym(0xE9)  # eacute, typed below
    script, window = start_events(x, kv2, source)
    try:
        x.xdotool("windowfocus", "--sync", str(window))
        x.xdotool("key", "a", "shift+b", "Left", "F5", "Return", "ctrl+c", "KP_Add", "BackSpace")
        x.xdotool("type", "\u00e9")
        # The focus leaves for the root window and comes back.
        root = int(x.run("xwininfo", "-root").split("Window id:")[1].split()[0], 16)
        x.xdotool("windowfocus", str(root))
        x.xdotool("windowfocus", "--sync", str(window))
        x.xdotool("key", "z")
        output = close(x, script, window)
        expect_lines(output, ["parent setfocus", "parent keydown 65", "parent char 233", "parent killfocus",
                              "parent setfocus", "parent keydown 90"])
        expect_lines(output, [
            "parent keydown 65", "parent char 97", "parent keyup 65",
            "parent keydown 16", "parent keydown 66", "parent char 66",
            "parent keydown 37", "parent keyup 37",
            "parent keydown 116", "parent keyup 116",
            "parent keydown 13", "parent char 13",
            "parent keydown 17", "parent keydown 67", "parent char 3",
            "parent keydown 107", "parent char 43",
            "parent keydown 8", "parent char 8",
            "parent char 233",
            "parent close", "closed"])
        for released in ("parent keyup 66", "parent keyup 16", "parent keyup 13"):
            if released not in output.splitlines():
                raise Failure("missing %r in:\n%s" % (released, output))
        for stray in ("parent char 37", "parent char 116"):
            if stray in output.splitlines():
                raise Failure("a key that types nothing gave %r:\n%s" % (stray, output))
    finally:
        script.kill()


def scenario_scrollbar(x, kv2, source):
    script, window = start_events(x, kv2, source)
    try:
        top, bottom = CLIENT[1], CLIENT[1] + CLIENT_SIZE[1]
        x.xdotool("mousemove", str(BAR_X), str(bottom - 5), "click", "1")   # down arrow
        x.xdotool("mousemove", str(BAR_X), str(top + 5), "click", "1")      # up arrow
        x.xdotool("mousemove", str(BAR_X), str(bottom - 40), "click", "1")  # below the thumb
        x.xdotool("mousemove", str(BAR_X), str(top + 30), "click", "1")     # above the thumb (moved down a page)
        # The thumb, now at the top again, dragged down by 60 pixels.
        x.xdotool("mousemove", str(BAR_X), str(top + 20), "mousedown", "1")
        x.xdotool("mousemove", str(BAR_X), str(top + 50))
        x.xdotool("mousemove", str(BAR_X), str(top + 80), "mouseup", "1")
        output = close(x, script, window)
        expect_lines(output, [
            "parent vscroll 1", "parent vscroll 8",
            "parent vscroll 0", "parent origin 0", "parent vscroll 8",
            "parent vscroll 3", "parent origin -%d" % CLIENT_SIZE[1], "parent vscroll 8",
            "parent vscroll 2", "parent origin 0", "parent vscroll 8",
            "parent vscroll 5", "parent vscroll 4", "parent vscroll 8",
            "parent close", "closed"])
        # Dragging the thumb 60 of the track's pixels moves the origin in proportion.
        origins = [int(line.split()[-1]) for line in output.splitlines() if line.startswith("parent origin")]
        if not origins or origins[-1] > -150:
            raise Failure("the thumb drag did not scroll far enough:\n" + output)
    finally:
        script.kill()


def scenario_resize_close(x, kv2, source):
    script, window = start_events(x, kv2, source)
    try:
        x.xdotool("windowsize", str(window), "300", "200")
        # The window paints its new, smaller area: beyond it the screen is black again.
        x.wait_for_colour((CLIENT[0] + 350, CLIENT[1] + 100), (0, 0, 0), "area left by the smaller window")
        output = close(x, script, window)
        # The new client area is the X window less the scroll bar.
        expect_lines(output, ["parent size 284 x 200", "parent close", "closed"])
    finally:
        script.kill()
    # Destroying the X window from outside closes the window too.
    script, window = start_events(x, kv2, source)
    try:
        x.xdotool("windowclose", str(window))
        expect_lines(script.finish(), ["parent close", "closed"])
    finally:
        script.kill()


def scenario_linger(x, kv2, source):
    # Once destroyed, a window leaves the screen at once, though no message loop runs any more.
    script = Script(x, kv2, os.path.join(source, "tests/x11/scripts/linger.kvo"))
    try:
        script.window("Kivo linger")
        x.wait_for_colour((CLIENT[0] + 5, CLIENT[1] + 5), (255, 0, 0), "the window's client area")
        x.wait_for_colour((CLIENT[0] + 5, CLIENT[1] + 5), (0, 0, 0), "the destroyed window's place", timeout=5)
        if script.process.poll() is not None:
            raise Failure("the script ended before the window was seen gone")
        expect_lines(script.finish(), ["loop over", "done"])
    finally:
        script.kill()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def scenario_idle(x, kv2, source):
    script, window = start_events(x, kv2, source)
    try:
        time.sleep(0.5)
        before, start = cpu_seconds(script.process.pid), time.monotonic()
        time.sleep(2.0)
        used = (cpu_seconds(script.process.pid) - before) / (time.monotonic() - start)
        if used > 0.05:
            raise Failure("an idle message loop used %.1f%% of a CPU" % (used * 100))
        expect_lines(close(x, script, window), ["closed"])
    finally:
        script.kill()


def scenario_native(x, tests, source):
    # Here the program is the back end's own test executable, run on the display.
    result = subprocess.run([tests, "--gtest_filter=X11Display.*"], env=x.env, capture_output=True, text=True,
                            timeout=60)
    if result.returncode != 0 or "[  PASSED  ] 1 test" not in result.stdout or "SKIPPED" in result.stdout:
        raise Failure("the display's unit test:\n" + result.stdout + result.stderr)


def scenario_fallback(x, kv2, source):
    # A display that nobody serves: the window system runs in memory, exactly as without DISPLAY.
    env = dict(os.environ, DISPLAY=":%d" % (int(x.display[1:]) + 1000))
    env.pop("KIVO_HEADLESS", None)
    result = subprocess.run([kv2, os.path.join(source, "examples/gui/shapes.kvo")], env=env, capture_output=True,
                            text=True, timeout=60)
    if result.returncode != 0 or result.stdout != "painted 314 x 214\npainted 474 x 334\nclosed\n":
        raise Failure("headless fall-back: exit %d, output:\n%s%s" % (result.returncode, result.stdout, result.stderr))
    # KIVO_HEADLESS keeps a reachable display unused.
    env = dict(x.env, KIVO_HEADLESS="1")
    result = subprocess.run([kv2, os.path.join(source, "examples/gui/shapes.kvo")], env=env, capture_output=True,
                            text=True, timeout=60)
    if result.stdout != "painted 314 x 214\npainted 474 x 334\nclosed\n":
        raise Failure("KIVO_HEADLESS: output:\n" + result.stdout + result.stderr)
    # On the display the example waits for the user, unless it is asked to save its picture: then
    # it runs to its end, painting again what the server exposes.
    with tempfile.TemporaryDirectory() as work:
        picture = os.path.join(work, "shapes.png")
        output = x.run(kv2, os.path.join(source, "examples/gui/shapes.kvo"), "#", picture)
        expect_lines(output, ["painted 314 x 214", "painted 474 x 334", "closed"])
        if not os.path.exists(picture):
            raise Failure("shapes.kvo saved no picture on the display")
    script = Script(x, kv2, os.path.join(source, "examples/gui/shapes.kvo"))
    try:
        window = script.window("Shapes")
        time.sleep(0.5)
        if script.process.poll() is not None:
            raise Failure("shapes.kvo closed itself on the display:\n" + script.finish())
        x.send_delete_window(window)
        expect_lines(script.finish(), ["painted 474 x 334", "closed"])
    finally:
        script.kill()


# counter.kvo's window: created at (100, 100), so its client area starts at (103, 123).
COUNTER = (103, 123)


def counter_point(x, y):
    return str(COUNTER[0] + x), str(COUNTER[1] + y)


def scenario_counter(x, kv2, source):
    """The controls example used with the mouse and keyboard: buttons, the edit box, the check box."""
    script = Script(x, kv2, os.path.join(source, "examples/gui/counter.kvo"))
    try:
        window = script.window("Counter")
        for _ in range(3):
            x.xdotool("mousemove", *counter_point(40, 52), "click", "1")
        x.xdotool("mousemove", *counter_point(110, 52), "click", "1")
        x.xdotool("mousemove", *counter_point(75, 86), "click", "1")
        x.xdotool("type", "--delay", "50", "42")
        x.xdotool("mousemove", *counter_point(190, 86), "click", "1")
        x.xdotool("mousemove", *counter_point(20, 115), "click", "1")
        x.send_delete_window(window)
        output = script.finish()
        expect_lines(output, ["count: 1", "count: 2", "count: 3", "count: 2", 'entry: "4"', 'entry: "42"',
                              "count: 42", "parity shown: even", "closed at 42"])
    finally:
        script.kill()


def scenario_messagebox(x, kv2, source):
    """MessageBoxW as a window: Tab moves from the default button, Enter presses, Escape cancels."""
    path = os.path.join(source, "tests/x11/scripts/messagebox.kvo")
    for keys, answer in ((["Tab", "Return"], "answer 7"), (["Return"], "answer 6"), (["Escape"], "answer 2")):
        script = Script(x, kv2, path)
        try:
            window = script.window("Question")
            x.xdotool("windowfocus", "--sync", str(window))
            x.xdotool("key", *keys)
            expect_lines(script.finish(), [answer])
        finally:
            script.kill()


SCENARIOS = {name[len("scenario_"):]: function for name, function in globals().items() if name.startswith("scenario_")}


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in SCENARIOS:
        print(__doc__ + "scenarios: " + ", ".join(sorted(SCENARIOS)), file=sys.stderr)
        return 2
    try:
        with Xvfb() as x:
            SCENARIOS[sys.argv[1]](x, sys.argv[2], sys.argv[3])
    except Failure as failure:
        print("FAIL: %s" % failure)
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The player in a real window: cinepane under a virtual X server, driven
with xdotool and judged from screenshots taken with ImageMagick.

    python3 window_e2e.py CINEPANE KOMU

A still four-colour video checks where and how the picture is drawn, the
status bar, repainting, zoom, drag, arrow keys, the wheel and Esc; the demo
video checks play, pause and resume and the window's close request. Waits are
polls with generous limits: only a change that never comes fails a check,
never a slow one. Screenshots are kept in the work folder when something fails.
"""
import ctypes
import os
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time

CINEPANE, KOMU = sys.argv[1], sys.argv[2]

TITLE_RE = r"^View \(KOMU\)$"
CONTENT_W, CONTENT_H = 920, 560  # the window's first content size
BAR_ROWS = 18
BAR_RGB = (0x26, 0x26, 0x26)
VIEW_W, VIEW_H = CONTENT_W, CONTENT_H - BAR_ROWS
BACKGROUND_565 = 0x18E3
FIT_ZOOM_MAX = 6000  # thousandths

# The still video: four quadrants of RGB565 colours.
QUAD_W, QUAD_H = 64, 48
QUAD_565 = {"tl": 0xF800, "tr": 0x07E0, "bl": 0x001F, "br": 0xFFE0}

EDGE_TOL = 4   # screen pixels: a 320 x 200 render buffer stretched over 920 x 542
COLOR_TOL = 3  # per channel
WAIT_S = 15    # the longest wait for anything to show


def expand565(c):
    """RGB565 to 8-bit channels, each widened by repeating its top bits."""
    r, g, b = (c >> 11) & 31, (c >> 5) & 63, c & 31
    return ((r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2))


BACKGROUND_RGB = expand565(BACKGROUND_565)
QUAD_RGB = {k: expand565(v) for k, v in QUAD_565.items()}


def near(a, b, tol=COLOR_TOL):
    return all(abs(x - y) <= tol for x, y in zip(a, b))


class Image:
    """A screenshot as 8-bit RGB."""

    def __init__(self, path):
        ppm = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], check=True,
                             capture_output=True, timeout=30).stdout
        # P6 <w> <h> 255 <pixels>; ImageMagick writes no comments.
        magic, w, h, maxval, self.data = ppm.split(maxsplit=4)
        assert magic == b"P6" and maxval == b"255", "unexpected ppm from convert"
        self.w, self.h, self.path = int(w), int(h), path

    def px(self, x, y):
        i = (y * self.w + x) * 3
        return tuple(self.data[i:i + 3])


class Session:
    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="cinepane_e2e_")
        self.failures = 0
        self.shots = 0
        self.procs = []
        self.xvfb = None
        self.env = dict(os.environ)

    # --- reporting ---------------------------------------------------------
    def check(self, ok, what, detail=""):
        print(("PASS " if ok else "FAIL ") + what + (f"  [{detail}]" if detail else ""), flush=True)
        if not ok:
            self.failures += 1
        return ok

    # --- the X server ------------------------------------------------------
    def start_xvfb(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24",
             "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(self.work, "xvfb.log"), "w"))
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + WAIT_S
        while not number.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([read_end], [], [], left)[0]:
                raise RuntimeError("Xvfb did not report its display")
            chunk = os.read(read_end, 16)
            if not chunk:
                raise RuntimeError("Xvfb exited before reporting its display")
            number += chunk
        os.close(read_end)
        self.env["DISPLAY"] = ":" + number.decode().strip()
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env["SDL_VIDEODRIVER"] = "x11"
        self.env["SDL_RENDER_DRIVER"] = "software"

    def stop(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        if self.xvfb and self.xvfb.poll() is None:
            self.xvfb.terminate()
            self.xvfb.wait()

    # --- tools -------------------------------------------------------------
    def run(self, *cmd, **kw):
        return subprocess.run(list(cmd), check=True, env=self.env, timeout=60, **kw)

    def xdo(self, *args):
        self.run("xdotool", *[str(a) for a in args])

    def player(self, video, name):
        """Starts cinepane on video; returns (process, window id)."""
        out = open(os.path.join(self.work, name + ".out"), "w")
        proc = subprocess.Popen([CINEPANE, video], env=self.env, stdout=out,
                                stderr=subprocess.STDOUT)
        self.procs.append(proc)
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            if proc.poll() is not None:
                raise RuntimeError(f"cinepane exited with {proc.returncode} before its window "
                                   f"showed; see {out.name}")
            found = subprocess.run(["xdotool", "search", "--name", TITLE_RE], env=self.env,
                                   capture_output=True, text=True, timeout=30)
            ids = found.stdout.split()
            if ids:
                return proc, ids[0]
            time.sleep(0.1)
        raise RuntimeError("no window titled 'View (KOMU)' appeared")

    def shot(self, wid, tag):
        self.shots += 1
        path = os.path.join(self.work, f"{self.shots:02d}_{tag}.png")
        self.run("import", "-window", wid, path)
        return path

    def differing_pixels(self, a, b):
        done = subprocess.run(["compare", "-metric", "AE", a, b, "null:"], capture_output=True,
                              text=True, timeout=60)
        try:
            return int(float(done.stderr.split()[0]))
        except (ValueError, IndexError):
            raise RuntimeError("compare failed: " + done.stderr.strip())

    def wait_drawn(self, wid, tag):
        """The first screenshot with the status bar drawn."""
        deadline = time.monotonic() + WAIT_S
        while True:
            img = Image(self.shot(wid, tag))
            if img.w == CONTENT_W and img.h == CONTENT_H and img.px(CONTENT_W - 4, CONTENT_H - 2) == BAR_RGB:
                return img
            if time.monotonic() > deadline:
                return img
            time.sleep(0.1)

    def wait_change(self, wid, before, tag):
        """After some input: the first screenshot that differs from before,
        followed until two in a row are equal (the picture has settled)."""
        deadline = time.monotonic() + WAIT_S
        last = before
        changed = False
        while time.monotonic() < deadline:
            time.sleep(0.15)
            path = self.shot(wid, tag)
            same = self.differing_pixels(last, path) == 0
            if changed and same:
                return Image(path)
            changed = changed or not same
            last = path
        return Image(last)

    def wait_exit(self, proc):
        try:
            return proc.wait(timeout=WAIT_S)
        except subprocess.TimeoutExpired:
            return None


# --- measurements of the still video ------------------------------------------

def fitted_geometry():
    """Where the fit puts the still video: zoom = the largest that shows all
    of it, at most 6x; displayed size rounded up; centred."""
    zoom = min(VIEW_W * 1000 // QUAD_W, VIEW_H * 1000 // QUAD_H, FIT_ZOOM_MAX)
    dw = (QUAD_W * zoom + 999) // 1000
    dh = (QUAD_H * zoom + 999) // 1000
    return (VIEW_W - dw) // 2, (VIEW_H - dh) // 2, dw, dh


def picture_box(img):
    """(left, top, right, bottom), inclusive, of everything in the video area
    that is not background; None if there is nothing."""
    plain_row = bytes(BACKGROUND_RGB) * VIEW_W
    left = right = top = bottom = None
    for y in range(0, VIEW_H):
        start = y * img.w * 3
        if img.data[start:start + VIEW_W * 3] == plain_row:
            continue
        x0 = next((x for x in range(VIEW_W) if not near(img.px(x, y), BACKGROUND_RGB, 10)), None)
        if x0 is None:
            continue
        x1 = next(x for x in range(VIEW_W - 1, -1, -1) if not near(img.px(x, y), BACKGROUND_RGB, 10))
        left = x0 if left is None else min(left, x0)
        right = x1 if right is None else max(right, x1)
        top = y if top is None else top
        bottom = y
    return None if top is None else (left, top, right, bottom)


def quadrant_corner(img, box):
    """Screen position of the point where the four quadrants meet: the first
    column of the top-right colour along a row through the top half, and the
    first row of the bottom-left colour down a column through the left half."""
    left, top, right, bottom = box
    row = top + (bottom - top) // 4
    col = left + (right - left) // 4
    cx = next((x for x in range(left, right + 1) if near(img.px(x, row), QUAD_RGB["tr"])), None)
    cy = next((y for y in range(top, bottom + 1) if near(img.px(col, y), QUAD_RGB["bl"])), None)
    return cx, cy


def describe(box, corner):
    return f"picture {box}, quadrant corner {corner}"


def check_still(s):
    quad = os.path.join(s.work, "quad.komu")
    frame = bytearray()
    for y in range(QUAD_H):
        for x in range(QUAD_W):
            key = ("t" if y < QUAD_H // 2 else "b") + ("l" if x < QUAD_W // 2 else "r")
            frame += struct.pack("<H", QUAD_565[key])
    s.run(KOMU, "encode", "-s", f"{QUAD_W}x{QUAD_H}", "-o", quad, "-", input=bytes(frame))

    proc, wid = s.player(quad, "still")
    img = s.wait_drawn(wid, "still")
    s.check((img.w, img.h) == (CONTENT_W, CONTENT_H), "window content is 920 x 560",
            f"{img.w} x {img.h}")

    # Status bar: its colour over the 18 bottom rows, and text in it.
    bar = [img.px(x, y) for y in range(VIEW_H, CONTENT_H) for x in range(CONTENT_W)]
    plain = sum(1 for p in bar if p == BAR_RGB)
    light = sum(1 for p in bar if min(p) >= 120)
    s.check(plain >= 0.8 * len(bar), "status bar is rgb(38,38,38)",
            f"{plain} of {len(bar)} pixels")
    s.check(light >= 50, "status bar has text in it", f"{light} light pixels")
    s.check(img.px(CONTENT_W - 4, VIEW_H) == BAR_RGB and
            near(img.px(CONTENT_W - 4, VIEW_H - 1), BACKGROUND_RGB),
            "status bar starts 18 rows above the bottom")

    # The picture: fitted and centred, each quadrant its colour, background around.
    px0, py0, dw, dh = fitted_geometry()
    box = picture_box(img)
    expect = (px0, py0, px0 + dw - 1, py0 + dh - 1)
    s.check(box is not None and all(abs(a - b) <= EDGE_TOL for a, b in zip(box, expect)),
            "still video is fitted and centred", f"picture {box}, expected {expect}")
    bad = []
    for key, rgb in QUAD_RGB.items():
        qx = px0 + (dw // 2 if key[1] == "r" else 0)
        qy = py0 + (dh // 2 if key[0] == "b" else 0)
        for i in range(5):
            for j in range(5):
                x = qx + 10 + (dw // 2 - 20) * i // 4
                y = qy + 10 + (dh // 2 - 20) * j // 4
                if not near(img.px(x, y), rgb):
                    bad.append((key, x, y, img.px(x, y)))
    s.check(not bad, "quadrant colours inside the picture", f"wrong: {bad[:4]}")
    outside = [(40, 40), (VIEW_W - 40, 40), (40, VIEW_H - 40), (VIEW_W - 40, VIEW_H - 40),
               (px0 - 20, py0 + dh // 2), (px0 + dw + 20, py0 + dh // 2),
               (px0 + dw // 2, py0 - 20), (px0 + dw // 2, py0 + dh + 20)]
    bad = [(x, y, img.px(x, y)) for x, y in outside if not near(img.px(x, y), BACKGROUND_RGB)]
    s.check(not bad, f"background is RGB565 0x18E3 = rgb{BACKGROUND_RGB} around the picture",
            f"wrong: {bad[:4]}")
    corner = quadrant_corner(img, box) if box else (None, None)
    centre = (VIEW_W // 2, VIEW_H // 2)
    s.check(None not in corner and all(abs(a - b) <= EDGE_TOL for a, b in zip(corner, centre)),
            "quadrant corner at the view centre", describe(box, corner))

    # Unmapped and mapped again, the window shows the same picture at once,
    # though the player only draws when the picture changes. The pointer is
    # kept off the window so that no event reaches the player.
    s.xdo("mousemove", "--sync", 1, 1)
    s.xdo("windowunmap", "--sync", wid)
    s.xdo("windowmap", "--sync", wid)
    deadline = time.monotonic() + WAIT_S
    while True:
        again = s.shot(wid, "remapped")
        same = s.differing_pixels(img.path, again) == 0
        if same or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    s.check(same, "a window mapped again is repainted")

    # '+' zooms about the view centre.
    s.xdo("windowfocus", "--sync", wid)
    s.xdo("key", "plus")
    zoomed = s.wait_change(wid, img.path, "plus")
    zbox = picture_box(zoomed)
    zcorner = quadrant_corner(zoomed, zbox) if zbox else (None, None)
    grew = zbox is not None and box is not None and (zbox[2] - zbox[0]) > 1.1 * (box[2] - box[0])
    s.check(grew and None not in zcorner and
            all(abs(a - b) <= EDGE_TOL for a, b in zip(zcorner, centre)),
            "'+' enlarges the picture about the view centre", describe(zbox, zcorner))

    # A left-button drag moves the picture by the drag.
    drag = (100, 60)
    start = (400, 200)
    s.xdo("mousemove", "--window", wid, "--sync", *start)
    s.xdo("mousedown", 1)
    s.xdo("mousemove", "--window", wid, "--sync", start[0] + drag[0] // 2, start[1] + drag[1] // 2)
    s.xdo("mousemove", "--window", wid, "--sync", start[0] + drag[0], start[1] + drag[1])
    s.xdo("mouseup", 1)
    dragged = s.wait_change(wid, zoomed.path, "drag")
    dbox = picture_box(dragged)
    dcorner = quadrant_corner(dragged, dbox) if dbox else (None, None)
    want = (zcorner[0] + drag[0], zcorner[1] + drag[1]) if None not in zcorner else None
    s.check(want is not None and None not in dcorner and
            all(abs(a - b) <= EDGE_TOL for a, b in zip(dcorner, want)),
            "left-button drag moves the picture by the drag", f"{describe(dbox, dcorner)}, expected corner {want}")

    # Down and Right move the picture down and right.
    s.xdo("key", "Down", "Right")
    arrowed = s.wait_change(wid, dragged.path, "arrows")
    abox = picture_box(arrowed)
    acorner = quadrant_corner(arrowed, abox) if abox else (None, None)
    ok = None not in dcorner and None not in acorner
    s.check(ok and acorner[0] - dcorner[0] > 10 and acorner[1] - dcorner[1] > 10 and
            abs(acorner[0] - dcorner[0] - (acorner[1] - dcorner[1])) <= EDGE_TOL,
            "Down and Right move the picture down and right", f"corner {dcorner} -> {acorner}")

    # The wheel towards the user zooms out, away from the user back in (in
    # this order the zoom stays clear of its limits).
    width = abox[2] - abox[0] if abox else 0
    s.xdo("click", 5)
    wheeled = s.wait_change(wid, arrowed.path, "wheel_out")
    wbox = picture_box(wheeled)
    s.check(wbox is not None and wbox[2] - wbox[0] < 0.9 * width, "wheel down zooms out",
            f"width {width} -> {wbox and wbox[2] - wbox[0]}")
    s.xdo("click", 4)
    back = s.wait_change(wid, wheeled.path, "wheel_in")
    bbox = picture_box(back)
    s.check(bbox is not None and abs((bbox[2] - bbox[0]) - width) <= EDGE_TOL,
            "wheel up zooms back in", f"width {width} -> {bbox and bbox[2] - bbox[0]}")

    s.xdo("key", "Escape")
    status = s.wait_exit(proc)
    s.check(status == 0, "Esc closes the window, exit status 0", f"status {status}")


# --- the demo video: play, pause, resume, close ---------------------------------

def send_close_request(s, wid):
    """Sends WM_DELETE_WINDOW as a window manager would (xdotool 3.2016 has
    no command for it)."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    class XEvent(ctypes.Union):
        _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

    display = x11.XOpenDisplay(s.env["DISPLAY"].encode())
    if not display:
        raise RuntimeError("cannot open " + s.env["DISPLAY"])
    event = XEvent()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = int(wid)
    event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    event.xclient.data[1] = 0  # CurrentTime
    sent = x11.XSendEvent(display, int(wid), 0, 0, ctypes.byref(event))
    x11.XFlush(display)
    x11.XCloseDisplay(display)
    if not sent:
        raise RuntimeError("XSendEvent failed")


def pair_until(s, wid, tag, want_equal):
    """Screenshot pairs a quarter second apart until one is equal (or differs);
    the pair, or None when none did within the wait."""
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        a = s.shot(wid, tag)
        time.sleep(0.25)
        b = s.shot(wid, tag)
        if (s.differing_pixels(a, b) == 0) == want_equal:
            return a, b
    return None


def check_demo(s):
    demo = os.path.join(s.work, "demo.komu")
    s.run(KOMU, "demo", "-o", demo, stdout=subprocess.DEVNULL)
    proc, wid = s.player(demo, "demo")
    s.wait_drawn(wid, "demo")
    s.check(pair_until(s, wid, "playing", want_equal=False) is not None,
            "the demo video plays (screenshots change)")

    s.xdo("windowfocus", "--sync", wid)
    s.xdo("key", "space")
    paused = pair_until(s, wid, "paused", want_equal=True)
    held = False
    if paused:
        # Longer than any still stretch of the demo (1.5 s).
        time.sleep(3)
        later = s.shot(wid, "paused_later")
        held = s.differing_pixels(paused[1], later) == 0
    s.check(paused is not None and held, "Space pauses (the picture stays the same for 3 s)")

    s.xdo("key", "space")
    s.check(pair_until(s, wid, "resumed", want_equal=False) is not None,
            "Space resumes (screenshots change again)")

    send_close_request(s, wid)
    status = s.wait_exit(proc)
    s.check(status == 0, "the window's close request ends the player, exit status 0",
            f"status {status}")


def main():
    s = Session()
    try:
        s.start_xvfb()
        check_still(s)
        check_demo(s)
    except Exception as error:  # a step that could not run at all
        s.check(False, "the test ran to its end", f"{type(error).__name__}: {error}")
    finally:
        s.stop()
    if s.failures:
        print(f"{s.failures} check(s) failed; screenshots and logs kept in {s.work}")
        return 1
    shutil.rmtree(s.work, ignore_errors=True)
    print("all window checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

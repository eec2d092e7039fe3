"""The player in a real window: cinepane under Xvfb, driven with xdotool, judged from
ImageMagick screenshots (python3 window_e2e.py CINEPANE KOMU). Waits are polls with generous
limits: only a change that never comes fails. On failure the work folder is kept."""
import ctypes, os, select, shutil, struct, subprocess, sys, tempfile, time

def rgb(c):
    """RGB565 to 8-bit channels, each widened by repeating its top bits."""
    r, g, b = c >> 11, (c >> 5) & 63, c & 31
    return (r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2)

CINEPANE, KOMU = sys.argv[1:3]
W, H, VIEW_H = 920, 560, 542     # pixels: first content size; the view above an 18-row bar
BAR_RGB, BACK = (0x26, 0x26, 0x26), rgb(0x18E3)  # status bar and background
QW, QH = 64, 48                  # the still video: four quadrants of RGB565
QUAD_565 = {"tl": 0xF800, "tr": 0x07E0, "bl": 0x001F, "br": 0xFFE0}
QUAD = {k: rgb(v) for k, v in QUAD_565.items()}
EDGE_TOL = 4    # screen pixels: a 320 x 200 render buffer stretched over the view
COLOR_TOL = 3   # per 8-bit channel
WAIT_S = 15     # the longest wait for anything to show, seconds
WORK = tempfile.mkdtemp(prefix="cinepane_e2e_")
ENV = dict(os.environ, SDL_VIDEODRIVER="x11", SDL_RENDER_DRIVER="software")
ENV.pop("WAYLAND_DISPLAY", None)
procs, failures, shots = [], [], [0]  # procs[0] is Xvfb

def near(a, b, tol=COLOR_TOL):  # a: colour or screen position, None when not found
    return a is not None and all(abs(x - y) <= tol for x, y in zip(a, b))

def check(ok, what, detail=""):
    print(("PASS " if ok else "FAIL ") + what + (f"  [{detail}]" if detail else ""), flush=True)
    failures.extend([] if ok else [what])

def poll(take, done, pause=0.1):
    """take() until done(result) or WAIT_S have passed; the last result."""
    deadline = time.monotonic() + WAIT_S
    while True:
        got = take()
        if done(got) or time.monotonic() > deadline:
            return got
        time.sleep(pause)

def run(*cmd, **kw):
    return subprocess.run([str(c) for c in cmd], check=True, env=ENV, timeout=60, **kw)

def xdo(*args):  # one xdotool call; its commands may be chained
    run("xdotool", *args)

class Image:
    """A screenshot as 8-bit RGB rows."""
    def __init__(self, ppm):
        self.w, self.h = map(int, ppm.split(maxsplit=3)[1:3])
        self.data = ppm[-self.w * self.h * 3:]

    def px(self, x, y):
        return tuple(self.data[(y * self.w + x) * 3:(y * self.w + x) * 3 + 3])

def shot(wid, tag):
    shots[0] += 1
    path = os.path.join(WORK, f"{shots[0]:03d}_{tag}.png")
    run("import", "-window", wid, path)
    return Image(run("convert", path, "-depth", "8", "ppm:-", capture_output=True).stdout)

def player(video, name, piped=None):
    """Starts cinepane on video, or on /dev/stdin with the bytes piped in; (process, window id,
    first screenshot with the bar drawn)."""
    proc = subprocess.Popen([CINEPANE, video if piped is None else "/dev/stdin"], env=ENV,
                            stdin=None if piped is None else subprocess.PIPE,
                            stderr=subprocess.STDOUT, stdout=open(os.path.join(WORK, name + ".out"), "w"))
    procs.append(proc)
    if piped is not None:
        proc.stdin.write(piped)
        proc.stdin.close()
    search = ["xdotool", "search", "--name", r"^View \(KOMU\)$"]
    ids = poll(lambda: subprocess.run(search, env=ENV, capture_output=True, text=True,
                                      timeout=60).stdout.split(), bool)
    if not ids:
        raise RuntimeError(f"no window 'View (KOMU)' (status {proc.poll()}, see {name}.out)")
    img = poll(lambda: shot(ids[0], name),
               lambda i: (i.w, i.h) == (W, H) and i.px(W - 4, H - 2) == BAR_RGB)
    return proc, ids[0], img

def measure(img):
    """(box, corner): the inclusive (left, top, right, bottom) of what is not background in
    the view, and where the quadrants meet (found along a row through the top half and a
    column through the left half); None for what is not there."""
    plain, rows = bytes(BACK) * W, []
    for y in range(VIEW_H):
        if img.data[y * img.w * 3:(y * img.w + W) * 3] != plain:
            xs = [x for x in range(W) if not near(img.px(x, y), BACK, 10)]
            rows += [(y, xs[0], xs[-1])] if xs else []
    if not rows:
        return None, None
    left, right = min(r[1] for r in rows), max(r[2] for r in rows)
    top, bottom = rows[0][0], rows[-1][0]
    row, col = top + (bottom - top) // 4, left + (right - left) // 4
    cx = next((x for x in range(left, right + 1) if near(img.px(x, row), QUAD["tr"])), None)
    cy = next((y for y in range(top, bottom + 1) if near(img.px(col, y), QUAD["bl"])), None)
    return (left, top, right, bottom), None if None in (cx, cy) else (cx, cy)

def step(wid, before, tag):
    """After some input: screenshots until two in a row are equal and differ from
    before (the picture changed and settled); (last screenshot, box, corner)."""
    seen = [before]
    poll(lambda: seen.append(shot(wid, tag)) or seen,
         lambda s: s[-1].data == s[-2].data != before.data, pause=0.15)
    return (seen[-1], *measure(seen[-1]))

def check_still():
    quad = os.path.join(WORK, "quad.komu")
    run(KOMU, "encode", "-s", f"{QW}x{QH}", "-o", quad, "-", input=b"".join(
        struct.pack("<H", QUAD_565["tb"[y >= QH // 2] + "lr"[x >= QW // 2]])
        for y in range(QH) for x in range(QW)))
    proc, wid, img = player(quad, "still")
    check((img.w, img.h) == (W, H), "window content is 920 x 560", f"{img.w} x {img.h}")
    bar = [img.px(x, y) for y in range(VIEW_H, H) for x in range(W)]
    plain, light = sum(p == BAR_RGB for p in bar), sum(min(p) >= 120 for p in bar)
    check(plain >= 0.8 * len(bar) and light >= 50 and img.px(W - 4, VIEW_H) == BAR_RGB
          and near(img.px(W - 4, VIEW_H - 1), BACK),
          "status bar: the 18 bottom rows, rgb(38,38,38), text in it", f"{plain}, {light} light")

    # The fit: the largest zoom (thousandths, at most 6x) showing it all; size rounded up; centred.
    zoom = min(W * 1000 // QW, VIEW_H * 1000 // QH, 6000)
    dw, dh = -(-QW * zoom // 1000), -(-QH * zoom // 1000)
    x0, y0 = (W - dw) // 2, (VIEW_H - dh) // 2
    box, corner = measure(img)
    want = (x0, y0, x0 + dw - 1, y0 + dh - 1)
    check(near(box, want, EDGE_TOL), "still video is fitted and centred", f"{box}, expected {want}")
    bad = []
    for key, colour in QUAD.items():  # 5 x 5 samples inside each quadrant
        for i in range(25):
            x = x0 + (dw // 2 if key[1] == "r" else 0) + 10 + (dw // 2 - 20) * (i % 5) // 4
            y = y0 + (dh // 2 if key[0] == "b" else 0) + 10 + (dh // 2 - 20) * (i // 5) // 4
            bad += [] if near(img.px(x, y), colour) else [(key, x, y, img.px(x, y))]
    check(not bad, "quadrant colours inside the picture", f"wrong: {bad[:4]}")
    around = [(40, 40), (W - 40, 40), (40, VIEW_H - 40), (W - 40, VIEW_H - 40)]
    bad = [(x, y, img.px(x, y)) for x, y in around if not near(img.px(x, y), BACK)]
    check(not bad, f"background rgb{BACK} around the picture", f"wrong: {bad[:4]}")
    centre = (W // 2, VIEW_H // 2)
    check(near(corner, centre, EDGE_TOL), "quadrant corner at the view centre", f"{box}, {corner}")

    # Paused (the bar says so) with the pointer off the window, the player has nothing to
    # draw, so only its expose handling can repaint the window once mapped again.
    xdo("mousemove", "--sync", 1, 1, "windowfocus", "--sync", wid, "key", "space")
    paused = step(wid, img, "paused")[0]
    xdo("windowunmap", "--sync", wid, "windowmap", "--sync", wid)
    again = poll(lambda: shot(wid, "remapped"), lambda i: i.data == paused.data)
    check(paused.data != img.data and again.data == paused.data,
          "a paused window mapped again is repainted")

    xdo("windowfocus", "--sync", wid, "key", "plus")
    zoomed, zbox, zcorner = step(wid, paused, "plus")
    check(zbox and box and zbox[2] - zbox[0] > 1.1 * (box[2] - box[0])
          and near(zcorner, centre, EDGE_TOL),
          "'+' enlarges the picture about the view centre", f"{zbox}, {zcorner}")

    drag = ["mousemove", "--window", wid, "--sync"]
    xdo(*drag, 400, 200, "mousedown", 1, *drag, 450, 230, *drag, 500, 260, "mouseup", 1)
    last, lbox, lcorner = step(wid, zoomed, "drag")
    check(zcorner and near(lcorner, (zcorner[0] + 100, zcorner[1] + 60), EDGE_TOL),
          "left-button drag by (100, 60) moves the picture by it", f"{zcorner} -> {lcorner}")

    for key, (ux, uy) in (("Down", (0, 1)), ("Right", (1, 0))):
        before = lcorner
        xdo("key", key)
        last, lbox, lcorner = step(wid, last, key)
        dx, dy = (lcorner[0] - before[0], lcorner[1] - before[1]) if before and lcorner else (0, 0)
        check(ux * dx + uy * dy > 10 and abs(uy * dx + ux * dy) <= EDGE_TOL,
              f"{key} moves the picture {key.lower()} only", f"{before} -> {lcorner}")

    # Wheel towards the user zooms out, then away zooms back in (in this order
    # the zoom stays clear of its limits).
    width = lbox[2] - lbox[0] if lbox else 0
    xdo("click", 5)
    last, wbox, _ = step(wid, last, "wheel_out")
    check(wbox and wbox[2] - wbox[0] < 0.9 * width, "wheel down zooms out", f"{width} -> {wbox}")
    xdo("click", 4)
    _, wbox, _ = step(wid, last, "wheel_in")
    check(wbox and abs(wbox[2] - wbox[0] - width) <= EDGE_TOL, "wheel up zooms back in",
          f"{width} -> {wbox}")

    xdo("key", "Escape")
    status = poll(proc.poll, lambda code: code is not None)
    check(status == 0, "Esc closes the window, exit status 0", f"status {status}")

def close_request(wid):
    """WM_DELETE_WINDOW as a window manager sends it (xdotool has no command for it)."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    display = ctypes.c_void_p(x11.XOpenDisplay(ENV["DISPLAY"].encode()))
    atom = lambda name: x11.XInternAtom(display, name, 0)  # noqa: E731
    # An XEvent: 24 longs; on 64-bit Linux each XClientMessageEvent field fills one: type (33),
    # serial, send_event, display, window, message_type, format, data[5] (data[1] 0: now).
    event = (ctypes.c_long * 24)(33, 0, 0, 0, int(wid), atom(b"WM_PROTOCOLS"), 32,
                                 atom(b"WM_DELETE_WINDOW"))
    x11.XSendEvent(display, ctypes.c_ulong(int(wid)), 0, ctypes.c_long(0), event)
    x11.XCloseDisplay(display)

def pair(wid, tag, equal):
    """Screenshot pairs a quarter second apart until a pair is equal (or differs);
    whether one was, and its second screenshot."""
    take = lambda: (shot(wid, tag), time.sleep(0.25), shot(wid, tag))  # noqa: E731
    a, _, b = poll(take, lambda p: (p[0].data == p[2].data) == equal, pause=0)
    return (a.data == b.data) == equal, b

def check_demo():
    demo = os.path.join(WORK, "demo.komu")
    run(KOMU, "demo", "-o", demo, stdout=subprocess.DEVNULL)
    proc, wid, _ = player(demo, "demo")
    check(pair(wid, "playing", False)[0], "the demo video plays (screenshots change)")
    xdo("windowfocus", "--sync", wid, "key", "space")
    paused, last = pair(wid, "paused", True)
    time.sleep(3)  # longer than any still stretch of the demo (1.5 s)
    check(paused and shot(wid, "paused_later").data == last.data,
          "Space pauses (the picture stays the same for 3 s)")
    xdo("key", "space")
    check(pair(wid, "resumed", False)[0], "Space resumes (screenshots change again)")
    close_request(wid)
    status = poll(proc.poll, lambda code: code is not None)
    check(status == 0, "the window's close request ends the player with 0", f"status {status}")

SEEK_FPS, SEEK_FRAMES, SW, SH = 8, 100, 16, 12  # the colour video: 12.5 s, one colour a frame

def frame_565(k):
    """Frame k's colour: red steps by 5 (of 32) a frame, blue tells the blocks of 32 apart, so
    any two frames differ by at least 8 in one 8-bit channel."""
    return ((k * 5) % 32) << 11 | ((k * 13) % 64) << 5 | (k // 32) * 8 + 3

def shown_frame(img):
    """The frame whose colour is at the view centre, or None."""
    px = img.px(W // 2, VIEW_H // 2)
    return next((k for k in range(SEEK_FRAMES) if near(px, rgb(frame_565(k)))), None)

def check_seek():
    video = os.path.join(WORK, "colours.komu")
    run(KOMU, "encode", "-s", f"{SW}x{SH}", "-r", SEEK_FPS, "-o", video, "-", input=b"".join(
        struct.pack("<H", frame_565(k)) * (SW * SH) for k in range(SEEK_FRAMES)))
    proc, wid, img = player(video, "seek")
    xdo("windowfocus", "--sync", wid, "key", "space")  # paused wherever it is
    # 1 s is 8 frames, 10 s 80; the arrows alone still pan.
    frame = None
    for key, want in (("Home", 0), ("period", 1), ("period", 2), ("comma", 1), ("Next", 81),
                      ("shift+Left", 73), ("End", 99), ("Prior", 19), ("shift+Right", 27)):
        xdo("key", key)
        frame = poll(lambda: shown_frame(shot(wid, key)), lambda k: k == want)  # noqa: B023
        check(frame == want, f"{key} shows frame {want}", f"frame {frame}")
    xdo("key", "Escape")
    poll(proc.poll, lambda code: code is not None)

    # From a pipe the video plays, and the seek keys do nothing.
    proc, wid, img = player("", "pipe", piped=open(video, "rb").read())
    frame = poll(lambda: shown_frame(shot(wid, "pipe")), lambda k: k is not None and k >= 8)
    xdo("windowfocus", "--sync", wid, "key", "Home")
    time.sleep(0.5)
    later = shown_frame(shot(wid, "pipe_home"))
    check(frame is not None and later is not None and later > frame,
          "a video from a pipe plays on; Home does nothing there", f"frame {frame}, then {later}")

def main():
    try:
        xvfb = subprocess.Popen(  # writes its display number to stdout
            ["Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
            stdout=subprocess.PIPE, stderr=open(os.path.join(WORK, "xvfb.log"), "w"), text=True)
        procs.append(xvfb)
        ENV["DISPLAY"] = ":" + (xvfb.stdout.readline().strip()
                                if select.select([xvfb.stdout], [], [], WAIT_S)[0] else "")
        if ENV["DISPLAY"] == ":":
            raise RuntimeError("Xvfb reported no display; see xvfb.log")
        check_still()
        check_demo()
        check_seek()
    except Exception as error:  # a step that could not run at all
        check(False, "the test ran to its end", f"{type(error).__name__}: {error}")
    finally:
        for proc in reversed(procs):  # the players, then Xvfb (terminated: it removes its lock)
            (proc.terminate if proc is procs[0] else proc.kill)()
            proc.wait()
    if failures:
        sys.exit(f"{len(failures)} check(s) failed; screenshots and logs kept in {WORK}")
    shutil.rmtree(WORK, ignore_errors=True)

main()

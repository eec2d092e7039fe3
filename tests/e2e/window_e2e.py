# The player in a real window: cinepane under Xvfb, driven with xdotool, judged from ImageMagick
# screenshots (python3 window_e2e.py CINEPANE KOMU). Waits are polls with generous limits: only a
# change that never comes fails. On failure the work folder is kept. No window manager runs at
# first (fullscreen is then the player's own); the last check starts one and asks it for fullscreen
# and for the window's close.
import os, shutil, struct, subprocess, sys, tempfile, time

def rgb(c):  # RGB565 to 8-bit channels, each widened by repeating its top bits
    return tuple(v << (8 - n) | v >> (2 * n - 8) for v, n in ((c >> 11, 5), (c >> 5 & 63, 6), (c & 31, 5)))

CINEPANE, KOMU = sys.argv[1:3]
SCREEN, QW, QH = (1280, 800), 320, 240  # Xvfb's screen; the still video, four quadrants of RGB565
BAR, BAR_RGB, BACK = 18, (0x26, 0x26, 0x26), rgb(0x18E3)  # the status bar's rows and colour; background
QUAD_565 = {"tl": 0xF800, "tr": 0x07E0, "bl": 0x001F, "br": 0xFFE0}
QUAD = {k: rgb(v) for k, v in QUAD_565.items()}
# Tolerances: screen pixels (a 320 x 200 render buffer is stretched over the view), and per 8-bit
# channel; the longest wait for anything to show, in seconds.
EDGE_TOL, COLOR_TOL, WAIT_S = 4, 3, 15
WORK = tempfile.mkdtemp(prefix="cinepane_e2e_")
STILL = os.path.join(WORK, "quad.komu")
ENV = dict(os.environ, SDL_VIDEODRIVER="x11", SDL_RENDER_DRIVER="software", WAYLAND_DISPLAY="")
procs, failures = [], []  # procs[0] is Xvfb

def near(a, b, tol=COLOR_TOL):  # a: colour or screen position, None when not found
    return a is not None and all(abs(x - y) <= tol for x, y in zip(a, b))

def check(ok, what, detail=""):
    print(("PASS " if ok else "FAIL ") + what + (f"  [{detail}]" if detail else ""), flush=True)
    failures.extend([] if ok else [what])

# take() until done(result) or WAIT_S have passed; the last result.
def poll(take, done, pause=0.1):
    deadline = time.monotonic() + WAIT_S
    while not done(got := take()) and time.monotonic() <= deadline:
        time.sleep(pause)
    return got

# After the xdotool commands act (Escape by default), the player ends with status 0.
def check_quits(proc, what, *act):
    xdo(*(act or ["key", "Escape"]))
    check((status := poll(proc.poll, lambda code: code is not None)) == 0, what, f"status {status}")

def run(*cmd, **kw):
    return subprocess.run([str(c) for c in cmd], check=True, env=ENV, timeout=60, **kw)

def xdo(*args):  # one xdotool call (its commands may be chained); what it prints
    return run("xdotool", *args, stdout=subprocess.PIPE, text=True).stdout

class Shot:  # a screenshot of the window as 8-bit RGB rows, kept as a numbered PNG
    def __init__(self, wid, tag):
        path = os.path.join(WORK, f"{len(os.listdir(WORK)):03d}_{tag}.png")
        ppm = run("convert", f"x:{wid}", "-write", path, "-depth", "8", "ppm:-", capture_output=True).stdout
        self.w, self.h = map(int, ppm.split(maxsplit=3)[1:3])
        self.data = ppm[-self.w * self.h * 3:]
    px = lambda self, x, y: tuple(self.data[(y * self.w + x) * 3:(y * self.w + x) * 3 + 3])  # noqa: E731

# Starts cinepane on the video, or on /dev/stdin with the video's bytes piped in by cat; (process,
# window id, first screenshot with the bar drawn). A window that never shows times the search out.
def player(video, name, pipe=False):
    feed = subprocess.Popen(["cat", video], stdout=subprocess.PIPE).stdout if pipe else subprocess.DEVNULL
    procs.append(proc := subprocess.Popen([CINEPANE, "/dev/stdin" if pipe else video], stdin=feed, env=ENV,
                                          stdout=open(f"{WORK}/{name}.out", "w"), stderr=subprocess.STDOUT))
    wid = xdo("search", "--sync", "--onlyvisible", "--name", r"^View \(KOMU\)$").split()[0]
    return proc, wid, poll(lambda: Shot(wid, name), lambda i: i.px(i.w - 4, i.h - 2) == BAR_RGB)

# The still video's fitted picture (left, top, right, bottom), inclusive, in a w x h window: the
# largest zoom (thousandths, at most 6x) showing it all in the view; size rounded up; centred.
def fit(w, h):
    zoom = min(w * 1000 // QW, (h - BAR) * 1000 // QH, 6000)
    dw, dh = -(-QW * zoom // 1000), -(-QH * zoom // 1000)
    return ((w - dw) // 2, (h - BAR - dh) // 2, (w - dw) // 2 + dw - 1, (h - BAR - dh) // 2 + dh - 1)

# (box, corner): the inclusive (left, top, right, bottom) of what is not background in the view,
# and where the quadrants meet (found along a row through the top half and a column through the
# left half); None for what is not there.
def measure(img):
    W, plain = img.w, bytes(BACK) * img.w
    rows = [(y, xs[0], xs[-1]) for y in range(img.h - BAR) if img.data[y * W * 3:(y + 1) * W * 3] != plain
            for xs in [[x for x in range(W) if not near(img.px(x, y), BACK, 10)]] if xs]
    if not rows:
        return None, None
    box = (min(r[1] for r in rows), rows[0][0], max(r[2] for r in rows), rows[-1][0])
    cx = next((x for x in range(box[0], box[2] + 1) if near(img.px(x, (box[1] * 3 + box[3]) // 4), QUAD["tr"])), None)
    cy = next((y for y in range(box[1], box[3] + 1) if near(img.px((box[0] * 3 + box[2]) // 4, y), QUAD["bl"])), None)
    return box, None if None in (cx, cy) else (cx, cy)

# The xdotool commands keys, then screenshots until two in a row are equal and differ from before
# (the picture changed and settled), and are size (w, h) when given; (last screenshot, box, corner).
def step(wid, before, tag, keys, size=None):
    xdo(*keys)
    seen = [before]
    poll(lambda: seen.append(Shot(wid, tag)) or seen,
         lambda s: s[-1].data == s[-2].data != before.data and size in (None, (s[-1].w, s[-1].h)), pause=0.15)
    return (seen[-1], *measure(seen[-1]))

# Runs rows of (xdotool commands, the window size they lead to or None, the check's name, whether
# the picture is right) from the screenshot last, each time waiting for the picture to change and
# settle. The last is a test of m, the (box, corner) of each screenshot so far, m[-1] the new one's;
# it is only asked when the last three have both (a test reaches back at most that far).
def check_steps(wid, last, rows):
    m = [measure(last)]
    for keys, size, what, right in rows:
        last, *new = step(wid, last, f"step{len(m)}", keys, size)
        m.append(new)
        ok = all(None not in x for x in m[-3:]) and right(m) and size in (None, (last.w, last.h))
        check(ok, what, f"{last.w} x {last.h}: {m[-2]} -> {m[-1]}")

# Fullscreen and back to the size of the screenshot `windowed` by the same commands, each time fitted
# anew to the new area (the zoom and pan before are dropped).
def fullscreen(how, keys, windowed):
    return [(keys, size, f"{how} {'enters' if size == SCREEN else 'leaves'} fullscreen, refitted",
             lambda m, size=size: near(m[-1][0], fit(*size), EDGE_TOL)) for size in (SCREEN, (windowed.w, windowed.h))]

def check_still():
    run(KOMU, "encode", "-s", f"{QW}x{QH}", "-o", STILL, "-", input=b"".join(
        struct.pack("<H", QUAD_565["tb"[y >= QH // 2] + "lr"[x >= QW // 2]]) for y in range(QH) for x in range(QW)))
    proc, wid, img = player(STILL, "still")
    W, H, VIEW_H = img.w, img.h, img.h - BAR
    (box, corner), want, centre = measure(img), fit(W, H), (W // 2, VIEW_H // 2)
    # Asked for by the player: the video at a whole scale filling the view's height, within nine
    # tenths of the screen; so its fit is that scale, centred, the quadrants meeting at the centre.
    check(VIEW_H % QH == 0 and W <= 0.9 * SCREEN[0] and H <= 0.9 * SCREEN[1] and W >= VIEW_H // QH * QW
          and near(box, want, EDGE_TOL) and near(corner, centre, EDGE_TOL),
          "the window suits the video: the picture fits at a whole scale, centred", f"{W} x {H}, {box}, {corner}")
    # 5 x 5 samples in each quadrant, and the background in the view's corners, right above the bar too;
    # the bar in the 18 rows under the view, mostly plain, with light text in it.
    hw, hh = (want[2] - want[0] + 1) // 2, (want[3] - want[1] + 1) // 2
    bad = [(x, y, img.px(x, y)) for x, y, c in [(x, y, BACK) for x in (40, W - 4) for y in (40, VIEW_H - 1)] + [
        (want[0] + hw * (k[1] == "r") + 10 + (hw - 20) * (i % 5) // 4,
         want[1] + hh * (k[0] == "b") + 10 + (hh - 20) * (i // 5) // 4, QUAD[k]) for k in QUAD for i in range(25)]
        if not near(img.px(x, y), c)]
    bar = [img.px(x, y) for y in range(VIEW_H, H) for x in range(W)]
    plain, light = sum(p == BAR_RGB for p in bar), sum(min(p) >= 120 for p in bar)
    check(not bad and plain >= 0.8 * len(bar) and light >= 50 and img.px(W - 4, VIEW_H) == BAR_RGB,
          f"quadrant colours in the picture, background rgb{BACK} around it, the status bar rgb{BAR_RGB} in the 18 "
          f"rows under it, with text", f"wrong: {bad[:4]}; bar: {plain} plain, {light} light")

    # Paused (the bar says so) with the pointer off the window, the player has nothing to draw, so
    # only its expose handling can repaint the window once mapped again.
    paused = step(wid, img, "paused", ["mousemove", "--sync", 1, 1, "windowfocus", "--sync", wid, "key", "space"])[0]
    xdo("windowunmap", "--sync", wid, "windowmap", "--sync", wid)
    again = poll(lambda: Shot(wid, "remapped"), lambda i: i.data == paused.data)
    check(paused.data != img.data and again.data == paused.data, "a paused window mapped again is repainted")

    width = lambda box: box[2] - box[0]  # noqa: E731
    drag = ["mousemove", "--window", wid, "--sync"]
    check_steps(wid, paused, [
        (["windowfocus", "--sync", wid, "key", "plus"], None, "'+' enlarges the picture about the view centre",
         lambda m: width(m[-1][0]) > 1.1 * width(m[-2][0]) and near(m[-1][1], centre, EDGE_TOL)),
        ([*drag, 400, 200, "mousedown", 1, *drag, 450, 230, *drag, 500, 260, "mouseup", 1], None,
         "left-button drag by (100, 60) moves the picture by it",
         lambda m: near(m[-1][1], (m[-2][1][0] + 100, m[-2][1][1] + 60), EDGE_TOL)),
        *[(["key", key], None, f"{key} moves the picture {key.lower()} only",
           lambda m, a=a: m[-1][1][a] - m[-2][1][a] > 10 and abs(m[-1][1][1 - a] - m[-2][1][1 - a]) <= EDGE_TOL)
          for key, a in (("Down", 1), ("Right", 0))],
        # Wheel towards the user zooms out, then away zooms back in (in this order the zoom stays
        # clear of its limits).
        (["click", 5], None, "wheel down zooms out", lambda m: width(m[-1][0]) < 0.9 * width(m[-2][0])),
        (["click", 4], None, "wheel up zooms back in", lambda m: abs(width(m[-1][0]) - width(m[-3][0])) <= EDGE_TOL),
        *fullscreen("f", ["key", "f"], img), *fullscreen("F11", ["key", "F11"], img),
        *fullscreen("a double-click", [*drag, 300, 200, "click", "--repeat", 2, "--delay", 80, 1], img)])
    check_quits(proc, "Esc closes the window, exit status 0")

# Screenshot pairs a quarter second apart until a pair is equal (or differs); whether one was, and
# its second screenshot.
def pair(wid, tag, equal):
    a, _, b = poll(lambda: (Shot(wid, tag), time.sleep(0.25), Shot(wid, tag)),
                   lambda p: (p[0].data == p[2].data) == equal, pause=0)
    return (a.data == b.data) == equal, b

def check_demo():
    demo = os.path.join(WORK, "demo.komu")
    run(KOMU, "demo", "-o", demo, stdout=subprocess.DEVNULL)
    proc, wid, _ = player(demo, "demo")
    check(pair(wid, "playing", False)[0], "the demo video plays (screenshots change)")
    xdo("windowfocus", "--sync", wid, "key", "space")
    paused, last = pair(wid, "paused", True)
    time.sleep(3)  # longer than any still stretch of the demo (1.5 s)
    check(paused and Shot(wid, "paused_later").data == last.data, "Space pauses (the picture stays the same for 3 s)")

    # The full view: the window fits the 640 x 480 demo at zoom 1000, where 'h' shows every frame
    # pixel as one screen pixel, bit for bit; 'h' again samples it as by default.
    frames, size = run(KOMU, "decode", demo, 300, capture_output=True).stdout, 640 * 480 * 2
    def shows_a_frame(img):  # whether the middle of the view shows a decoded frame bit for bit
        x0, y0 = (img.w - 640) // 2, (img.h - BAR - 480) // 2
        rgb8 = b"".join(img.data[((y0 + y) * img.w + x0) * 3:((y0 + y) * img.w + x0 + 640) * 3] for y in range(480))
        picture = b"".join(struct.pack("<H", r >> 3 << 11 | g >> 2 << 5 | b >> 3) for r, g, b in zip(*[iter(rgb8)] * 3))
        return any(frames[k * size:(k + 1) * size] == picture for k in range(300))
    full = step(wid, last, "full_view", ["key", "h"])[0]
    sampled = step(wid, full, "default_view", ["key", "h"])[0]
    check(full.h - BAR == 480 and shows_a_frame(full) and not shows_a_frame(sampled),
          "h shows the paused frame bit-exact at zoom 1000, h again the default view", f"view height {full.h - BAR}")
    xdo("key", "space")
    check(pair(wid, "resumed", False)[0], "Space resumes (screenshots change again)")
    check_quits(proc, "Esc ends the demo with 0")

# The colour video: 8 frames/s, 12.5 s, one colour a frame: red steps by 5 (of 32) a frame, blue
# tells the blocks of 32 apart, so any two frames differ by at least 8 in one 8-bit channel.
SW, SH, SEEK_565 = 16, 12, [(k * 5) % 32 << 11 | (k * 13) % 64 << 5 | (k // 32) * 8 + 3 for k in range(100)]

def colour_frame(wid, tag):  # the frame whose colour is at the view centre, or None
    img = Shot(wid, tag)
    return next((k for k, c in enumerate(SEEK_565) if near(img.px(img.w // 2, (img.h - BAR) // 2), rgb(c))), None)

def check_seek():
    video = os.path.join(WORK, "colours.komu")
    run(KOMU, "encode", "-s", f"{SW}x{SH}", "-r", 8, "-o", video, "-",
        input=b"".join(struct.pack("<H", c) * (SW * SH) for c in SEEK_565))
    proc, wid, _ = player(video, "seek")
    xdo("windowfocus", "--sync", wid, "key", "space")  # paused wherever it is
    # 1 s is 8 frames, 10 s 80; the arrows alone still pan.
    for key, want in (("Home", 0), ("period", 1), ("period", 2), ("comma", 1), ("Next", 81),
                      ("shift+Left", 73), ("End", 99), ("Prior", 19), ("shift+Right", 27)):
        xdo("key", key)
        frame = poll(lambda: colour_frame(wid, key), lambda k: k == want)  # noqa: B023
        check(frame == want, f"{key} shows frame {want}", f"frame {frame}")
    check_quits(proc, "Esc ends the player with 0 after seeking")

    # From a pipe the video plays, and the seek keys do nothing.
    proc, wid, _ = player(video, "pipe", pipe=True)
    frame = poll(lambda: colour_frame(wid, "pipe"), lambda k: k is not None and k >= 8)
    xdo("windowfocus", "--sync", wid, "key", "Home")
    time.sleep(0.5)
    check(None not in (frame, (later := colour_frame(wid, "pipe_home"))) and later > frame,
          "a video from a pipe plays on; Home does nothing there", f"frame {frame}, then {later}")
    check_quits(proc, "Esc ends the player on a pipe with 0")

# Fullscreen as on a desktop: asked of a window manager, which then sizes the window; and the close
# request the window manager sends.
def check_window_manager():
    # Its packaged settings, whatever a user's own say: Alt+F4 below is their close key.
    procs.append(subprocess.Popen(["openbox", "--config-file", "/etc/xdg/openbox/rc.xml"], env=ENV,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    poll(lambda: b"window id" in run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK", capture_output=True).stdout, bool)
    proc, wid, last = player(STILL, "managed")
    check_steps(wid, last, fullscreen("with a window manager, f", ["windowfocus", "--sync", wid, "key", "f"], last))
    check_quits(proc, "with a window manager, Esc ends the player with 0")
    # The window manager's close request (WM_DELETE_WINDOW), asked for by its own key, Alt+F4.
    proc, wid, _ = player(STILL, "closed")
    check_quits(proc, "the close request ends the player with 0", "windowfocus", "--sync", wid, "key", "alt+F4")

try:
    # Xvfb, which writes its display number to stdout (nothing if it fails: then no window can show;
    # if it hangs, the test's time limit ends it)
    procs.append(subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "%dx%dx24" % SCREEN, "-nolisten", "tcp"],
                                  stdout=subprocess.PIPE, stderr=open(f"{WORK}/xvfb.log", "w"), text=True))
    ENV["DISPLAY"] = ":" + procs[0].stdout.readline().strip()
    for part in (check_still, check_demo, check_seek, check_window_manager):
        part()
except Exception as error:  # a step that could not run at all
    check(False, "the test ran to its end", f"{type(error).__name__}: {error}")
finally:
    for proc in reversed(procs):  # the players, then Xvfb (terminated: it removes its lock)
        (proc.terminate if proc is procs[0] else proc.kill)()
        proc.wait()
if failures:
    sys.exit(f"{len(failures)} check(s) failed; screenshots and logs kept in {WORK}")
shutil.rmtree(WORK, ignore_errors=True)

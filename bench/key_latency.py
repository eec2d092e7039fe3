"""Key-to-present latency of a player window, for bench/latency.sh.

    python3 key_latency.py PROBE_FILE COUNT [SEED]

Presses '=' and '-' in turn (zoom in, zoom out: each changes the picture) COUNT times, through
the X server's test extension, at random intervals of 50 to 250 ms so that the presses fall
anywhere in the frame period. For each: t0 = the clock just before the press is sent (XSync
returns once the server has taken it, so it has arrived there by then); the present that shows
its effect = the first present after the player took that key from SDL, as the preload probe
(present_probe.c, whose file is PROBE_FILE) records both. Prints one latency per line, in ms
(present time - t0), or "lost" when no such present came within 2 s. The focused window gets
the keys (the caller focuses the player's)."""
import ctypes, mmap, random, struct, sys, time

probe_path, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 1)
x11, xtst = ctypes.CDLL("libX11.so.6"), ctypes.CDLL("libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XStringToKeysym.restype = ctypes.c_ulong
x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x11.XKeysymToKeycode.restype = ctypes.c_ubyte
x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
display = x11.XOpenDisplay(None)
if not display:
    sys.exit("key_latency.py: no X display")
keys = [x11.XKeysymToKeycode(display, x11.XStringToKeysym(name)) for name in (b"equal", b"minus")]

with open(probe_path, "rb") as f:
    probe = mmap.mmap(f.fileno(), 80, access=mmap.ACCESS_READ)
took_at = lambda: struct.unpack_from("=Q", probe, 64)[0]      # noqa: E731  key taken, ns
shown_at = lambda: struct.unpack_from("=Q", probe, 72)[0]     # noqa: E731  next present, ns

for i in range(count):
    time.sleep(rng.uniform(0.05, 0.25))
    t0 = time.clock_gettime_ns(time.CLOCK_REALTIME)
    xtst.XTestFakeKeyEvent(display, keys[i % 2], 1, 0)
    x11.XSync(display, 0)
    xtst.XTestFakeKeyEvent(display, keys[i % 2], 0, 0)
    x11.XSync(display, 0)
    deadline, result = time.monotonic() + 2, "lost"
    while time.monotonic() < deadline:
        took, shown = took_at(), shown_at()
        if took > t0 and shown:
            result = f"{(shown - t0) / 1e6:.3f}"
            break
        time.sleep(0.0002)
    print(result, flush=True)

# Sourced by player.sh and latency.sh: what both do to run players in one
# Xvfb. Expects `root` (the source tree) and `build` (the build folder) set.
#
#   bench_begin [PACKAGE...]  installs what is missing (the build packages of
#                             scripts/deps.sh, xvfb, xdotool and the given
#                             ones), builds cinepane and komu in $build if
#                             missing, makes $work (removed at exit with
#                             whatever player and Xvfb still run) and builds
#                             the preload probe into $work/probe.so
#   build_before REV          builds cinepane from git revision REV into
#                             $work; sets $before to the program
#   start_xvfb WxH            starts Xvfb on a screen of WxH and exports DISPLAY
#   await_player NAME PROBE   after starting the player (pid in $player_pid):
#                             waits for its first present in PROBE (an empty
#                             PROBE: a player without SDL, not waited for),
#                             then for its visible window, whose id it sets
#                             in $wid; sets $first to the first present's
#                             time (ns), empty without PROBE
#   stop_player               ends the player started last
#   probe_first/count/name    the probe file's first present (ns), presents,
#                             renderer name

. "$root/scripts/deps.sh"

work=""
xvfb_pid=""
player_pid=""
bench_cleanup() {
    if [ -n "$player_pid" ]; then kill "$player_pid" 2>/dev/null || true; fi
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
    wait 2>/dev/null || true
    if [ -n "$work" ]; then rm -rf "$work"; fi
}

bench_begin() {
    install_missing "${BUILD_PACKAGES[@]}" xvfb xdotool "$@"
    if [ ! -x "$build/cinepane" ] || [ ! -x "$build/komu" ]; then
        cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build "$build" -j2 --target cinepane komu >/dev/null
    fi
    work=$(mktemp -d "${TMPDIR:-/tmp}/cinepane-bench-XXXXXX")
    trap bench_cleanup EXIT
    cc -O2 -shared -fPIC $(pkg-config --cflags sdl2) "$root/bench/present_probe.c" \
        -o "$work/probe.so" -ldl
}

build_before() {
    mkdir "$work/before"
    git -C "$root" archive "$1" | tar -x -C "$work/before"
    cmake -S "$work/before" -B "$work/before/build" -DCMAKE_BUILD_TYPE=Release \
        -DCINEPANE_TESTS=OFF -DCINEPANE_BENCH=OFF >/dev/null
    cmake --build "$work/before/build" -j2 --target cinepane >/dev/null
    before="$work/before/build/cinepane"
}

start_xvfb() {
    Xvfb -displayfd 3 -screen 0 "$1x24" -nolisten tcp 3>"$work/display" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
    [ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
    export DISPLAY=":$(head -n1 "$work/display")"
}

probe_first() { { od -An -t u8 -N 8 "$1" 2>/dev/null || true; } | tr -d ' '; }
probe_count() { { od -An -t u8 -j 8 -N 8 "$1" 2>/dev/null || true; } | tr -d ' '; }
probe_name() { { dd if="$1" bs=1 skip=16 count=48 2>/dev/null || true; } | tr -d '\0'; }

await_player() {
    local name=$1 probe=$2
    first=""
    wid=""
    if [ -n "$probe" ]; then
        for _ in $(seq 2000); do  # up to 20 s
            first=$(probe_first "$probe")
            if [ -n "$first" ] && [ "$first" != 0 ]; then break; fi
            kill -0 "$player_pid" 2>/dev/null || { echo "$name exited before presenting" >&2; exit 1; }
            sleep 0.01
        done
        [ -n "$first" ] && [ "$first" != 0 ] || { echo "$name never presented" >&2; exit 1; }
    fi
    for _ in $(seq 500); do
        wid=$(xdotool search --onlyvisible --pid "$player_pid" 2>/dev/null | head -n1 || true)
        [ -n "$wid" ] && break
        sleep 0.01
    done
    [ -n "$wid" ] || { echo "$name: no visible window" >&2; exit 1; }
}

stop_player() {
    kill "$player_pid" 2>/dev/null || true
    wait "$player_pid" 2>/dev/null || true
    player_pid=""
}

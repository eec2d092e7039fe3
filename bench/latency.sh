#!/usr/bin/env bash
# Key-to-present latency of the player in a real window: from a key press's
# arrival at the X server to the present that shows its effect, at 5, 30 and
# 60 frames per second.
#
#   bench/latency.sh [BUILD_DIR]      (default BUILD_DIR: build-bench)
#   BEFORE=REV bench/latency.sh ...   the same, in the same run, for the
#                                     player built from git revision REV too
#
# The demo's 300 frames (komu demo, 640 x 480) are encoded at each rate in
# RATES (default "5 30 60"), looping. Each player in turn, for each rate,
# plays in one Xvfb (1280x1024x24) with SDL's software renderer
# (SDL_RENDER_DRIVER=software, SDL_FRAMEBUFFER_ACCELERATION=0), its window
# focused, while key_latency.py presses '=' and '-' in turn SAMPLES times
# (default 150) at random intervals of 50 to 250 ms, and takes each
# latency from the preload probe (present_probe.c): the first present after
# the player took that key from SDL, less the time just before the press was
# sent to the server. The summary gives, per player and rate, the median, the
# 90th and 99th percentiles (nearest rank) and the largest latency, in ms, and
# with BEFORE the ratio of the two players' 99th percentiles.
#
# Installs what it lacks with apt-get (the build packages of scripts/deps.sh,
# xvfb, xdotool) and builds what is missing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
SAMPLES=${SAMPLES:-150}
RATES=${RATES:-"5 30 60"}
BEFORE=${BEFORE:-}

. "$here/xvfb_bench.sh"
bench_begin python3
players=("now:$build/cinepane")
if [ -n "$BEFORE" ]; then
    build_before "$BEFORE"
    players=("before:$before" "${players[@]}")
fi

"$build/komu" demo -o "$work/demo.komu" >/dev/null
for rate in $RATES; do
    "$build/komu" decode "$work/demo.komu" 300 |
        "$build/komu" encode -s 640x480 -r "$rate" --loop -o "$work/demo$rate.komu"
done

start_xvfb 1280x1024

# measure NAME BINARY RATE: one player at one rate; its latencies, one a line.
measure() {
    local name=$1 binary=$2 rate=$3 probe="$work/probe.$1.$3"
    env LD_PRELOAD="$work/probe.so" PRESENT_PROBE_FILE="$probe" SDL_RENDER_DRIVER=software \
        SDL_FRAMEBUFFER_ACCELERATION=0 "$binary" "$work/demo$rate.komu" >/dev/null 2>&1 &
    player_pid=$!
    await_player "$name" "$probe"
    xdotool windowfocus --sync "$wid"
    sleep 0.5
    python3 "$here/key_latency.py" "$probe" "$SAMPLES" "$rate" >"$work/lat.$name.$rate"
    stop_player
}

echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "$SAMPLES presses per player and rate; latency in ms from the press's arrival at the X server"
printf "%-8s %5s %6s %5s %8s %8s %8s %8s\n" player fps n lost p50 p90 p99 max
for rate in $RATES; do
    for entry in "${players[@]}"; do
        name=${entry%%:*}
        measure "$name" "${entry#*:}" "$rate"
        sort -g "$work/lat.$name.$rate" | awk -v n="$name" -v r="$rate" '
            function rank(p) { i = int(p / 100 * k + 0.999999); return v[i < 1 ? 1 : i] }
            $1 == "lost" { lost++; next }
            { v[++k] = $1 }
            END { printf "%-8s %5s %6d %5d %8.2f %8.2f %8.2f %8.2f\n", n, r, k + lost, lost,
                  rank(50), rank(90), rank(99), v[k] }' | tee -a "$work/summary"
    done
done
if [ -n "$BEFORE" ]; then
    echo
    echo "99th percentile, now / before ($BEFORE):"
    awk '{ p99[$1, $2] = $7; rates[$2] = 1 }
         END { for (r in rates) printf "  %s fps: %.3f\n", r, p99["now", r] / p99["before", r] }' \
        "$work/summary" | sort -n -k1
fi

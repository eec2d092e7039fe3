#!/usr/bin/env bash
# The player against ffplay and mpv, in one Xvfb: CPU share while playing
# and while paused, peak resident memory, start-up time and presents per
# second.
#
#   bench/player.sh [BUILD_DIR]      (default BUILD_DIR: build-bench)
#   BEFORE=REV bench/player.sh ...   the player built from git revision REV
#                                    joins the same run as "before"
#
# All play the demo (komu demo: 640 x 480, 30/1, 300 frames, looping):
# cinepane the .komu file (in the window it asks for: 920 x 498 here), ffplay
# and mpv the same 300 frames decoded to raw RGB565 (komu decode), each in a
# 920 x 560 window. mpv takes part when it is installed (the script does not
# install it). For each render driver in DRIVERS (default "software default") and
# each of REPS rounds (default 3):
#   "software": SDL_RENDER_DRIVER=software and SDL_FRAMEBUFFER_ACCELERATION=0
#     for the SDL players, so they draw on the CPU and show the result
#     through X11 shared memory (without the second variable SDL puts the
#     software renderer's window surface in an OpenGL texture: Mesa's
#     llvmpipe), and mpv's X11 output (--vo=x11), likewise on the CPU;
#   "default": those unset, each program's own choice.
# Each player, in turn:
#   - is started; start-up = the wall time from just before the launch to its
#     first SDL_RenderPresent, taken by a preload probe (present_probe.c),
#     which also counts presents and names the renderer it created (mpv
#     draws without SDL: it has no start-up, present or renderer figures,
#     and its measures start once its window is visible);
#   - plays PLAY_S seconds (default 10): CPU share = the CPU time of all its
#     threads (/proc/PID/task/*/schedstat, ns) over the interval, divided by
#     the wall time; the same from /proc/PID/stat ticks is printed as a check;
#   - gets Space (window focused, xdotool key), then after a 0.5 s settle
#     PAUSE_S seconds (default 30) are measured the same way;
#   - peak RSS = VmHWM from /proc/PID/status before it is ended.
# The summary gives the median of the rounds and, for each other player,
# cinepane's figure over that player's.
#
# Installs what it lacks with apt-get (the build packages of scripts/deps.sh,
# xvfb, xdotool, ffmpeg) and builds cinepane and komu in BUILD_DIR if they
# are missing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
PLAY_S=${PLAY_S:-10}
PAUSE_S=${PAUSE_S:-30}
REPS=${REPS:-3}
DRIVERS=${DRIVERS:-"software default"}
BEFORE=${BEFORE:-}
WIN_W=920
WIN_H=560

. "$here/xvfb_bench.sh"
bench_begin ffmpeg
before=""
if [ -n "$BEFORE" ]; then build_before "$BEFORE"; fi

"$build/komu" demo -o "$work/demo.komu" >/dev/null
"$build/komu" decode "$work/demo.komu" 300 >"$work/frames.raw"
cat "$work/demo.komu" "$work/frames.raw" >/dev/null  # both in the page cache

start_xvfb 1280x1024

tck=$(getconf CLK_TCK)
now_ns() { date +%s%N; }
# CPU time of a process: the run time of all its threads from schedstat, ns
# (utime + stime in /proc/PID/stat count 10 ms ticks, too coarse for a
# paused player; they are kept as a cross-check, clock ticks).
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%.0f\n", s}'; }
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }

results="$work/results"
: >"$results"

# measure NAME DRIVER COMMAND...: one round of one player.
measure() {
    local name=$1 driver=$2
    shift 2
    local probe_file="$work/probe.$name.$driver"
    rm -f "$probe_file"
    local -a envs=(LD_PRELOAD="$work/probe.so" PRESENT_PROBE_FILE="$probe_file")
    if [ "$driver" = software ]; then
        envs+=(SDL_RENDER_DRIVER=software SDL_FRAMEBUFFER_ACCELERATION=0)
    fi
    local t_start
    t_start=$(now_ns)
    env -u SDL_RENDER_DRIVER -u SDL_FRAMEBUFFER_ACCELERATION "${envs[@]}" "$@" >/dev/null 2>&1 &
    player_pid=$!
    local pid=$player_pid
    if [ "$name" = mpv ]; then  # mpv draws without SDL: no probe figures
        await_player "$name" ""
    else
        await_player "$name" "$probe_file"
    fi
    if [ "$name" = mpv ]; then first=$(now_ns); sleep 0.5; fi  # playing by then

    local c1 t1 n1 k1 c2 t2 n2 k2 c3 t3 n3 k3 c4 t4 n4 k4 hwm
    c1=$(cpu_ns "$pid"); k1=$(cpu_ticks "$pid"); t1=$(now_ns); n1=$(probe_count "$probe_file")
    sleep "$PLAY_S"
    c2=$(cpu_ns "$pid"); k2=$(cpu_ticks "$pid"); t2=$(now_ns); n2=$(probe_count "$probe_file")
    xdotool windowfocus --sync "$wid" key space
    sleep 0.5
    c3=$(cpu_ns "$pid"); k3=$(cpu_ticks "$pid"); t3=$(now_ns); n3=$(probe_count "$probe_file")
    sleep "$PAUSE_S"
    c4=$(cpu_ns "$pid"); k4=$(cpu_ticks "$pid"); t4=$(now_ns); n4=$(probe_count "$probe_file")
    hwm=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status")
    local renderer
    renderer=$(probe_name "$probe_file")
    stop_player

    # name driver renderer startup_ms play_cpu% play_fps pause_cpu% pause_fps hwm_kb
    #   play_cpu%_ticks pause_cpu%_ticks (mpv: no renderer, start-up or presents)
    [ "$name" = mpv ] && { renderer="-"; n1=0; n2=0; n3=0; n4=0; first=$t_start; }
    awk -v n="$name" -v d="$driver" -v r="${renderer:-?}" -v tck="$tck" \
        -v s="$t_start" -v f="$first" -v c1="$c1" -v c2="$c2" -v c3="$c3" -v c4="$c4" \
        -v k1="$k1" -v k2="$k2" -v k3="$k3" -v k4="$k4" \
        -v t1="$t1" -v t2="$t2" -v t3="$t3" -v t4="$t4" \
        -v n1="$n1" -v n2="$n2" -v n3="$n3" -v n4="$n4" -v hwm="$hwm" 'BEGIN {
            play_ns = t2 - t1; pause_ns = t4 - t3
            printf "%s %s %s %.1f %.2f %.1f %.3f %.1f %d %.1f %.1f\n", n, d, r, (f - s) / 1e6,
                100 * (c2 - c1) / play_ns, (n2 - n1) * 1e9 / play_ns,
                100 * (c4 - c3) / pause_ns, (n4 - n3) * 1e9 / pause_ns, hwm,
                100 * (k2 - k1) / tck / (play_ns / 1e9), 100 * (k4 - k3) / tck / (pause_ns / 1e9)
        }' | tee -a "$results"
}

echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "ffplay: $(ffplay -version 2>/dev/null | head -n1)"
have_mpv=""
if command -v mpv >/dev/null 2>&1; then have_mpv=1; echo "mpv: $(mpv --version | head -n1)"; fi
echo "play ${PLAY_S} s, paused ${PAUSE_S} s, ${REPS} rounds; window ${WIN_W}x${WIN_H}"
echo "columns: player driver renderer startup_ms play_cpu% play_presents/s pause_cpu% pause_presents/s"
echo "         peak_rss_kB, then play and pause cpu% again from /proc/PID/stat ticks"
for driver in $DRIVERS; do
    for rep in $(seq "$REPS"); do
        measure cinepane "$driver" "$build/cinepane" "$work/demo.komu"
        if [ -n "$before" ]; then measure before "$driver" "$before" "$work/demo.komu"; fi
        measure ffplay "$driver" ffplay -hide_banner -loglevel quiet -nostats -an \
            -x "$WIN_W" -y "$WIN_H" -f rawvideo -pixel_format rgb565le -video_size 640x480 \
            -framerate 30 -loop 0 "$work/frames.raw"
        if [ -n "$have_mpv" ]; then
            vo=()
            [ "$driver" = software ] && vo=(--vo=x11)
            measure mpv "$driver" mpv --no-config --no-audio --really-quiet "${vo[@]}" \
                --geometry="${WIN_W}x${WIN_H}" --loop-file=inf --demuxer=rawvideo \
                --demuxer-rawvideo-w=640 --demuxer-rawvideo-h=480 \
                --demuxer-rawvideo-mp-format=rgb565 --demuxer-rawvideo-fps=30 "$work/frames.raw"
        fi
    done
done

echo
echo "medians of ${REPS} rounds; in brackets cinepane's figure over that player's"
for driver in $DRIVERS; do
    awk -v d="$driver" '
        function median(list,    n, a, i, j, t) {
            n = split(list, a, " ")
            for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
            return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        $2 == d { for (k = 4; k <= 9; k++) v[$1, k] = v[$1, k] " " $k; r[$1] = $3; seen[$1] = 1 }
        END {
            split("startup_ms play_cpu_% play_presents/s pause_cpu_% pause_presents/s peak_rss_kB", label, " ")
            np = split("cinepane before ffplay mpv", order, " ")
            printf "driver %s; renderers:", d
            for (i = 1; i <= np; i++) if (order[i] in seen) printf " %s %s", order[i], r[order[i]]
            printf "\n  %-18s", ""
            for (i = 1; i <= np; i++) if (order[i] in seen) printf " %20s", order[i]
            printf "\n"
            for (k = 4; k <= 9; k++) {
                c = median(v["cinepane", k])
                printf "  %-18s", label[k - 3]
                for (i = 1; i <= np; i++) {
                    if (!(order[i] in seen)) continue
                    m = median(v[order[i], k])
                    printf " %20s", i == 1 ? sprintf("%.3f", m) : sprintf("%.3f (%s)", m, m > 0 ? sprintf("%.2f", c / m) : "-")
                }
                printf "\n"
            }
        }' "$results"
done

#!/usr/bin/env bash
# How good komu encode is, in one run on the same frames (BENCHMARKS.md,
# "Encoding"). Two tables on standard output, in Markdown:
#
# 1. Dithering: for each clip and each --dither mode, the file's size and
#    the PSNR of what it decodes to against the clip's RGB24 frames, plain
#    and after a Gaussian blur of 1.5 pixels of both (how far the local
#    colour is kept, which is what the eye sees of a dithered picture).
# 2. Lossless: the clip's frames already in RGB565, written by `komu encode
#    -s 640x480 --kind auto`, by ffmpeg's QuickTime run-length encoder
#    (`-c:v qtrle` in rgb24, the pixel format of it that holds RGB565
#    exactly) and by `zstd -3`; sizes and encoding speed, each pinned to one
#    core. For the natural clip also the whole road from its H.264 file.
#
# Clips, 640 x 480, 30 fps, FRAMES frames each, made with ffmpeg's lavfi
# sources: testsrc2, smptebars, mandelbrot, gradients (three fixed colours),
# flat grey (0x7F7F7F, between two RGB565 levels) and "natural": a slowly
# zooming fractal, blurred, panned and with film grain, through libx264
# (crf 18) as a delivered video would be. Every clip is the same on every run.
#
# Usage: bench/encode.sh [BUILD]    (BUILD defaults to build; needs BUILD/komu)
# Environment: FRAMES (default 150), CLIPS (default all), CPU (core to pin, default 1)
set -euo pipefail

build=${1:-build}
komu=$(cd "$build" && pwd)/komu
frames=${FRAMES:-150}
cpu=${CPU:-1}
clips=${CLIPS:-"testsrc2 smptebars mandelbrot natural gradients flat"}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
cd "$work"

lavfi_source() {
    case $1 in
        testsrc2) echo "testsrc2=size=640x480:rate=30" ;;
        smptebars) echo "smptebars=size=640x480:rate=30" ;;
        mandelbrot) echo "mandelbrot=size=640x480:rate=30" ;;
        gradients) echo "gradients=size=640x480:rate=30:speed=0.01:n=3:c0=0x1E3A5F:c1=0xF2C14E:c2=0x8C2F39:seed=1" ;;
        flat) echo "color=c=0x7F7F7F:size=640x480:rate=30" ;;
        natural) echo "mandelbrot=s=800x600:rate=30:maxiter=120:start_x=-0.7436:start_y=0.1318:start_scale=0.02:end_scale=0.005,gblur=sigma=3,crop=640:480:x='80+70*sin(t/2)':y='60+50*sin(t/3)',eq=saturation=0.55:gamma=1.1,noise=alls=7:allf=t+u" ;;
    esac
}

# make_clip NAME: NAME.nut, the clip's frames as RGB24 (what komu encode
# reads without any scaling or colour conversion), and NAME.565, the same
# frames as raw RGB565 (nearest level).
make_clip() {
    local src
    src=$(lavfi_source "$1")
    if [ "$1" = natural ]; then
        ffmpeg -nostdin -v error -y -f lavfi -i "$src" -frames:v "$frames" -c:v libx264 -crf 18 \
            -pix_fmt yuv420p natural.mp4
        src="movie=natural.mp4"
    fi
    ffmpeg -nostdin -v error -y -f lavfi -i "$src" -frames:v "$frames" -pix_fmt rgb24 \
        -c:v rawvideo "$1.nut"
    "$komu" encode -q --dither none "$1.nut" -o none.komu
    "$komu" decode none.komu >"$1.565"
}

# psnr DECODED_565 REFERENCE_NUT [FILTER]: the average PSNR over all
# frames and channels, FILTER applied to both first.
psnr() {
    local f=${3:-null}
    ffmpeg -nostdin -v info -f rawvideo -pix_fmt rgb565le -s 640x480 -r 30 -i "$1" -i "$2" \
        -lavfi "[0]format=rgb24,$f[a];[1]$f[b];[a][b]psnr" -f null - 2>&1 |
        sed -n 's/.*PSNR r:.* average:\([0-9.inf]*\).*/\1/p' | awk '{ printf "%.2f", $1 }'
}

# cpu_seconds CMD...: user + system seconds of CMD pinned to one core.
cpu_seconds() {
    /usr/bin/time -f "%U %S" -o time.txt taskset -c "$cpu" "$@" >/dev/null
    awk '{ printf "%.3f", $1 + $2 }' time.txt
}

size() { stat -c %s "$1"; }
kb() { awk -v b="$1" 'BEGIN { printf "%.0f", b / 1000 }'; }
fps() { awk -v s="$1" -v n="$frames" 'BEGIN { printf "%.0f", n / s }'; }

dither_rows=""
lossless_rows=""
for clip in $clips; do
    make_clip "$clip"
    for d in none ordered diffusion; do
        "$komu" encode -q --dither $d "$clip.nut" -o d.komu
        "$komu" decode d.komu >d.565
        dither_rows+="| $clip | $d | $(kb "$(size d.komu)") | $(psnr d.565 "$clip.nut") |"
        dither_rows+=" $(psnr d.565 "$clip.nut" gblur=sigma=1.5) |"$'\n'
    done
    raw=$(size "$clip.565")
    t_komu=$(cpu_seconds "$komu" encode -q -s 640x480 -r 30 --kind auto -o k.komu "$clip.565")
    "$komu" decode k.komu | cmp -s - "$clip.565" || { echo "$clip: komu round trip differs" >&2; exit 1; }
    t_q24=$(cpu_seconds ffmpeg -nostdin -v error -y -threads 1 -f rawvideo -pix_fmt rgb565le \
        -s 640x480 -r 30 -i "$clip.565" -pix_fmt rgb24 -c:v qtrle q24.mov)
    t_zstd=$(cpu_seconds zstd -q -f -3 -T1 "$clip.565" -o z.zst)
    lossless_rows+="| $clip | $(kb "$raw") | $(kb "$(size k.komu)") | $(kb "$(size q24.mov)") |"
    lossless_rows+=" $(kb "$(size z.zst)") | $(fps "$t_komu") | $(fps "$t_q24") | $(fps "$t_zstd") |"$'\n'
    if [ "$clip" = natural ]; then  # the whole road from a delivered video
        t_video=$(cpu_seconds "$komu" encode -q natural.mp4 -o v.komu)
    fi
    rm -f "$clip.nut" "$clip.565" d.565 natural.mp4
done

echo "Dithering ($frames frames each; size in kB; PSNR in dB against the RGB24 frames)"
echo
echo "| clip | dither | size kB | PSNR | PSNR blurred 1.5 px |"
echo "|---|---|---:|---:|---:|"
printf "%s" "$dither_rows"
echo
echo "Lossless ($frames RGB565 frames each; sizes in kB; speed in frames per CPU second, one core)"
echo
echo "| clip | raw | komu auto | qtrle | zstd -3 | komu fps | qtrle fps | zstd fps |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
printf "%s" "$lossless_rows"
if [ -n "${t_video:-}" ]; then
    echo
    echo "From the H.264 file to KOMU (komu encode natural.mp4: decoding, colour conversion, ordered"
    echo "dither, automatic kinds): $(fps "$t_video") frames per CPU second, one core"
fi

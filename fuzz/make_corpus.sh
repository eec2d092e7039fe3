#!/bin/sh
# Writes the fuzz targets' seed corpus, fuzz/corpus/<target>/, with the komu
# tool: short clips cut from the demo video (16 x 8 and smaller, and one of
# 48 x 32), encoded in every mode, every payload kind, looping and not; the
# run-length payloads of those files; and the same clips with options for
# the writer's target. Run it again only when the format or the encoder
# changes; its output is committed.
#
# Usage: fuzz/make_corpus.sh [KOMU]    (KOMU defaults to build/komu)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
komu=${1:-$here/../build/komu}
reader=$here/corpus/fuzz_reader
rle=$here/corpus/fuzz_rle
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

DEMO_W=640
DEMO_FRAME=$((640 * 480 * 2))  # bytes of one demo frame

# ---- Source pictures: a few demo frames, decoded once ------------------------
"$komu" demo -o "$tmp/demo.komu"
"$komu" decode "$tmp/demo.komu" 10 > "$tmp/start.raw"                       # frames 0..9
"$komu" decode "$tmp/demo.komu" 153 | tail -c $((5 * DEMO_FRAME)) > "$tmp/still.raw"  # 148..152
"$komu" decode "$tmp/demo.komu" 243 | tail -c $((3 * DEMO_FRAME)) > "$tmp/noise.raw"  # 240..242

# crop RAW FIRST COUNT X Y W H: COUNT frames from frame FIRST of RAW, each
# cut down to the W x H rectangle at (X, Y), as raw RGB565 on standard output.
crop() {
    f=$2
    while [ "$f" -lt $(($2 + $3)) ]; do
        row=0
        while [ "$row" -lt "$7" ]; do
            dd if="$1" bs=4096 iflag=skip_bytes,count_bytes status=none \
                skip=$((f * DEMO_FRAME + (($5 + row) * DEMO_W + $4) * 2)) count=$(($6 * 2))
            row=$((row + 1))
        done
        f=$((f + 1))
    done
}

crop "$tmp/start.raw" 0 10 104 40 16 8 > "$tmp/digits.raw"   # the frame number's last digit
crop "$tmp/start.raw" 0 10 72 238 32 4 > "$tmp/square.raw"   # the sliding square's edge
crop "$tmp/start.raw" 0 8 0 466 16 4 > "$tmp/bar.raw"        # the progress bar
crop "$tmp/still.raw" 0 5 104 40 16 8 > "$tmp/still16.raw"   # repeated frames: zero masks
crop "$tmp/noise.raw" 0 3 200 200 8 8 > "$tmp/noise8.raw"    # noise, then the scene again

encoder=$here/corpus/fuzz_encoder
rm -rf "$reader" "$rle" "$encoder"
mkdir -p "$reader" "$rle" "$encoder"

# enc NAME CLIP SIZE ARGS...: one corpus file of the reader target.
enc() {
    name=$1 clip=$2 size=$3
    shift 3
    "$komu" encode -q -s "$size" "$@" -o "$reader/$name.komu" "$tmp/$clip.raw"
}

for kind in auto raw rle delta delta-rle; do
    enc "digits_m2_$kind" digits 16x8 --mode 2 --kind "$kind"
done
enc digits_m2_auto_loop digits 16x8 --mode 2 --loop
enc digits_m2_delta_rle_loop digits 16x8 --mode 2 --kind delta-rle --loop
enc digits_m2_delta_g3 digits 16x8 --mode 2 --kind delta -g 3 -r 25
enc digits_m3_auto digits 16x8 --mode 3
enc digits_m3_delta_rle_loop digits 16x8 --mode 3 --kind delta-rle --loop -r 30000/1001
enc digits_m1 digits 16x8 --mode 1
enc digits_m1_loop digits 16x8 --mode 1 --loop -r 1000

for kind in auto rle delta-rle; do
    enc "square_m2_$kind" square 32x4 --mode 2 --kind "$kind" --loop
done
enc square_m3_delta square 32x4 --mode 3 --kind delta
enc square_m1_loop square 32x4 --mode 1 --loop

enc bar_m2_auto_loop bar 16x4 --mode 2 --loop
enc bar_m3_rle bar 16x4 --mode 3 --kind rle
enc bar_m1 bar 16x4 --mode 1

enc still_m2_auto still16 16x8 --mode 2
enc still_m2_delta_loop still16 16x8 --mode 2 --kind delta --loop
enc still_m3_delta_rle still16 16x8 --mode 3 --kind delta-rle -g 2

enc noise_m2_auto_loop noise8 8x8 --mode 2 --loop
enc noise_m2_rle noise8 8x8 --mode 2 --kind rle
enc noise_m3_delta_rle_loop noise8 8x8 --mode 3 --kind delta-rle --loop
enc noise_m1_loop noise8 8x8 --mode 1 --loop -r 1/2

# Larger files, so that inputs of tens of KB are explored from the start
# (payloads and indexes past the buffers' first 4096 bytes).
crop "$tmp/start.raw" 0 8 16 16 48 32 > "$tmp/big.raw"
enc big_m2_auto_loop big 48x32 --mode 2 --loop
enc big_m3_delta big 48x32 --mode 3 --kind delta
enc big_m1 big 48x32 --mode 1

# One pixel, one frame: the smallest files.
crop "$tmp/start.raw" 0 1 300 300 1 1 > "$tmp/pixel.raw"
enc pixel_m1 pixel 1x1 --mode 1
enc pixel_m2_loop pixel 1x1 --mode 2 --loop
enc pixel_m3_delta pixel 1x1 --mode 3 --kind delta

# ---- The run-length target: payloads of the reader files ---------------------
# Input layout (see fuzz_rle.cpp): byte 0 = 0x01 for 2-byte elements, 0x00
# for 1-byte ones; bytes 1-4 = output length, u32 little-endian; the payload.

u32le() {
    printf "\\$(printf %03o $(($1 & 255)))\\$(printf %03o $(($1 >> 8 & 255)))"
    printf "\\$(printf %03o $(($1 >> 16 & 255)))\\$(printf %03o $(($1 >> 24 & 255)))"
}
u32at() {  # u32at FILE OFFSET
    od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '
}

# rle_from FILE NAME: one input per run-length payload of an indexed FILE.
rle_from() {
    width=$(od -An -tu2 -j4 -N2 "$1" | tr -d ' ')
    height=$(od -An -tu2 -j6 -N2 "$1" | tr -d ' ')
    frames=$(u32at "$1" 12)
    data=$((28 + 12 * frames))
    i=0
    while [ "$i" -lt "$frames" ]; do
        offset=$(u32at "$1" $((28 + 12 * i)))
        size=$(u32at "$1" $((32 + 12 * i)))
        flags=$(u32at "$1" $((36 + 12 * i)))
        case $((flags & 7)) in
            1) elem=1 ;;     # run-length key frame: 2-byte elements
            6) elem=0 ;;     # run-length delta: 1-byte elements
            *) elem= ;;
        esac
        if [ -n "$elem" ]; then
            {
                printf "\\$(printf %03o "$elem")"
                u32le $((width * height * 2))
                dd if="$1" bs=4096 iflag=skip_bytes,count_bytes status=none \
                    skip=$((data + offset)) count="$size"
            } > "$rle/${2}_$i.rle"
        fi
        i=$((i + 1))
    done
}

rle_from "$reader/digits_m2_rle.komu" digits_key
rle_from "$reader/digits_m2_delta-rle.komu" digits_delta
rle_from "$reader/square_m2_rle.komu" square_key
rle_from "$reader/noise_m2_rle.komu" noise_key
rle_from "$reader/still_m3_delta_rle.komu" still_delta
# Output lengths one short and one long of a valid payload, a large output
# range (bit 6) and an element width outside 1..2 (bit 7).
first=$rle/digits_key_0.rle
{ printf '\001'; u32le 254; tail -c +6 "$first"; } > "$rle/short_output.rle"
{ printf '\001'; u32le 258; tail -c +6 "$first"; } > "$rle/long_output.rle"
{ printf '\101'; u32le 300000; tail -c +6 "$first"; } > "$rle/large_output.rle"
{ printf '\203'; u32le 256; tail -c +6 "$first"; } > "$rle/width_3.rle"

# ---- The writer's target: 8 bytes of options, then a clip's frames -----------
# Layout (see fuzz_encoder.cpp): byte 0 = mode | kind << 2 | loop << 5 (kind 5:
# one per frame); bytes 1, 2 = width - 1, height - 1; byte 3 = key interval |
# extra header bytes << 3; bytes 4-7 = rate choice.

# seed NAME CLIP W H BYTE0 BYTE3
seed() {
    {
        for b in "$5" $(($3 - 1)) $(($4 - 1)) "$6"; do printf "\\$(printf %03o "$b")"; done
        u32le 29000
        cat "$tmp/$2.raw"
    } > "$encoder/$1.bin"
}
seed digits_m2_auto digits 16 8 2 0
seed digits_m2_delta_rle_loop_g3 digits 16 8 $((2 | 4 << 2 | 32)) 3
seed square_m3_per_frame square 32 4 $((3 | 5 << 2)) 0
seed still_m2_delta_extra still16 16 8 $((2 | 3 << 2)) 8
seed bar_m2_rle_loop bar 16 4 $((2 | 2 << 2 | 32)) 2
seed noise_m1 noise8 8 8 1 0

echo "corpus: $(ls "$reader" | wc -l) reader files, $(ls "$rle" | wc -l) rle files," \
     "$(ls "$encoder" | wc -l) encoder files, $(cat "$reader"/* "$rle"/* "$encoder"/* | wc -c) bytes"

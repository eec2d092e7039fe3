// Test videos for the benchmarks: synthetic pictures and KOMU files written
// with the project's own encoder (tools/komu_write.h), one frame at a time so
// that long or large videos never sit in memory as raw frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "komu_write.h"

// Picture t (0, 1, 2 ...) of a width x height video, RGB565 pixels, row-major:
//   - a static vertical gradient (rows of one colour: long runs, no change);
//   - a band an eighth of the height tall whose row colours scroll down one
//     row per picture (runs along each row, but every row of it changes);
//   - a box a quarter of each side, filled with a diagonal gradient (short
//     runs), sliding across the picture;
//   - a static patch of noise, a sixteenth of each side (nothing to compress,
//     nothing changing).
std::vector<uint16_t> bench_picture(uint32_t width, uint32_t height, uint32_t t);

struct bench_video {
    uint32_t width = 0, height = 0;
    uint32_t frames = 0;                  // pictures 0 .. frames-1
    uint32_t fps_num = 30, fps_den = 1;
    bool loop = false;
    komu_kind kind = komu_kind::automatic;  // forced for every frame unless automatic
    uint32_t key_interval = 0;              // a key frame at least every N frames (0: none forced)
};

// Encodes the video and writes it to path. Returns false and sets *error when
// the encoder refuses the options or the file cannot be written. The payload
// kinds the encoder chose are counted into kinds_out[4] (raw key, rle key,
// raw delta, rle delta) and the payload bytes into *payload_bytes, when given.
bool write_bench_video(const bench_video& video, const std::string& path, std::string* error,
                       uint64_t* payload_bytes = nullptr, uint32_t* kinds_out = nullptr);

// A fresh directory for the run's files (under $TMPDIR or /tmp); removed with
// everything in it by remove_bench_dir.
std::string make_bench_dir();
void remove_bench_dir(const std::string& dir);

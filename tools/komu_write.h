// Writing KOMU files: the PackBits encoder, the choice of payload kind for
// each frame, and the one streaming writer every program that makes a KOMU
// file uses (komu encode and demo, the tests, the benchmarks). The writer is
// the only place that knows the file's limits.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "komu.h"

// Payload kinds the encoder may choose from.
enum class komu_kind { automatic, raw, rle, delta, delta_rle };

struct komu_encode_options {
    uint16_t width = 0, height = 0;
    uint32_t fps_num = 30, fps_den = 1;
    bool loop = false;
    uint16_t mode = KOMU_MODE_INDEXED;  // 1 sequential raw frames; 2 or 3 indexed
    komu_kind kind = komu_kind::automatic;
    // A key frame at least every key_interval frames (0: only where needed).
    uint32_t key_interval = 0;
    // Zero bytes after the 28 of the header (header_size = 28 + this); the
    // reader skips them. Nothing needs them; the tests use them.
    uint32_t header_extra = 0;
};

// The rates the player plays as declared: 5 to 1000 frames per second
// (it clamps its frame interval to 1,000..200,000 microseconds).
inline constexpr uint32_t KOMU_MIN_FPS = 5;
inline constexpr uint32_t KOMU_MAX_FPS = 1000;

// A rate the player plays as declared, for frames that come at num/den a
// second. Within 5..1000 that rate itself. Below 5 it times the smallest
// whole `repeat` that reaches 5, each frame then written repeat times (2/1
// becomes 6/1, each frame three times); above 1000 it divided by the
// smallest whole `keep_every` that reaches 1000 or less, only every
// keep_every-th frame then written. Either way the video lasts as long.
struct komu_rate_fit {
    uint32_t num, den;
    uint32_t repeat, keep_every;  // at least 1; at most one of them above 1
};
komu_rate_fit komu_playable_rate(uint32_t num, uint32_t den);

// PackBits-encodes src as elements of elem bytes (1 or 2; src.size() must be
// a multiple of elem). Repeat runs wherever they save bytes, literal runs of
// up to 128 elements. rle_decode_packbits inverts it exactly.
std::vector<uint8_t> rle_encode_packbits(std::span<const uint8_t> src, uint32_t elem);

// Checks sizes, rate (playable: see komu_playable_rate), mode and kind (mode 1 takes raw frames only). Returns
// false and sets *error to a one-line reason.
bool komu_check_options(const komu_encode_options& options, std::string* error);

// Whether frame_count frames whose payloads end data_bytes into the data
// area fit the format: indexed files hold at most KOMU_MAX_INDEXED_FRAMES
// frames and a data area of at most 4 GiB - 1 bytes (32-bit offsets); any
// file at most 2^32 - 1 frames. False with a one-line *error otherwise.
bool komu_check_size(const komu_encode_options& options, uint64_t frame_count, uint64_t data_bytes,
                     std::string* error);

// The payload kind of an index entry's flags, in the order the tool counts
// them: 0 raw key, 1 rle key, 2 raw delta, 3 rle delta.
int komu_payload_kind(uint32_t entry_flags);
inline constexpr const char* KOMU_PAYLOAD_KIND_NAMES[4] = {"raw key", "rle key", "raw delta",
                                                            "rle delta"};

// A KOMU file written one frame at a time:
//   komu_writer w;
//   komu_writer_begin(&w, options, scratch_fd, &error);  // -1: payloads in memory
//   komu_writer_add(&w, frame, options.kind, &error);    // for each frame
//   komu_writer_finish(&w, out_fd, &error);              // or into a vector
// The header and index come first in the file but are known only at the
// end, so the payloads wait, in memory or in a scratch file the caller
// gives (so that a long video never sits in memory).
struct komu_writer {
    komu_encode_options options;
    uint32_t frame_bytes = 0;  // width * height * 2
    uint32_t since_key = 0;    // frames since the last key frame (starts "overdue")
    int scratch_fd = -1;       // where payloads wait; -1: in `data`
    std::vector<uint8_t> data;
    std::vector<komu_frame_entry> index;  // indexed modes
    uint64_t frames = 0;                  // added so far
    uint64_t data_bytes = 0;              // payload bytes so far
    uint64_t kinds[4] = {};               // frames of each komu_payload_kind
    // The picture the reader will hold as the reference for the next frame
    // (zeros before frame 0), the current mask and payload.
    std::vector<uint8_t> reference, mask, payload;
};

// Starts a file. False with *error when the options are bad.
bool komu_writer_begin(komu_writer* writer, const komu_encode_options& options, int scratch_fd,
                       std::string* error);

// Encodes the next frame (frame_bytes bytes) as kind; callers pass
// options.kind, the demo forces a kind for a few frames. With key_interval N
// > 0 a key frame comes at least every N frames, frame 0 included: there raw
// and delta become a raw key, rle and delta_rle an rle key. Automatic picks
// the smallest allowed payload; ties go to the earlier of raw key, rle key,
// raw delta, rle delta, so a raw delta (always the size of a raw key) is
// never its choice. Frame 0 is always a key frame under automatic. In mode 1
// every payload is the frame itself. False with *error when the file would
// no longer fit the format (the frame is then not added) or the scratch file
// cannot be written.
bool komu_writer_add(komu_writer* writer, std::span<const uint8_t> frame, komu_kind kind,
                     std::string* error);

// Bytes of the file so far: header, index and payloads.
uint64_t komu_writer_file_bytes(const komu_writer& writer);

// Writes the whole file (header, index, payloads) to out_fd, or into *file.
// False with *error when no frame was added or a write fails.
bool komu_writer_finish(komu_writer* writer, int out_fd, std::string* error);
bool komu_writer_finish(komu_writer* writer, std::vector<uint8_t>* file, std::string* error);

// Encodes whole frames (frame_bytes each, back to back) into the bytes of a
// complete file, through the writer. False with *error for options or input
// the format cannot hold.
bool komu_encode(const komu_encode_options& options, std::span<const uint8_t> frames,
                 std::vector<uint8_t>* file, std::string* error);

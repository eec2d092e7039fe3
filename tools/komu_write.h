// Writing KOMU files: the PackBits encoder and the file encoder used by the
// komu tool, and by the tests to make their input files.
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
};

// PackBits-encodes src as elements of elem bytes (1 or 2; src.size() must be
// a multiple of elem). Repeat runs wherever they save bytes, literal runs of
// up to 128 elements. rle_decode_packbits inverts it exactly.
std::vector<uint8_t> rle_encode_packbits(std::span<const uint8_t> src, uint32_t elem);

// Encodes whole frames (frame_bytes each, back to back) into the bytes of a
// complete KOMU file. Returns false and sets *error to a one-line reason for
// options or input the format cannot hold.
bool komu_encode(const komu_encode_options& options, std::span<const uint8_t> frames,
                 std::vector<uint8_t>* file, std::string* error);

// ---- The pieces komu_encode is made of, shared with the komu tool ----------

// Checks sizes, rate, mode and kind (mode 1 takes raw frames only). Returns
// false and sets *error to a one-line reason.
bool komu_check_options(const komu_encode_options& options, std::string* error);

// Checks that frame_count frames whose payloads end data_bytes into the data
// area fit the format: indexed files hold at most KOMU_MAX_INDEXED_FRAMES
// frames and a data area of at most 4 GiB - 1 bytes (32-bit offsets).
bool komu_check_size(const komu_encode_options& options, uint64_t frame_count, uint64_t data_bytes,
                     std::string* error);

// The header of a file with these options and frame_count frames.
komu_header komu_make_header(const komu_encode_options& options, uint32_t frame_count);

// Appends the header's 28 bytes and the index entries (12 bytes each) to
// *out: everything of a file before its data area when header_size is 28.
void komu_append_prefix(const komu_header& header, std::span<const komu_frame_entry> index,
                        std::vector<uint8_t>* out);

// Per-frame state of an encoder: the picture the reader will hold as the
// reference for the next frame (zeros before frame 0) and a scratch mask.
struct komu_frame_encoder {
    komu_encode_options options;
    uint32_t frame_bytes = 0;  // width * height * 2
    uint32_t position = 0;     // frames encoded so far
    uint32_t since_key = 0;    // frames since the last key frame (starts "overdue")
    std::vector<uint8_t> reference;
    std::vector<uint8_t> mask;
};

// Prepares *encoder for options (which komu_check_options accepted).
void komu_encoder_init(komu_frame_encoder* encoder, const komu_encode_options& options);

// Encodes the next frame (frame_bytes bytes) as kind; callers pass
// options.kind, the demo forces a kind for a few frames. With key_interval N
// > 0 a key frame comes at least every N frames, frame 0 included: there raw
// and delta become a raw key, rle and delta_rle an rle key. Automatic picks
// the smallest allowed payload; ties go to the earlier of raw key, rle key,
// raw delta, rle delta, so a raw delta (always the size of a raw key) is
// never its choice. Frame 0 is always a key frame under automatic. Writes
// the payload to *payload and returns its index entry flags (KOMU_FRAME_*).
// In mode 1 the payload is the frame itself and the flags are 0.
uint32_t komu_encode_frame(komu_frame_encoder* encoder, std::span<const uint8_t> frame,
                           komu_kind kind, std::vector<uint8_t>* payload);

// The payload kind of an index entry's flags, in the order the tool counts
// them: 0 raw key, 1 rle key, 2 raw delta, 3 rle delta.
int komu_payload_kind(uint32_t entry_flags);

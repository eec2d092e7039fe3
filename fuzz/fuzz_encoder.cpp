// Fuzz target: the writer. Whatever frames and options go in, the file it
// writes is one the reader opens as the player does and decodes to exactly
// those frames (tests/komu_round_trip.h); anything else aborts, and so
// does a refusal: every option this target makes is one the writer takes.
//
// Input: byte 0 mode (bits 0-1: 1..3, 0 read as 2) and kind (bits 2-4:
// 0..4 as komu_kind, 5..7 one kind per frame from the frame's first byte),
// bit 5 loop; byte 1 width - 1 (0..31), byte 2 height - 1 (0..15), byte 3
// key interval (0..7) and extra header bytes (bits 3-4); bytes 4-7 choose
// the rate, a playable n/1001 (u32 little-endian, reduced into 5..1000
// frames per second); the rest frames,
// width * height * 2 bytes each, a partial last one dropped.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "komu_round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    komu_encode_options o;
    o.mode = static_cast<uint16_t>((data[0] & 3) ? (data[0] & 3) : 2);
    const uint32_t kind = (data[0] >> 2) & 7;
    o.kind = kind <= 4 && o.mode != KOMU_MODE_SEQUENTIAL ? static_cast<komu_kind>(kind)
                                                          : komu_kind::automatic;
    o.loop = (data[0] & 0x20) != 0;
    o.width = static_cast<uint16_t>(1 + (data[1] & 31));
    o.height = static_cast<uint16_t>(1 + (data[2] & 15));
    o.key_interval = data[3] & 7;
    o.header_extra = (data[3] >> 3) & 3;
    uint32_t num;
    std::memcpy(&num, data + 4, 4);
    o.fps_den = 1001;
    o.fps_num = KOMU_MIN_FPS * o.fps_den + num % ((KOMU_MAX_FPS - KOMU_MIN_FPS) * o.fps_den + 1);

    const size_t frame_bytes = size_t{o.width} * o.height * 2;
    const size_t count = (size - 8) / frame_bytes;
    const std::span<const uint8_t> frames(data + 8, count * frame_bytes);
    std::vector<komu_kind> kinds;
    for (size_t i = 0; i < count && kind > 4; ++i) {
        kinds.push_back(static_cast<komu_kind>(frames[i * frame_bytes] % 5));
    }
    const std::string result = roundtrip::check(o, frames, kinds);
    if (!result.empty() && (count > 0 || result != "refused")) {
        std::fprintf(stderr, "fuzz_encoder: %s\n", result.c_str());
        std::abort();
    }
    return 0;
}

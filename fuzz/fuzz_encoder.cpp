// Fuzz target: the writer. Whatever frames and options go in, the file it
// writes is one the reader opens as the player does and decodes to exactly
// those frames, wrapping to the first when it loops, and an automatic choice
// is never larger than a raw frame; anything else aborts, and so does a
// refusal: every option this target makes is one the writer takes.
//
// Input: byte 0 mode (bits 0-1: 1..3, 0 read as 2) and kind (bits 2-4:
// 0..4 as komu_kind, 5..7 one kind per frame from the frame's first byte),
// bit 5 loop; byte 1 width - 1 (0..31), byte 2 height - 1 (0..15), byte 3
// key interval (0..7) and extra header bytes (bits 3-4); bytes 4-7 choose
// the rate, a playable n/1001 (u32 little-endian, reduced into 5..1000
// frames per second); the rest frames,
// width * height * 2 bytes each, a partial last one dropped.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "komu.h"
#include "komu_write.h"

namespace {

// "" when the promise holds for these frames (frame_bytes each, back to
// back) and, per frame, these kinds (empty: options.kind for all); else what
// broke it. Options the writer refuses are no failure: "refused".
std::string round_trip(const komu_encode_options& o, std::span<const uint8_t> frames,
                       std::span<const komu_kind> kinds) {
    komu_writer w;
    std::string error;
    std::vector<uint8_t> file;
    if (!komu_writer_begin(&w, o, -1, &error)) return "refused";
    const size_t n = frames.size() / w.frame_bytes, fb = w.frame_bytes;
    for (size_t i = 0; i < n; ++i) {
        const komu_kind kind = kinds.empty() ? o.kind : kinds[i % kinds.size()];
        if (!komu_writer_add(&w, frames.subspan(i * fb, fb), kind, &error)) return "add: " + error;
    }
    if (!komu_writer_finish(&w, &file, &error)) return n == 0 ? "refused" : "finish: " + error;
    if (file.size() != komu_writer_file_bytes(w)) return "file size differs from the count";

    const int fd = memfd_create("komu_round_trip", 0);
    if (fd < 0 || write(fd, file.data(), file.size()) != ssize_t(file.size())) return "memfd";
    komu_stream s;
    std::string result;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (komu_open_stream(&s, path.c_str()) != 0) result = "the reader refuses the file";
    for (size_t i = 0; result.empty() && i <= n; ++i) {  // one more: the wrap or the end
        const int r = komu_decode_next(&s);
        if (i == n && !o.loop) {
            if (r != 1) result = "no end after the last frame";
        } else if (r != 0 || std::memcmp(s.cur_frame, &frames[i % n * fb], fb) != 0) {
            result = "frame " + std::to_string(i) + (r ? " does not decode" : " decodes to another picture");
        } else if (o.kind == komu_kind::automatic && kinds.empty() && s.index && s.index[i % n].size > fb) {
            result = "frame " + std::to_string(i) + ": automatic chose more than a raw frame";
        }
    }
    komu_close(&s);
    close(fd);
    return result;
}

}  // namespace

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
    const std::string result = round_trip(o, frames, kinds);
    if (!result.empty() && (count > 0 || result != "refused")) {
        std::fprintf(stderr, "fuzz_encoder: %s\n", result.c_str());
        std::abort();
    }
    return 0;
}

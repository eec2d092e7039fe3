// The encoder's promise, checked by the tests and the encoder fuzz target:
// whatever frames and options go in, the writer's file is one the reader
// opens as the player does and decodes to exactly those frames, wrapping to
// the first when it loops; and an automatic choice is never larger than a
// raw frame.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "komu.h"
#include "komu_write.h"

namespace roundtrip {

// "" when the promise holds for these frames (frame_bytes each, back to
// back) and, per frame, these kinds (empty: options.kind for all); else what
// broke it. Options the writer refuses are no failure: "refused".
inline std::string check(const komu_encode_options& o, std::span<const uint8_t> frames,
                         std::span<const komu_kind> kinds = {}) {
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

}  // namespace roundtrip

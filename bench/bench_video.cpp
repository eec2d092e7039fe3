// Test videos for the benchmarks: see bench_video.h.
#include "bench_video.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <span>

namespace {

uint16_t rgb565(uint32_t r, uint32_t g, uint32_t b) {  // 0..255 each
    return static_cast<uint16_t>(((r & 0xF8u) << 8) | ((g & 0xFCu) << 3) | (b >> 3));
}

// Position 0 -> span -> 0 -> ...: something sliding between two walls.
uint32_t bounce(uint32_t travelled, uint32_t span) {
    if (span == 0) return 0;
    const uint32_t p = travelled % (2 * span);
    return p <= span ? p : 2 * span - p;
}

}  // namespace

std::vector<uint16_t> bench_picture(uint32_t width, uint32_t height, uint32_t t) {
    std::vector<uint16_t> px(size_t{width} * height);
    for (uint32_t y = 0; y < height; ++y) {
        const uint16_t c = rgb565(16 + y * 96 / height, 32 + y * 160 / height, 64 + y * 128 / height);
        for (uint32_t x = 0; x < width; ++x) px[size_t{y} * width + x] = c;
    }
    // Scrolling band.
    const uint32_t band_top = height / 2, band_rows = height / 8;
    for (uint32_t y = band_top; y < band_top + band_rows; ++y) {
        const uint32_t v = (y + t) * 9;
        const uint16_t c = rgb565(v & 0xFF, (v * 3) & 0xFF, 255 - (v & 0xFF));
        for (uint32_t x = 0; x < width; ++x) px[size_t{y} * width + x] = c;
    }
    // Sliding box with a diagonal gradient: colour steps every 4 pixels.
    const uint32_t bw = width / 4, bh = height / 4;
    const uint32_t bx = bounce(t * (width / 64 + 1), width - bw);
    const uint32_t by = height / 8;
    for (uint32_t y = 0; y < bh; ++y) {
        for (uint32_t x = 0; x < bw; ++x) {
            const uint32_t d = (x + y) / 4;
            px[size_t{by + y} * width + bx + x] = rgb565(d * 7, 255 - d * 3, d * 11);
        }
    }
    // Static noise patch (xorshift32 from a fixed seed).
    uint32_t state = 0x9E3779B9u;
    const uint32_t nw = width / 16 + 1, nh = height / 16 + 1;
    for (uint32_t y = height - nh; y < height; ++y) {
        for (uint32_t x = width - nw; x < width; ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            px[size_t{y} * width + x] = static_cast<uint16_t>(state);
        }
    }
    return px;
}

bool write_bench_video(const bench_video& video, const std::string& path, std::string* error,
                       uint64_t* payload_bytes, uint32_t* kinds_out) {
    komu_encode_options options;
    options.width = static_cast<uint16_t>(video.width);
    options.height = static_cast<uint16_t>(video.height);
    options.fps_num = video.fps_num;
    options.fps_den = video.fps_den;
    options.loop = video.loop;
    options.mode = KOMU_MODE_INDEXED;
    options.kind = video.kind;
    options.key_interval = video.key_interval;
    komu_writer writer;
    if (!komu_writer_begin(&writer, options, -1, error)) return false;
    for (uint32_t f = 0; f < video.frames; ++f) {
        const std::vector<uint16_t> picture = bench_picture(video.width, video.height, f);
        const auto* bytes = reinterpret_cast<const uint8_t*>(picture.data());
        if (!komu_writer_add(&writer, std::span(bytes, picture.size() * 2), video.kind, error)) {
            return false;
        }
    }
    if (payload_bytes != nullptr) *payload_bytes = writer.data_bytes;
    for (int k = 0; kinds_out != nullptr && k < 4; ++k) {
        kinds_out[k] += static_cast<uint32_t>(writer.kinds[k]);
    }

    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && komu_writer_finish(&writer, fd, error);
    if ((fd >= 0 && close(fd) != 0) || !written) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

std::string make_bench_dir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") +
                        "/cinepane-bench-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) return "";
    return templ;
}

void remove_bench_dir(const std::string& dir) {
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
}

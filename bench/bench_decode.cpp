// Decoding speed: komu_decode_next over files in the page cache, one file per
// payload kind and size, against the least any reader must do with the same
// file (read the same payload bytes, copy one frame); the run-length decoder
// alone; and komu_seek at 640 x 480 for key intervals of 1, 30 and 300.
//
// Each file loops, so decoding runs for as long as the benchmark wants.
// Figures: frames/s and output bytes/s per case; at the end, decode time over
// baseline time per case (medians when run with --benchmark_repetitions).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "bench_video.h"
#include "komu.h"

namespace {

constexpr uint32_t FILE_FRAMES = 32;  // per file; 19.7 MB for a raw 640 x 480 file

struct kind_case {
    const char* name;
    komu_kind kind;
    int expected;  // komu_payload_kind of every frame
};
constexpr kind_case KINDS[] = {
    {"raw_key", komu_kind::raw, 0},
    {"rle_key", komu_kind::rle, 1},
    {"raw_delta", komu_kind::delta, 2},
    {"rle_delta", komu_kind::delta_rle, 3},
};
struct size_case {
    uint32_t w, h;
};
constexpr size_case SIZES[] = {{160, 120}, {320, 240}, {640, 480}};

struct decode_file {
    std::string path;
    uint32_t frame_bytes = 0;
    uint32_t data_offset = 0;
    std::vector<uint32_t> sizes;  // payload bytes of each frame, in file order
    double mean_payload = 0;      // bytes
};

// Reads exactly n bytes from fd.
bool read_all(int fd, uint8_t* p, uint32_t n) {
    while (n > 0) {
        const ssize_t got = read(fd, p, n);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<uint32_t>(got);
    }
    return true;
}

// Opens a stream the way the player's start-up does: both frame buffers
// allocated through the reader's allocator and zeroed.
bool open_stream(komu_stream* s, const std::string& path) {
    return komu_open_stream(s, path.c_str()) == 0;
}

// Writes the file, then decodes it twice round (through the loop restart)
// and compares every frame with its picture: what is timed is known to work.
bool make_decode_file(const std::string& path, const kind_case& k, const size_case& sz,
                      decode_file* out, std::string* error) {
    bench_video video;
    video.width = sz.w;
    video.height = sz.h;
    video.frames = FILE_FRAMES;
    video.loop = true;
    video.kind = k.kind;
    uint64_t payload = 0;
    uint32_t kinds[4] = {};
    if (!write_bench_video(video, path, error, &payload, kinds)) return false;
    if (kinds[k.expected] != FILE_FRAMES) {
        *error = path + ": not every frame has the forced kind";
        return false;
    }

    komu_stream s;
    if (!open_stream(&s, path)) {
        komu_close(&s);
        *error = path + ": cannot open";
        return false;
    }
    out->path = path;
    out->frame_bytes = s.frame_bytes;
    out->data_offset = s.data_offset;
    out->sizes.clear();
    for (uint32_t f = 0; f < s.header.frame_count; ++f) out->sizes.push_back(s.index[f].size);
    out->mean_payload = static_cast<double>(payload) / FILE_FRAMES;
    bool ok = true;
    for (uint32_t f = 0; f < 2 * FILE_FRAMES && ok; ++f) {
        const std::vector<uint16_t> want = bench_picture(sz.w, sz.h, f % FILE_FRAMES);
        ok = komu_decode_next(&s) == 0 && std::memcmp(s.cur_frame, want.data(), s.frame_bytes) == 0;
    }
    komu_close(&s);
    if (!ok) *error = path + ": decoded frames differ from the pictures";
    return ok;
}

void set_frame_counters(benchmark::State& state, const decode_file& file) {
    const auto frames = static_cast<int64_t>(state.iterations());
    state.SetItemsProcessed(frames);
    state.SetBytesProcessed(frames * file.frame_bytes);
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames),
                                                    benchmark::Counter::kIsRate);
    state.counters["payload_B"] = file.mean_payload;
}

void bm_decode(benchmark::State& state, const decode_file* file) {
    komu_stream s;
    if (!open_stream(&s, file->path)) {
        komu_close(&s);
        state.SkipWithError("cannot open the file");
        return;
    }
    for (auto _ : state) {
        if (komu_decode_next(&s) != 0) {
            state.SkipWithError("decode failed");
            break;
        }
        benchmark::DoNotOptimize(s.cur_frame);
        benchmark::ClobberMemory();
    }
    komu_close(&s);
    set_frame_counters(state, *file);
}

// The least a reader must do: read the same payload sizes from the same file
// (rewinding at the end, as the loop does) and copy one frame out.
void bm_read_copy(benchmark::State& state, const decode_file* file) {
    const int fd = open(file->path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || lseek(fd, file->data_offset, SEEK_SET) != off_t{file->data_offset}) {
        if (fd >= 0) close(fd);
        state.SkipWithError("cannot open the file");
        return;
    }
    const uint32_t largest = *std::max_element(file->sizes.begin(), file->sizes.end());
    std::vector<uint8_t> in(std::max(largest, file->frame_bytes), 1);
    std::vector<uint8_t> frame(file->frame_bytes);
    size_t next = 0;
    for (auto _ : state) {
        if (next == file->sizes.size()) {
            lseek(fd, file->data_offset, SEEK_SET);
            next = 0;
        }
        if (!read_all(fd, in.data(), file->sizes[next])) {
            state.SkipWithError("read failed");
            break;
        }
        std::memcpy(frame.data(), in.data(), file->frame_bytes);
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
        ++next;
    }
    close(fd);
    set_frame_counters(state, *file);
}

// ---- Seeking: komu_seek at 640 x 480 -----------------------------------------

// A file of run-length deltas with a run-length key frame every `interval`
// frames, at least two intervals long.
struct seek_case {
    uint32_t interval;
    std::string path;
    uint32_t frames = 0;
};

bool make_seek_file(const std::string& path, seek_case* c, std::string* error) {
    bench_video video;
    video.width = 640;
    video.height = 480;
    video.frames = std::max(2 * c->interval, 60u);
    video.kind = komu_kind::delta_rle;
    video.key_interval = c->interval;
    c->path = path;
    c->frames = video.frames;
    if (!write_bench_video(video, path, error)) return false;
    // Checked once: a seek to the last frame shows its picture.
    komu_stream s;
    const bool ok = open_stream(&s, path) && komu_seek(&s, c->frames) == 0 &&
                    std::memcmp(s.cur_frame, bench_picture(640, 480, c->frames - 1).data(),
                                s.frame_bytes) == 0;
    komu_close(&s);
    if (!ok) *error = path + ": a seek does not give the right picture";
    return ok;
}

// Shows frame k by komu_seek(s, k + 1). worst: alternately the last frame of
// the first and of the second key interval, each a whole interval of decodes
// from its key frame (the record never stands on the way); else frames at
// random.
void bm_seek(benchmark::State& state, const seek_case* c, bool worst) {
    komu_stream s;
    if (!open_stream(&s, c->path)) {
        komu_close(&s);
        state.SkipWithError("cannot open the file");
        return;
    }
    uint32_t random = 0x2545F491u, turn = 0;
    for (auto _ : state) {
        random ^= random << 13;
        random ^= random >> 17;
        random ^= random << 5;
        const uint32_t shown = worst ? (turn++ % 2 + 1) * c->interval - 1 : random % c->frames;
        if (komu_seek(&s, shown + 1) != 0) {
            state.SkipWithError("seek failed");
            break;
        }
        benchmark::DoNotOptimize(s.cur_frame);
        benchmark::ClobberMemory();
    }
    komu_close(&s);
    state.counters["seeks/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
}

// ---- The run-length decoder alone, on one 640 x 480 frame's bytes ----------

constexpr uint32_t RLE_OUT_BYTES = KOMU_MAX_FRAME_BYTES;

struct rle_case {
    std::string name;
    uint32_t elem;
    std::vector<uint8_t> encoded;
};

// RLE_OUT_BYTES of data in runs of equal elements: every run `long_runs`
// elements long, or (long_runs 0) 1 to 4 elements at random; each run's value
// differs from the one before.
std::vector<uint8_t> run_data(uint32_t elem, uint32_t long_runs) {
    std::vector<uint8_t> out;
    out.reserve(RLE_OUT_BYTES);
    uint32_t state = 0x1234567u;
    uint8_t value[2] = {0, 0};
    while (out.size() < RLE_OUT_BYTES) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const uint32_t run = long_runs ? long_runs : 1 + (state & 3);
        value[0] = static_cast<uint8_t>(value[0] + 1 + ((state >> 8) & 0x3F));
        value[1] = static_cast<uint8_t>(state >> 16);
        for (uint32_t k = 0; k < run && out.size() < RLE_OUT_BYTES; ++k) {
            out.insert(out.end(), value, value + elem);
        }
    }
    return out;
}

void bm_rle(benchmark::State& state, const rle_case* c) {
    std::vector<uint8_t> out(RLE_OUT_BYTES);
    for (auto _ : state) {
        const int r = rle_decode_packbits(c->encoded.data(), static_cast<uint32_t>(c->encoded.size()),
                                          out.data(), RLE_OUT_BYTES, c->elem);
        benchmark::DoNotOptimize(r);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * RLE_OUT_BYTES);
    state.counters["in_B"] = static_cast<double>(c->encoded.size());
}

// For scale: one plain copy of the same output size.
void bm_memcpy_frame(benchmark::State& state) {
    std::vector<uint8_t> in(RLE_OUT_BYTES, 7), out(RLE_OUT_BYTES);
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), RLE_OUT_BYTES);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * RLE_OUT_BYTES);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = make_bench_dir();
    if (dir.empty()) {
        std::fprintf(stderr, "bench_decode: cannot make a directory for the files\n");
        return 1;
    }
    // Registered benchmarks keep pointers into these: they live until main ends.
    static std::vector<decode_file> files(std::size(KINDS) * std::size(SIZES));
    std::vector<bench_ratio_pair> pairs;
    size_t n = 0;
    for (const size_case& sz : SIZES) {
        for (const kind_case& k : KINDS) {
            const std::string tag = std::string(k.name) + "/" + std::to_string(sz.w) + "x" +
                                    std::to_string(sz.h);
            std::string error;
            decode_file* file = &files[n++];
            std::string path = dir + "/" + k.name + "_" + std::to_string(sz.w) + ".komu";
            if (!make_decode_file(path, k, sz, file, &error)) {
                std::fprintf(stderr, "bench_decode: %s\n", error.c_str());
                remove_bench_dir(dir);
                return 1;
            }
            benchmark::RegisterBenchmark(("decode/" + tag).c_str(), bm_decode, file)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(("read_copy/" + tag).c_str(), bm_read_copy, file)
                ->Unit(benchmark::kMicrosecond);
            pairs.push_back({tag, "decode/" + tag, "read_copy/" + tag});
        }
    }

    static std::vector<seek_case> seeks;
    for (const uint32_t interval : {1u, 30u, 300u}) seeks.push_back({interval, "", 0});
    for (seek_case& c : seeks) {
        std::string error;
        if (!make_seek_file(dir + "/seek_" + std::to_string(c.interval) + ".komu", &c, &error)) {
            std::fprintf(stderr, "bench_decode: %s\n", error.c_str());
            remove_bench_dir(dir);
            return 1;
        }
        for (const bool worst : {true, false}) {
            const std::string name = std::string("seek/") + (worst ? "worst" : "random") +
                                     "/key_interval_" + std::to_string(c.interval);
            benchmark::RegisterBenchmark(name.c_str(), bm_seek, &c, worst)->Unit(benchmark::kMicrosecond);
        }
    }

    static std::vector<rle_case> rle_cases;
    for (const uint32_t elem : {1u, 2u}) {
        for (const uint32_t runs : {128u, 0u}) {
            const std::vector<uint8_t> data = run_data(elem, runs);
            rle_case c{"rle_decode/elem" + std::to_string(elem) + (runs ? "/long_runs" : "/short_runs"),
                       elem, rle_encode_packbits(data, elem)};
            std::vector<uint8_t> check(RLE_OUT_BYTES);
            if (rle_decode_packbits(c.encoded.data(), static_cast<uint32_t>(c.encoded.size()),
                                    check.data(), RLE_OUT_BYTES, elem) != 0 ||
                check != data) {
                std::fprintf(stderr, "bench_decode: %s does not round-trip\n", c.name.c_str());
                remove_bench_dir(dir);
                return 1;
            }
            rle_cases.push_back(std::move(c));
        }
    }
    for (const rle_case& c : rle_cases) {
        benchmark::RegisterBenchmark(c.name.c_str(), bm_rle, &c)->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark("memcpy/614400", bm_memcpy_frame)->Unit(benchmark::kMicrosecond);

    const int status = run_benchmarks_with_ratios(argc, argv, "Decode against read + copy", pairs);
    remove_bench_dir(dir);
    return status;
}

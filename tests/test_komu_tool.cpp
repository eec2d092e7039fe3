// Tests of the komu tool, run as a process (KOMU_BIN) in a temporary folder:
// encode/decode round trips, refusals, info and decode of hand-built files,
// the demo, and real video from ffmpeg.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "komu_test_files.h"
#include "komu_write.h"
#include "rgb565.h"
#include "run_process.h"

namespace {

namespace fs = std::filesystem;
using testfile::bytes;

bytes read_bytes(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), {});
}

void write_bytes(const fs::path& path, const bytes& data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

// The values of komu info's "name   value" lines with these names, joined by
// spaces; "-" for a missing line.
std::string fields(const std::string& info, std::initializer_list<std::string> names) {
    std::string out;
    for (const std::string& name : names) {
        const size_t at = ("\n" + info).find("\n" + name + " ");
        std::string value = "-";
        if (at != std::string::npos) {
            const size_t start = info.find_first_not_of(' ', at + name.size());
            value = info.substr(start, info.find('\n', start) - start);
        }
        out += ' ' + value;
    }
    return out.substr(1);
}

struct run_result : testproc::result {
    bytes out_bytes() const { return bytes(out.begin(), out.end()); }
};

// Each test gets its own folder; komu runs in it with standard input from a file.
class KomuTool : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(dir_), nullptr); }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path path(const std::string& file) const { return fs::path(dir_) / file; }
    size_t file_count() const { return size_t(std::distance(fs::directory_iterator(dir_), {})); }

    run_result run(const std::string& args, const std::string& in = "/dev/null") const {
        const std::string cmd = "cd " + std::string(dir_) + " && '" KOMU_BIN "' " + args;
        return {testproc::run({"/bin/sh", "-c", cmd + " <" + in})};
    }
    // What every error must look like: one line, "komu: ...".
    static void expect_one_error_line(const run_result& r) {
        EXPECT_TRUE(r.err.starts_with("komu: ") && r.err.find('\n') == r.err.size() - 1) << r.err;
    }

    char dir_[32] = "/tmp/komu_tool_XXXXXX";
};

TEST_F(KomuTool, EncodeDecodeRoundTripsEveryModeKindKeyIntervalAndLoop) {
    // 12 frames of 37 x 23 giving every payload kind a reason to win: noise,
    // a repeat, one changed byte, flat colour, stripes (one colour per row).
    bytes frames, f;
    for (uint32_t n = 0; n < 12; ++n) {
        if (n % 5 == 0) f = testfile::picture(37, 23, n);
        if (n % 5 == 2) f[n * 7] ^= 0x5A;
        for (size_t i = 0; n % 5 > 2 && i < f.size(); ++i) f[i] = uint8_t(n % 5 == 3 ? n : i / 74);
        frames.insert(frames.end(), f.begin(), f.end());
    }
    const bytes two(frames.begin(), frames.begin() + 2 * 37 * 23 * 2);
    bytes looped = frames;  // 26 frames of a looping file: the 12 twice, then 0 and 1
    looped.insert(looped.end(), frames.begin(), frames.end());
    looped.insert(looped.end(), two.begin(), two.end());
    write_bytes(path("in.raw"), frames);
    // info's counts of raw keys, rle keys, raw deltas and rle deltas with -g 4
    // (keys 0, 4, 8) and without -g, where even frame 0 is a delta. auto: noise
    // as raw keys, flat colour as rle keys, the rest as rle deltas (the
    // stripes' mask after flat colour is coded in byte runs, one per row).
    const std::pair<std::string, std::array<std::string, 2>> kinds[] = {
        {"raw", {"12 0 0 0", "12 0 0 0"}}, {"rle", {"0 12 0 0", "0 12 0 0"}},
        {"delta", {"3 0 9 0", "0 0 12 0"}}, {"delta-rle", {"0 3 0 9", "0 0 0 12"}},
        {"auto", {"3 2 0 7", "3 2 0 7"}}};
    for (const std::string mode : {"1", "2", "3"}) {
        for (const auto& [kind, counts] : kinds) {
            for (int loop : {0, 1}) {
                if (mode == "1" && kind != "auto" && kind != "raw") continue;
                // Looping from a file to -o; else -g 4 and a rate, standard input to output.
                const std::string args =
                    "encode -s 37x23 --mode " + mode + " --kind " + kind +
                    (loop ? " --loop -o out.komu in.raw" : " -g 4 -r 24000/1001");
                SCOPED_TRACE(args);
                const run_result r = run(args, loop ? "/dev/null" : "in.raw");
                ASSERT_EQ(r.status, 0);
                if (!loop) write_bytes(path("out.komu"), r.out_bytes());
                const run_result decoded = run("decode out.komu 26");  // past the end
                EXPECT_EQ(decoded.status, 0);
                EXPECT_TRUE(decoded.out_bytes() == (loop ? looped : frames));
                const std::string info = run("info out.komu").out;
                EXPECT_EQ(fields(info, {"mode", "width", "height", "flags", "fps_num", "fps_den"}),
                          mode + (loop ? " 37 23 0x01 (loop) 30 1" : " 37 23 0x00 24000 1001"));
                EXPECT_EQ(fields(info, {"raw_key", "rle_key", "raw_delta", "rle_delta"}),
                          mode == "1" ? "12 0 0 0" : counts[loop]);
            }
        }
    }
    EXPECT_TRUE(run("decode out.komu 2").out_bytes() == two);
    // The last OUT (mode 3, auto, looping) is what the library writes.
    const komu_encode_options o{.width = 37, .height = 23, .loop = true, .mode = 3};
    bytes file;
    std::string error;
    EXPECT_TRUE(komu_encode(o, frames, &file, &error) && file == read_bytes(path("out.komu")));
    // The last OUT was created like any new file, not with mkstemp's 0600.
    EXPECT_EQ(fs::status(path("out.komu")).permissions(), fs::status(path("in.raw")).permissions());
}

TEST_F(KomuTool, RefusalsGiveOneErrorLineAndLeaveNoFileBehind) {
    EXPECT_EQ(run("").status, 2);
    EXPECT_NE(run("--help").out.find("Usage: komu"), std::string::npos);
    EXPECT_EQ(run("--version").out, "komu " KOMU_VERSION "\n");
    write_bytes(path("partial.raw"), bytes(200 * 3 + 100, 9));  // 3.5 frames of 10 x 10
    write_bytes(path("empty.raw"), {});
    // 1 x 1 frames, one more than an index holds: a small input.
    write_bytes(path("many.raw"), bytes((size_t{KOMU_MAX_INDEXED_FRAMES} + 1) * 2, 0x3C));
    // old.komu: a file the player opens; magic.komu one it refuses.
    const bytes one =
        testfile::sequential(testfile::header(2, 1, KOMU_MODE_SEQUENTIAL, 1), {bytes(4)});
    bytes magic = one;
    magic[3] = 'X';
    write_bytes(path("old.komu"), one);
    write_bytes(path("magic.komu"), magic);
    // Status 2 for bad arguments, 1 for bad files or input; old.komu stays as it was.
    const std::vector<std::string> bad_arguments = {
        "frobnicate", "decode a.komu ten", "encode -s 8by8", "encode -s 8x8 --kind fast",
        "encode -s 8x8 -r 30/0", "encode -s 8x8 --mode 4", "encode -s 8x8 --mode 1 --kind rle",
        "encode -s 641x1 in.raw", "encode -s 1x481 in.raw", "encode -s 0x5 in.raw",
        "encode -s 8x8 --fit 8x8 in.raw", "encode --fit 641x480 in.mp4", "encode --dither x in.mp4"};
    const std::vector<std::string> failures = {
        "encode -s 20x20 -o out.komu partial.raw", "encode -s 10x10 -o out.komu empty.raw",
        "encode -s 10x10 -o out.komu missing.raw", "encode -s 1x1 -o out.komu many.raw",
        "encode -s 10x10 -o no/such/dir/out.komu partial.raw", "encode -o out.komu old.komu",
        "encode -s 10x10 -o old.komu empty.raw", "encode -o old.komu missing.mp4",
        "info magic.komu", "info missing.komu", "decode magic.komu", "decode missing.komu"};
    for (int status : {1, 2}) {
        for (const std::string& args : status == 1 ? failures : bad_arguments) {
            SCOPED_TRACE(args);
            run_result r = run(args);
            EXPECT_EQ(r.status, status);
            if (args.starts_with("encode -s 20x20")) {  // less than a frame: a warning first
                EXPECT_TRUE(r.err.starts_with("komu: warning: the input ends inside frame 1 "));
                r.err.erase(0, r.err.find('\n') + 1);
            }
            expect_one_error_line(r);
            EXPECT_TRUE(r.out.empty());
            EXPECT_EQ(file_count(), 5u);  // the inputs only: no OUT, no temporary
        }
    }
    EXPECT_TRUE(read_bytes(path("old.komu")) == one);
    // Interrupted (Ctrl-C) while it waits for input, once its temporary exists:
    // no OUT, no temporary. The input is a FIFO held open by the shell, which
    // nothing outlives (a writer process would keep the output pipe open).
    const std::string interrupt = " encode -s 8x8 -o out.komu <in & exec 3>in; for i in $(seq 300);"
                                  " do ls out.komu.tmp* >/dev/null 2>&1 && break; sleep 0.1; done;"
                                  " kill -INT $!; wait $!; s=$?; rm in; exit $s";
    EXPECT_EQ(testproc::run({"/bin/sh", "-c", "cd " + std::string(dir_) + "; mkfifo in; '"
                             KOMU_BIN "'" + interrupt}).status, 128 + SIGINT);
    EXPECT_EQ(file_count(), 5u);
}

// Overwrites index entry i's offset and size (a 28-byte header assumed).
void set_entry(bytes* file, uint32_t i, uint32_t offset, uint32_t size) {
    const uint32_t entry[2] = {offset, size};
    std::memcpy(&(*file)[KOMU_HEADER_BYTES + i * KOMU_ENTRY_BYTES], entry, 8);
}

TEST_F(KomuTool, InfoSaysInWordsWhereThePlayerStopsAndDecodeStopsThere) {
    // 2 x 1, 25 fps, 4 extra header bytes; one entry of each kind (flags with
    // meaningless bits set), gaps of 2 and 7 bytes, 3 bytes after the last.
    komu_header h = testfile::header(2, 1, KOMU_MODE_INDEXED_ALT, 4);
    h.fps_num = 25;
    h.header_size = KOMU_HEADER_BYTES + 4;
    bytes file = testfile::indexed(h, {{KOMU_FRAME_DELTA_RLE, bytes(4)},
                                       {KOMU_FRAME_RLE16 | 0x100, bytes{0xFF, 0, 0}, 2},
                                       {KOMU_FRAME_DELTA | KOMU_FRAME_RLE16, bytes(4)},
                                       {KOMU_FRAME_DELTA | KOMU_FRAME_DELTA_RLE, bytes{0xFD, 0}, 7}});
    file.resize(file.size() + 3);
    write_bytes(path("gaps.komu"), file);
    EXPECT_EQ(fields(run("info gaps.komu").out,
                     {"magic", "mode", "frame_count", "frame_interval_us", "data_offset",
                      "file_size", "raw_key", "rle_key", "raw_delta", "rle_delta", "payload_bytes",
                      "gap_bytes", "trailing_bytes"}),
              "0x4B4D5500 3 4 40000 80 105 1 1 1 1 13 9 3");

    // Four 2 x 1 raw keys; the same with entry 2 moved back, entry 3 past
    // the end, entry 0 a byte short, at 2 fps; in mode 1, cut.
    const bytes four = testfile::picture(2, 4, 1);
    std::vector<testfile::payload> frames;
    for (int i = 0; i < 4; ++i) frames.push_back({0, bytes(&four[i * 4], &four[i * 4 + 4])});
    file = testfile::indexed(testfile::header(2, 1, KOMU_MODE_INDEXED, 4), frames);
    const auto edit = [&](const char* name, uint32_t entry, uint32_t offset, uint32_t size,
                          uint8_t fps = 30) {
        bytes f = file;
        set_entry(&f, entry, offset, size);
        f[16] = fps;  // fps_num
        write_bytes(path(name), f);
    };
    edit("good.komu", 0, 0, 4), edit("order.komu", 2, 6, 4), edit("long.komu", 3, 12, 40);
    edit("short.komu", 0, 0, 3), edit("slow.komu", 0, 0, 4, 2);
    write_bytes(path("cut.komu"), testfile::sequential(testfile::header(2, 1, 1, 5), {four, {1}}));
    const struct { std::string file, summary, error; } cases[] = {
        {"gaps.komu", "4 at 25/1 fps, 0.16 s, played once", ""},
        {"good.komu", "key frames:   4, every frame\n", ""},
        {"order.komu", "raw key (16 B)", "frame 3 cannot be decoded: it overlaps frame 2 (its payload "
         "starts at 6, the one before ends at 8): playback stops after frame 2"},
        {"long.komu", "", "frame 4 cannot be decoded: its payload ends at byte 128, past the end of "
         "the file (92 bytes): playback stops after frame 3"},
        {"short.komu", "", "frame 1 cannot be decoded: its payload is 3 bytes, a raw frame needs 4: "
         "cinepane refuses to start"},
        {"slow.komu", "2/1 fps: outside the 5..1000 the player keeps, so it plays at 5 fps, 2.50 "
         "times too fast", ""},
        {"cut.komu", "mode:         sequential (1)", "frame 5 cannot be decoded: the file ends "
         "inside it: playback stops after frame 4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const run_result r = run("info " + c.file);
        EXPECT_NE(r.out.find(c.summary), std::string::npos) << r.out;
        EXPECT_EQ(r.status, c.error.empty() ? 0 : 1);
        EXPECT_EQ(r.err, c.error.empty() ? "" : "komu: " + c.file + ": " + c.error + "\n");
    }
    const run_result bad = run("decode order.komu");
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(bad.out_bytes() == bytes(four.begin(), four.begin() + 8));
    EXPECT_EQ(bad.err, "komu: order.komu: " + cases[2].error.substr(0, cases[2].error.find("):") + 1) + "\n");
}

// decode --start N: the frames from N on, in playback order, for every mode,
// payload kind and key interval (every frame, every 7th, none: deltas from
// frame 0 on), N at 0, at a key frame, just after it and at the last frame;
// a looping file wraps, here to its second pass; through a pipe too.
TEST_F(KomuTool, DecodeFromAnyStartFrameGivesTheFramesFromThere) {
    constexpr uint16_t w = 8, h = 6;
    constexpr uint32_t F = 12, FB = w * h * 2;
    bytes frames;
    for (uint32_t k = 0; k < F; ++k) {
        const bytes f = k % 3 ? testfile::picture(w, h, k) : bytes(FB, uint8_t(k));
        frames.insert(frames.end(), f.begin(), f.end());
    }
    const auto frames_from = [&](uint32_t n, uint32_t count) {
        bytes out;
        for (uint32_t k = n; k < n + count; ++k) {
            out.insert(out.end(), frames.begin() + (k % F) * FB, frames.begin() + (k % F + 1) * FB);
        }
        return out;
    };
    using enum komu_kind;
    for (const uint16_t mode : {KOMU_MODE_SEQUENTIAL, KOMU_MODE_INDEXED, KOMU_MODE_INDEXED_ALT}) {
        for (const komu_kind kind : {raw, rle, delta, delta_rle, automatic}) {
            for (const uint32_t interval : {1u, 7u, 0u}) {
                for (const bool loop : {false, true}) {
                    if (mode == 1 && kind != raw && kind != automatic) continue;
                    const komu_encode_options o{.width = w, .height = h, .loop = loop, .mode = mode,
                                                .kind = kind, .key_interval = interval};
                    bytes file;
                    std::string error;
                    ASSERT_TRUE(komu_encode(o, frames, &file, &error)) << error;
                    write_bytes(path("v.komu"), file);
                    for (const uint32_t n : {0u, 7u, 8u, F - 1}) {
                        SCOPED_TRACE(testing::Message() << "mode " << mode << ", kind " << int(kind) << ", -g "
                                                        << interval << ", loop " << loop << ", from " << n);
                        const run_result r = run("decode --start " + std::to_string(n) + " v.komu " +
                                                 (loop ? std::to_string(F + 3) : ""));
                        EXPECT_EQ(r.status, 0);
                        EXPECT_TRUE(r.out_bytes() == frames_from(n, loop ? F + 3 : F - n));
                    }
                }
            }
        }
    }
    const std::string piped = "cat " + path("v.komu").string() + " | " KOMU_BIN " decode --start 5 /dev/stdin 4";
    EXPECT_TRUE(run_result{testproc::run({"/bin/sh", "-c", piped})}.out_bytes() == frames_from(5, 4));
    EXPECT_EQ(run("decode --start 12 v.komu").status, 2);  // frames 0 to 11
    EXPECT_EQ(run("decode --start x v.komu").status, 2);
}

TEST_F(KomuTool, DemoIsDeterministicLoopsAndDecodesWithEveryPayloadKind) {
    ASSERT_EQ(run("demo").status, 0);  // default name demo.komu
    ASSERT_EQ(run("demo -o again.komu").status, 0);
    EXPECT_TRUE(read_bytes(path("demo.komu")) == read_bytes(path("again.komu")));
    EXPECT_EQ(file_count(), 2u);
    testfile::opened_stream st(path("demo.komu").c_str());
    ASSERT_EQ(st.result, 0);
    EXPECT_EQ(st.s.header.width * st.s.header.height, 640 * 480);
    uint32_t kinds[4] = {};
    for (uint32_t i = 0; i < st.s.header.frame_count; ++i) {
        kinds[komu_payload_kind(st.s.index[i].flags)] += 1;
        ASSERT_EQ(komu_decode_next(&st.s), 0) << "frame " << i;
    }
    EXPECT_TRUE(kinds[0] && kinds[1] && kinds[2] && kinds[3]);
    EXPECT_EQ(komu_decode_next(&st.s), 0);  // loops: wraps to frame 0
}

// Flat colour of every 8-bit value: without dithering every pixel shows
// the nearest RGB565 level; with it, the picture's mean is the colour.
TEST(Dithering, NoneTakesTheNearestLevelAndTheOthersKeepTheMean) {
    constexpr uint32_t N = 64;
    std::vector<uint8_t> rgb(N * N * 3), out(N * N * 2);
    std::vector<int32_t> errors;
    for (dither_mode mode : {dither_mode::none, dither_mode::ordered, dither_mode::diffusion}) {
        for (int v = 0; v < 256; ++v) {
            SCOPED_TRACE(testing::Message() << dither_name(mode) << " " << v);
            const int want[3] = {v, 255 - v, (v * 7) % 256};
            for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(want[i % 3]);
            rgb565_from_rgb24(rgb.data(), N * 3, N, N, mode, out.data(), &errors);
            double sum[3] = {};
            for (size_t i = 0; i < N * N; ++i) {
                const int p = out[2 * i] | out[2 * i + 1] << 8, r = p >> 11, g = p >> 5 & 63, b = p & 31;
                const int shown[3] = {r << 3 | r >> 2, g << 2 | g >> 4, b << 3 | b >> 2};
                for (int c = 0; c < 3; ++c) {
                    sum[c] += shown[c];
                    // Levels are at most 9 apart, so the nearest is within 4.
                    ASSERT_TRUE(mode != dither_mode::none || std::abs(shown[c] - want[c]) <= 4);
                }
            }
            for (int c = 0; c < 3 && mode != dither_mode::none; ++c) {
                EXPECT_NEAR(sum[c] / (N * N), want[c], 0.2) << "channel " << c;
            }
        }
    }
}

// Five raw 4 x 3 frames at rates the player would clamp, then cut short.
TEST_F(KomuTool, RawInputKeepsItsTimingAndEveryWholeFrame) {
    const size_t fb = 4 * 3 * 2;
    const bytes in = testfile::picture(4, 3 * 5, 7);
    bytes cut = in;
    cut.resize(cut.size() + 10, 1);  // 10 bytes of a sixth frame
    write_bytes(path("in.raw"), in);
    write_bytes(path("cut.raw"), cut);
    const struct { std::string args, rate, frames, warning; } cases[] = {
        {"-r 2 in.raw", "6 1", "000111222333444", ""},  // each frame 3 times
        {"-r 2000 in.raw", "1000 1", "024", ""},         // every other frame
        {"-r 30000/1001 cut.raw", "30000 1001", "01234", "inside frame 6 (10 of 24 bytes)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const run_result r = run("encode -s 4x3 -o out.komu " + c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err.find("komu: warning: ") == 0, !c.warning.empty()) << r.err;
        EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
        bytes want;
        for (char f : c.frames) want.insert(want.end(), &in[(f - '0') * fb], &in[(f - '0' + 1) * fb]);
        EXPECT_TRUE(run("decode out.komu").out_bytes() == want);
        EXPECT_EQ(fields(run("info out.komu").out, {"fps_num", "fps_den"}), c.rate);
    }
}

// Videos made by ffmpeg: the picture fits 640 x 480 (or --fit) with its
// display aspect kept, the rate is the source's exact one (made playable,
// or the average of a variable one) and the duration is kept within a frame.
TEST_F(KomuTool, AnyVideoKeepsItsAspectRateAndDuration) {
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
    const struct { std::string source, encode, size, rate; double seconds; } cases[] = {
        {"testsrc2=s=320x180:r=25 -t 4 wide.mp4", "wide.mp4", "320 180", "25 1", 4},
        {"testsrc2=s=1280x720:r=30000/1001 -t 1 hd.mp4", "-q hd.mp4", "640 360", "30000 1001", 1},
        {"testsrc2=s=720x576:r=25 -t 0.4 -vf setsar=16/15 pal.mkv", "pal.mkv", "640 480", "25 1", 0.4},
        {"testsrc2=s=160x120:r=2 -t 3 slow.mkv", "slow.mkv", "160 120", "6 1", 3},
        {"testsrc2=s=160x120:r=25 -t 2 small.mkv", "--fit 320x320 --upscale small.mkv", "320 240",
         "25 1", 2},
        {"testsrc2=s=160x120:r=25 -t 2 small.mkv", "--fit 64x64 -r 10 small.mkv", "64 48", "10 1", 2},
        // 40 pictures a second, a step of 1/20 s after every odd one: 26.7 on average
        {"testsrc2=s=160x120:r=40 -t 3 -vf \"setpts='(floor(N/2)*0.075+mod(N,2)*0.05)/TB'\" "
         "-fps_mode vfr vfr.mp4", "vfr.mp4", "160 120", "3200 119", 2.975},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encode);
        ASSERT_EQ(std::system(("cd " + std::string(dir_) + " && ffmpeg -nostdin -v error -y -f lavfi "
                               "-i " + c.source).c_str()), 0);
        const run_result r = run("encode -o out.komu " + c.encode);
        EXPECT_EQ(r.status, 0) << r.err;
        // Not a terminal: no progress line, only the summary (none with -q).
        const bool quiet = c.encode.starts_with("-q");
        EXPECT_EQ(r.err.starts_with("komu: out.komu: "), !quiet);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), quiet ? 0 : 1);
        const std::string info = run("info out.komu").out;
        EXPECT_EQ(fields(info, {"width", "height", "fps_num", "fps_den"}), c.size + " " + c.rate);
        const double frames = std::stod(fields(info, {"frame_count"}));
        const double rate = std::stod(c.rate) / std::stod(c.rate.substr(c.rate.find(' ')));
        EXPECT_NEAR(frames / rate, c.seconds, 1 / rate);
    }
    // The picture itself: the 4:3 source's first frame against ffmpeg's own
    // scaling and conversion of it, channel by channel.
    ASSERT_EQ(run("encode -o out.komu pal.mkv").status, 0);
    ASSERT_EQ(std::system(("cd " + std::string(dir_) + " && ffmpeg -nostdin -v error -i pal.mkv "
                           "-frames:v 1 -vf scale=640:480 -pix_fmt rgb24 -f rawvideo ref.rgb").c_str()), 0);
    const bytes ref = read_bytes(path("ref.rgb")), got = run("decode out.komu 1").out_bytes();
    ASSERT_EQ(ref.size(), size_t{640} * 480 * 3);
    ASSERT_EQ(got.size(), size_t{640} * 480 * 2);
    double error[3] = {};
    for (size_t i = 0; i < size_t{640} * 480; ++i) {
        const int p = got[2 * i] | got[2 * i + 1] << 8;
        const int r = p >> 11, g = (p >> 5) & 63, b = p & 31;  // shown as 8 bits:
        const int c[3] = {r << 3 | r >> 2, g << 2 | g >> 4, b << 3 | b >> 2};
        for (int k = 0; k < 3; ++k) error[k] += std::abs(c[k] - ref[3 * i + size_t(k)]);
    }
    for (double e : error) EXPECT_LT(e / (640 * 480), 6);  // mean per pixel, of 255 (about 3)
}

// The thumbnail is the first frame, scaled to fit SIZE with its aspect kept
// and never enlarged: four flat quadrants stay four flat quadrants.
TEST_F(KomuTool, ThumbnailIsTheFirstFrameScaledToFit) {
    constexpr uint16_t W = 64, H = 48;
    const uint16_t quad[4] = {0xF800, 0x07E0, 0x001F, 0xFFFF};  // channels all or nothing
    bytes frames(size_t{W} * H * 2 * 2, 0);  // the second frame stays black
    for (size_t i = 0; i < size_t{W} * H; ++i) {
        const uint16_t c = quad[(i % W >= W / 2) + 2 * (i / W >= H / 2)];
        frames[2 * i] = uint8_t(c);
        frames[2 * i + 1] = uint8_t(c >> 8);
    }
    bytes file;
    std::string error;
    ASSERT_TRUE(komu_encode({.width = W, .height = H}, frames, &file, &error)) << error;
    write_bytes(path("in.komu"), file);
    for (auto [size, tw, th] : {std::tuple{32, 32u, 24u}, {256, 64u, 48u}, {16, 16u, 12u}}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(run("thumbnail -s " + std::to_string(size) + " in.komu t.png").status, 0);
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, path("t.png").c_str()));
        image.format = PNG_FORMAT_RGB;
        bytes rgb(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
        ASSERT_EQ(image.width, tw);
        ASSERT_EQ(image.height, th);
        for (uint32_t y = 0; y < th; ++y) {
            for (uint32_t x = 0; x < tw; ++x) {
                const uint16_t c = quad[(x >= tw / 2) + 2 * (y >= th / 2)];
                const uint8_t* px = &rgb[(size_t{y} * tw + x) * 3];
                ASSERT_EQ(px[0] | px[1] << 8 | px[2] << 16,
                          ((c >> 11) ? 0xFF : 0) | ((c >> 5 & 63) ? 0xFF00 : 0) | ((c & 31) ? 0xFF0000 : 0))
                    << x << "," << y;
            }
        }
    }
    EXPECT_EQ(run("thumbnail missing.komu t.png").status, 1);
}

TEST_F(KomuTool, RealVideoFromFfmpegRoundTripsBitForBit) {
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
    const std::string make = std::string("cd ") + dir_ +
                             " && ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=640x480"
                             ":rate=30 -frames:v 60 -pix_fmt rgb565le -f rawvideo -y in.raw";
    ASSERT_EQ(std::system(make.c_str()), 0);
    const bytes input = read_bytes(path("in.raw"));
    ASSERT_EQ(input.size(), size_t{60} * KOMU_MAX_FRAME_BYTES);
    for (const std::string options : {"--kind delta-rle -g 15", ""}) {
        ASSERT_EQ(run("encode -s 640x480 " + options + " -o out.komu in.raw").status, 0);
        EXPECT_TRUE(run("decode out.komu").out_bytes() == input) << options;
    }
}

}  // namespace

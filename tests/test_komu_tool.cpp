// The encoder (tools/komu_write) against the reader and the smallest coding,
// the colour reduction, and the komu tool run as a process (KOMU_BIN) in a
// temporary folder: every option round trip, refusals, info and decode of
// hand-built files, the demo, thumbnails, and real video from ffmpeg.
#include <gtest/gtest.h>
#include <png.h>

#include <array>
#include <filesystem>
#include <random>

#include "komu_test_files.h"
#include "komu_write.h"
#include "rgb565.h"

namespace {

namespace fs = std::filesystem;
using namespace testfile;

// The size of the smallest PackBits coding of d, by dynamic programming over
// every split into literals (1..128 elements) and repeats (2..128).
size_t optimal_size(const bytes& d, uint32_t elem) {
    const size_t n = d.size() / elem;
    std::vector<size_t> best(n + 1, SIZE_MAX);
    best[0] = 0;
    for (size_t i = 1; i <= n; ++i) {
        bool equal = true;  // the last k elements are all the same
        for (size_t k = 1; k <= 128 && k <= i; ++k) {
            equal = equal && std::memcmp(&d[(i - k) * elem], &d[(i - 1) * elem], elem) == 0;
            best[i] = std::min(best[i], best[i - k] + 1 + (equal ? 1 : k) * elem);
        }
    }
    return best[n];
}

// Data of n elements of elem bytes in runs of 1..max_run equal elements,
// each byte in 0..alphabet-1 (noise: 1, 256; one colour: 2000, 1), coded:
// it decodes back exactly, within a byte per 256 elements of the smallest.
TEST(PackBitsEncoder, RoundTripsVariedDataWithinAByteOfTheSmallestPer256Elements) {
    std::mt19937 rng(1234);
    for (uint32_t elem : {1u, 2u}) {
        for (uint32_t n : {1u, 2u, 3u, 127u, 128u, 129u, 256u, 257u, 1000u, 1500u}) {
            for (auto [max_run, alphabet] : {std::pair{1u, 256u}, {2000u, 1u}, {2u, 4u}, {5u, 4u}, {300u, 2}}) {
                bytes data, out(n * elem, 0xEE);
                while (data.size() < n * elem) {
                    const uint8_t e[2] = {uint8_t(rng() % alphabet), uint8_t(rng() % alphabet)};
                    for (auto run = 1 + rng() % max_run; run > 0; --run) data.insert(data.end(), e, e + elem);
                }
                data.resize(n * elem);
                SCOPED_TRACE(testing::Message() << elem << " " << n << " " << max_run << " " << alphabet);
                const bytes coded = rle_encode_packbits(data, elem);
                const auto size = uint32_t(coded.size());
                EXPECT_EQ(rle_decode_packbits(coded.data(), size, out.data(), n * elem, elem), 0);
                EXPECT_EQ(out, data);
                EXPECT_LE(coded.size(), optimal_size(data, elem) + n / 256);
            }
        }
    }
    EXPECT_TRUE(rle_encode_packbits({}, 2).empty());
    EXPECT_TRUE(rle_encode_packbits(bytes{1, 2, 3}, 2).empty());  // not whole elements
    EXPECT_TRUE(rle_encode_packbits(bytes{1, 2, 3}, 3).empty());  // elements of 1 or 2 bytes only
}

// What the format cannot hold is refused: no frames or a partial one; more
// than an index holds: KOMU_MAX_INDEXED_FRAMES frames, 4 GiB - 1 bytes of
// data (32-bit offsets); mode 1 has no such limits. Rates outside what the
// player plays are refused as they are, and fitted keeping their timing by
// whole repeats or drops.
TEST(KomuWriter, RefusesWhatTheFormatCannotHoldAndFitsRatesToThePlayer) {
    komu_encode_options o{.width = 10, .height = 5};
    std::string error;
    bytes file;
    EXPECT_FALSE(komu_encode(o, {}, &file, &error));
    EXPECT_FALSE(komu_encode(o, bytes(50 * 2 + 3), &file, &error));
    EXPECT_TRUE(komu_check_size(o, KOMU_MAX_INDEXED_FRAMES, 0xFFFFFFFFull, &error));
    EXPECT_FALSE(komu_check_size(o, KOMU_MAX_INDEXED_FRAMES + 1, 0, &error));
    EXPECT_FALSE(komu_check_size(o, 10, 0x100000000ull, &error));
    EXPECT_TRUE(!error.empty() && error.find('\n') == std::string::npos) << error;
    o.mode = KOMU_MODE_SEQUENTIAL;
    EXPECT_TRUE(komu_check_size(o, KOMU_MAX_INDEXED_FRAMES + 1, 0x100000000ull, &error));
    const struct { uint32_t num, den, want_num, want_den, repeat, keep_every; } rates[] = {
        {30, 1, 30, 1, 1, 1},     {30000, 1001, 30000, 1001, 1, 1}, {5, 1, 5, 1, 1, 1},
        {1000, 1, 1000, 1, 1, 1}, {2, 1, 6, 1, 3, 1},               {1, 10, 5, 1, 50, 1},
        {24, 5, 48, 5, 2, 1},     {2000, 1, 1000, 1, 1, 2},         {3000, 1001, 6000, 1001, 2, 1},
        {2001, 2, 2001, 4, 1, 2}, {0xFFFFFFFF, 1, 0xFFFFFFFF, 4294968, 1, 4294968},
    };
    for (const auto& c : rates) {
        const komu_rate_fit fit = komu_playable_rate(c.num, c.den);
        EXPECT_EQ(std::tuple(fit.num * uint64_t{c.want_den}, fit.repeat, fit.keep_every),
                  std::tuple(c.want_num * uint64_t{fit.den}, c.repeat, c.keep_every)) << c.num << "/" << c.den;
        o = {.width = 1, .height = 1, .fps_num = c.num, .fps_den = c.den};
        EXPECT_EQ(komu_check_options(o, &error), c.repeat == 1 && c.keep_every == 1) << c.num << "/" << c.den;
    }
}

// Pixel i of little-endian RGB565 pictures as a display shows it: red,
// green and blue widened to 8 bits by repeating their top bits.
std::array<int, 3> shown(const bytes& picture, size_t i) {
    const int p = picture[2 * i] | picture[2 * i + 1] << 8, r = p >> 11, g = p >> 5 & 63, b = p & 31;
    return {r << 3 | r >> 2, g << 2 | g >> 4, b << 3 | b >> 2};
}

// Flat colour of every 8-bit value: without dithering every pixel shows
// the nearest RGB565 level; with it, the picture's mean is the colour.
TEST(Dithering, NoneTakesTheNearestLevelAndTheOthersKeepTheMean) {
    constexpr uint32_t N = 64;
    bytes rgb(N * N * 3), out(N * N * 2);
    std::vector<int32_t> errors;
    for (dither_mode mode : {dither_mode::none, dither_mode::ordered, dither_mode::diffusion}) {
        for (int v = 0; v < 256; ++v) {
            SCOPED_TRACE(testing::Message() << dither_name(mode) << " " << v);
            const int want[3] = {v, 255 - v, (v * 7) % 256};
            for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(want[i % 3]);
            rgb565_from_rgb24(rgb.data(), N * 3, N, N, mode, out.data(), &errors);
            double sum[3] = {};
            for (size_t i = 0; i < N * N * 3; ++i) {
                sum[i % 3] += shown(out, i / 3)[i % 3];
                // Levels are at most 9 apart, so the nearest is within 4.
                ASSERT_TRUE(mode != dither_mode::none || std::abs(shown(out, i / 3)[i % 3] - want[i % 3]) <= 4);
            }
            for (int c = 0; c < 3 && mode != dither_mode::none; ++c) EXPECT_NEAR(sum[c] / N / N, want[c], 0.2);
        }
    }
}

bytes as_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

// The values of komu info's "name   value" lines with these names, joined by
// spaces; "-" for a missing line.
std::string fields(const std::string& info, std::initializer_list<std::string> names) {
    std::string out;
    for (const std::string& name : names) {
        const size_t at = ("\n" + info).find("\n" + name + " ");
        const size_t start = info.find_first_not_of(' ', at + name.size());
        out += ' ' + (at == std::string::npos ? "-" : info.substr(start, info.find('\n', start) - start));
    }
    return out.substr(1);
}

// Each test works in a folder of its own, where komu runs with standard
// input from a file.
class KomuTool : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(mkdtemp(dir_) != nullptr && chdir(dir_) == 0); }
    void TearDown() override { EXPECT_EQ(chdir("/"), 0), fs::remove_all(dir_); }
    static size_t file_count() { return size_t(std::distance(fs::directory_iterator("."), {})); }
    static run_result komu(const std::string& args, const std::string& in = "/dev/null") {
        return run("'" KOMU_BIN "' " + args + " <" + in);
    }
    char dir_[32] = "/tmp/komu_tool_XXXXXX";
};

// komu encode with every mode, payload kind and loop flag, key intervals, from
// a file to -o or from standard input to standard output; then decode --start N
// for more frames than are left (each row its own N: 0, 1, a key frame, just
// after one, the last; a looping file wraps), and info's header fields and
// counts of raw keys, rle keys, raw deltas and rle deltas (-g 3 over 12 frames:
// keys at 0, 3, 6 and 9, where one frame late makes three and one frame early
// six). 12 frames of 37 x 23 give each payload kind a reason to win: noise, a
// repeat, one changed byte, flat colour, stripes (one colour per row).
// Automatic codes noise as raw keys, flat colour as rle keys, the rest as rle
// deltas (the stripes' mask after flat colour in byte runs, one per row);
// without -g delta kinds code frame 0 as a delta. Standard input ends 10 bytes
// into a 13th frame: a warning, every whole frame kept. Rates the player would
// clamp keep their timing: each frame written three times, or every other.
TEST_F(KomuTool, EncodeDecodeAndInfoAgreeForEveryModeKindKeyIntervalRateAndLoop) {
    constexpr uint32_t F = 12, FB = 37 * 23 * 2;
    bytes frames, f;
    for (uint32_t n = 0; n < F; ++n) {
        if (n % 5 == 0) f = picture(37, 23, n);
        if (n % 5 == 2) f[n * 7] ^= 0x5A;
        for (size_t i = 0; n % 5 > 2 && i < f.size(); ++i) f[i] = uint8_t(n % 5 == 3 ? n : i / 74);
        frames.insert(frames.end(), f.begin(), f.end());
    }
    write_file("in.raw", frames);
    frames.resize(frames.size() + 10, 1);
    write_file("cut.raw", frames);
    struct row { std::string mode, kind, g; bool loop; uint32_t start; std::string counts, r = "24000/1001",
                 fps = "24000 1001"; uint32_t repeat = 1, keep = 1; };
    const row rows[] = {
        {"1", "raw", "", false, 11, "12 0 0 0"},       {"1", "auto", "", true, 5, "12 0 0 0"},
        {"2", "raw", "", true, 8, "12 0 0 0"},         {"3", "rle", "", false, 0, "0 12 0 0"},
        {"2", "delta", "3", false, 6, "4 0 8 0"},      {"3", "delta", "", true, 1, "0 0 12 0"},
        {"3", "delta-rle", "7", false, 8, "0 2 0 10"}, {"2", "delta-rle", "", true, 11, "0 0 0 12"},
        {"2", "raw", "", false, 4, "36 0 0 0", "2", "6 1", 3}, {"2", "auto", "4", false, 9, "3 2 0 7"},
        {"3", "raw", "", false, 1, "6 0 0 0", "2000", "1000 1", 1, 2}, {"3", "auto", "", true, 0, "3 2 0 7"},
    };
    for (const row& r : rows) {
        const std::string args = "encode -s 37x23 --mode " + r.mode + " --kind " + r.kind +
                                 (r.g.empty() ? "" : " -g " + r.g) +
                                 (r.loop ? " --loop -o out.komu in.raw" : " -r " + r.r);
        SCOPED_TRACE(args);
        const run_result e = komu(args, r.loop ? "/dev/null" : "cut.raw");
        ASSERT_EQ(e.status, 0);
        EXPECT_EQ(e.err.find("komu: warning: the input ends inside frame 13 (10 of 1702 bytes)") == 0, !r.loop);
        if (!r.loop) write_file("out.komu", as_bytes(e.out));
        bytes want;  // output frame k is input frame k * keep / repeat
        const uint32_t total = F * r.repeat / r.keep;
        for (uint32_t k = r.start; k < (r.loop ? r.start + 15 : std::min(total, r.start + 15)); ++k) {
            const auto at = frames.begin() + k % total * r.keep / r.repeat * FB;
            want.insert(want.end(), at, at + FB);
        }
        const run_result d = komu("decode --start " + std::to_string(r.start) + " out.komu 15");
        EXPECT_TRUE(d.status == 0 && as_bytes(d.out) == want);
        EXPECT_EQ(fields(komu("info out.komu").out, {"mode", "width", "height", "flags", "fps_num", "fps_den",
                                                     "raw_key", "rle_key", "raw_delta", "rle_delta"}),
                  r.mode + (r.loop ? " 37 23 0x01 (loop) 30 1 " : " 37 23 0x00 " + r.fps + " ") + r.counts);
    }
    const run_result piped = run("cat out.komu | '" KOMU_BIN "' decode --start 5 /dev/stdin 4");
    EXPECT_TRUE(as_bytes(piped.out) == bytes(&frames[5 * FB], &frames[9 * FB]));
    // The last OUT (mode 3, auto, looping) is what the library writes, and was
    // created like any new file, not with mkstemp's 0600.
    bytes file;
    std::string error;
    frames.resize(F * FB);
    EXPECT_TRUE(komu_encode({.width = 37, .height = 23, .loop = true, .mode = 3}, frames, &file, &error));
    EXPECT_TRUE(file == read_file("out.komu"));
    EXPECT_EQ(fs::status("out.komu").permissions(), fs::status("in.raw").permissions());
}

// Status 2 for bad arguments, 1 for bad files or input; either way one line
// "komu: ..." on standard error and nothing else: no output, no OUT, no
// temporary, an existing OUT as it was. Interrupted (Ctrl-C) too.
TEST_F(KomuTool, RefusalsGiveOneErrorLineAndLeaveNoFileBehind) {
    EXPECT_EQ(komu("").status, 2);
    EXPECT_NE(komu("--help").out.find("Usage: komu"), std::string::npos);
    EXPECT_EQ(komu("--version").out, "komu " KOMU_VERSION "\n");
    write_file("partial.raw", bytes(200 * 3 + 100, 9));  // 3.5 frames of 10 x 10
    write_file("empty.raw", {});
    // 1 x 1 frames, one more than an index holds: a small input.
    write_file("many.raw", bytes((size_t{KOMU_MAX_INDEXED_FRAMES} + 1) * 2, 0x3C));
    // old.komu: a file the player opens; magic.komu one it refuses.
    const bytes one = sequential(header(2, 1, KOMU_MODE_SEQUENTIAL, 1), {bytes(4)});
    bytes magic = one;
    magic[3] = 'X';
    write_file("old.komu", one);
    write_file("magic.komu", magic);
    const std::pair<int, std::vector<std::string>> cases[] = {
        {2, {"frobnicate", "decode a.komu ten", "encode -s 8by8", "encode -s 8x8 --kind fast",
             "encode -s 8x8 -r 30/0", "encode -s 8x8 --mode 4", "encode -s 8x8 --mode 1 --kind rle",
             "encode -s 641x1 in.raw", "encode -s 1x481 in.raw", "encode -s 0x5 in.raw",
             "encode -s 8x8 --fit 8x8 in.raw", "encode --fit 641x480 in.mp4", "encode --dither x in.mp4",
             "decode --start 1 old.komu", "decode --start x old.komu"}},
        {1, {"encode -s 20x20 -o out.komu partial.raw", "encode -s 10x10 -o out.komu empty.raw",
             "encode -s 10x10 -o out.komu missing.raw", "encode -s 1x1 -o out.komu many.raw",
             "encode -s 10x10 -o no/such/dir/out.komu partial.raw", "encode -o out.komu old.komu",
             "encode -s 10x10 -o old.komu empty.raw", "encode -o old.komu missing.mp4",
             "info magic.komu", "info missing.komu", "decode magic.komu", "decode missing.komu"}}};
    for (const auto& [status, list] : cases) {
        for (const std::string& args : list) {
            SCOPED_TRACE(args);
            run_result r = komu(args);
            EXPECT_EQ(r.status, status);
            if (args.starts_with("encode -s 20x20")) {  // less than a frame: a warning first
                EXPECT_TRUE(r.err.starts_with("komu: warning: the input ends inside frame 1 "));
                r.err.erase(0, r.err.find('\n') + 1);
            }
            EXPECT_TRUE(r.err.starts_with("komu: ") && r.err.find('\n') == r.err.size() - 1) << r.err;
            EXPECT_TRUE(r.out.empty());
            EXPECT_EQ(file_count(), 5u);  // the inputs only: no OUT, no temporary
        }
    }
    EXPECT_TRUE(read_file("old.komu") == one);
    // Interrupted while it waits for input, once its temporary exists. The
    // input is a FIFO held open by the shell, which nothing outlives (a writer
    // process would keep the output pipe open).
    EXPECT_EQ(run("mkfifo in; '" KOMU_BIN "' encode -s 8x8 -o out.komu <in & exec 3>in; for i in $(seq 300);"
                  " do ls out.komu.tmp* >/dev/null 2>&1 && break; sleep 0.1; done;"
                  " kill -INT $!; wait $!; s=$?; rm in; exit $s").status, 128 + SIGINT);
    EXPECT_EQ(file_count(), 5u);
}

// gaps.komu: 2 x 1, 25 fps, 4 extra header bytes; one entry of each kind
// (flags with meaningless bits set), gaps of 2 and 7 bytes, 3 bytes after
// the last. Then four 2 x 1 raw keys: as they are, with entry 2 moved back,
// entry 3 past the end, entry 0 a byte short, at 2 fps; in mode 1, cut.
TEST_F(KomuTool, InfoSaysInWordsWhereThePlayerStopsAndDecodeStopsThere) {
    komu_header h = header(2, 1, KOMU_MODE_INDEXED_ALT, 4);
    h.fps_num = 25;
    h.header_size = KOMU_HEADER_BYTES + 4;
    bytes gaps = indexed(h, {{KOMU_FRAME_DELTA_RLE, bytes(4)}, {KOMU_FRAME_RLE16 | 0x100, bytes{0xFF, 0, 0}, 2},
                             {KOMU_FRAME_DELTA | KOMU_FRAME_RLE16, bytes(4)},
                             {KOMU_FRAME_DELTA | KOMU_FRAME_DELTA_RLE, bytes{0xFD, 0}, 7}});
    gaps.resize(gaps.size() + 3);
    const bytes four = picture(2, 4, 1);
    std::vector<payload> frames;
    for (int i = 0; i < 4; ++i) frames.push_back({0, bytes(&four[i * 4], &four[i * 4 + 4])});
    const auto edit = [&](uint32_t entry, uint32_t offset, uint32_t size, uint8_t fps = 30) {
        bytes e = indexed(header(2, 1, KOMU_MODE_INDEXED, 4), frames);
        const uint32_t at[2] = {offset, size};
        std::memcpy(&e[KOMU_HEADER_BYTES + entry * KOMU_ENTRY_BYTES], at, 8);
        e[16] = fps;  // fps_num
        return e;
    };
    const struct { std::string file; bytes content; std::string summary, error; } cases[] = {
        {"gaps.komu", gaps, "4 at 25/1 fps, 0.16 s, played once", ""},
        {"good.komu", edit(0, 0, 4), "key frames:   4, every frame\n", ""},
        {"order.komu", edit(2, 6, 4), "raw key (16 B)", "frame 3 cannot be decoded: it overlaps frame 2 (its "
         "payload starts at 6, the one before ends at 8): playback stops after frame 2"},
        {"long.komu", edit(3, 12, 40), "", "frame 4 cannot be decoded: its payload ends at byte 128, past "
         "the end of the file (92 bytes): playback stops after frame 3"},
        {"short.komu", edit(0, 0, 3), "", "frame 1 cannot be decoded: its payload is 3 bytes, a raw frame "
         "needs 4: cinepane refuses to start"},
        {"slow.komu", edit(0, 0, 4, 2), "2/1 fps: outside the 5..1000 the player keeps, so it plays at 5 "
         "fps, 2.50 times too fast", ""},
        {"cut.komu", sequential(header(2, 1, 1, 5), {four, {1}}), "mode:         sequential (1)",
         "frame 5 cannot be decoded: the file ends inside it: playback stops after frame 4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        write_file(c.file, c.content);
        const run_result r = komu("info " + c.file);
        EXPECT_NE(r.out.find(c.summary), std::string::npos) << r.out;
        EXPECT_EQ(r.status, c.error.empty() ? 0 : 1);
        EXPECT_EQ(r.err, c.error.empty() ? "" : "komu: " + c.file + ": " + c.error + "\n");
    }
    EXPECT_EQ(fields(komu("info gaps.komu").out, {"magic", "mode", "frame_count", "frame_interval_us",
                                                  "data_offset", "file_size", "raw_key", "rle_key", "raw_delta",
                                                  "rle_delta", "payload_bytes", "gap_bytes", "trailing_bytes"}),
              "0x4B4D5500 3 4 40000 80 105 1 1 1 1 13 9 3");
    const run_result bad = komu("decode order.komu");
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(as_bytes(bad.out) == bytes(four.begin(), four.begin() + 8));
    EXPECT_EQ(bad.err, "komu: order.komu: " + cases[2].error.substr(0, cases[2].error.find("):") + 1) + "\n");
}

// The demo: the same file each time, looping, every payload kind in it and
// every frame decodable (info's status).
TEST_F(KomuTool, DemoIsDeterministicLoopsAndHoldsEveryPayloadKind) {
    ASSERT_EQ(komu("demo").status, 0);  // default name demo.komu
    ASSERT_EQ(komu("demo -o again.komu").status, 0);
    EXPECT_TRUE(read_file("demo.komu") == read_file("again.komu"));
    EXPECT_EQ(file_count(), 2u);
    const run_result info = komu("info demo.komu");
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(fields(info.out, {"width", "height", "flags"}), "640 480 0x01 (loop)");
    const std::string counts = fields(info.out, {"raw_key", "rle_key", "raw_delta", "rle_delta"});
    EXPECT_EQ((" " + counts + " ").find(" 0 "), std::string::npos) << counts;
}

// Videos made by ffmpeg: the picture fits 640 x 480 (or --fit) with its
// display aspect kept, the rate is the source's exact one (made playable,
// or the average of a variable one) and the duration is kept within a frame.
// The picture itself (the last case's) against ffmpeg's own scaling.
TEST_F(KomuTool, AnyVideoKeepsItsAspectRateDurationAndPicture) {
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
    const auto ffmpeg = [&](const std::string& a) { return run("ffmpeg -nostdin -v error -y " + a).status; };
    const struct { std::string source, encode, size, rate; double seconds; } cases[] = {
        {"testsrc2=s=320x180:r=25 -t 4 wide.mp4", "wide.mp4", "320 180", "25 1", 4},
        {"testsrc2=s=1280x720:r=30000/1001 -t 1 hd.mp4", "-q hd.mp4", "640 360", "30000 1001", 1},
        {"testsrc2=s=160x120:r=2 -t 3 slow.mkv", "slow.mkv", "160 120", "6 1", 3},
        {"testsrc2=s=160x120:r=25 -t 2 small.mkv", "--fit 320x320 --upscale small.mkv", "320 240", "25 1", 2},
        {"testsrc2=s=160x120:r=25 -t 2 small.mkv", "--fit 64x64 -r 10 small.mkv", "64 48", "10 1", 2},
        // 40 pictures a second, a step of 1/20 s after every odd one: 26.7 on average
        {"testsrc2=s=160x120:r=40 -t 3 -vf \"setpts='(floor(N/2)*0.075+mod(N,2)*0.05)/TB'\" "
         "-fps_mode vfr vfr.mp4", "vfr.mp4", "160 120", "3200 119", 2.975},
        {"testsrc2=s=720x576:r=25 -t 0.4 -vf setsar=16/15 pal.mkv", "pal.mkv", "640 480", "25 1", 0.4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encode);
        ASSERT_EQ(ffmpeg("-f lavfi -i " + c.source), 0);
        const run_result r = komu("encode -o out.komu " + c.encode);
        EXPECT_EQ(r.status, 0) << r.err;
        // Not a terminal: no progress line, only the summary (none with -q).
        const bool quiet = c.encode.starts_with("-q");
        EXPECT_EQ(r.err.starts_with("komu: out.komu: "), !quiet);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), quiet ? 0 : 1);
        const std::string info = komu("info out.komu").out;
        EXPECT_EQ(fields(info, {"width", "height", "fps_num", "fps_den"}), c.size + " " + c.rate);
        const double rate = std::stod(c.rate) / std::stod(c.rate.substr(c.rate.find(' ')));
        EXPECT_NEAR(std::stod(fields(info, {"frame_count"})) / rate, c.seconds, 1 / rate);
    }
    ASSERT_EQ(ffmpeg("-i pal.mkv -frames:v 1 -vf scale=640:480 -pix_fmt rgb24 -f rawvideo ref.rgb"), 0);
    const bytes ref = read_file("ref.rgb"), got = as_bytes(komu("decode out.komu 1").out);
    ASSERT_EQ(ref.size(), size_t{640} * 480 * 3);
    ASSERT_EQ(got.size(), size_t{640} * 480 * 2);
    double error[3] = {};
    for (size_t i = 0; i < ref.size(); ++i) error[i % 3] += std::abs(shown(got, i / 3)[i % 3] - ref[i]);
    for (double e : error) EXPECT_LT(e / (640 * 480), 6);  // mean per pixel, of 255 (about 3)
}

// The thumbnail is the first frame, scaled to fit SIZE with its aspect kept
// and never enlarged: four flat quadrants, each channel all or nothing, stay
// four flat quadrants.
TEST_F(KomuTool, ThumbnailIsTheFirstFrameScaledToFit) {
    constexpr uint16_t W = 64, H = 48;
    const uint16_t quad[4] = {0xF800, 0x07E0, 0x001F, 0xFFFF}, channels[3] = {0xF800, 0x07E0, 0x001F};
    bytes frames(size_t{W} * H * 2 * 2, 0), file;  // the second frame stays black
    for (size_t i = 0; i < size_t{W} * H; ++i) {
        const uint16_t c = quad[(i % W >= W / 2) + 2 * (i / W >= H / 2)];
        frames[2 * i] = uint8_t(c), frames[2 * i + 1] = uint8_t(c >> 8);
    }
    std::string error;
    ASSERT_TRUE(komu_encode({.width = W, .height = H}, frames, &file, &error)) << error;
    write_file("in.komu", file);
    for (auto [size, tw, th] : {std::tuple{32, 32u, 24u}, {256, 64u, 48u}, {16, 16u, 12u}}) {
        ASSERT_EQ(komu("thumbnail -s " + std::to_string(size) + " in.komu t.png").status, 0);
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, "t.png"));
        image.format = PNG_FORMAT_RGB;
        bytes rgb(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
        ASSERT_EQ(std::pair(image.width, image.height), std::pair(tw, th)) << size;
        for (size_t i = 0; i < size_t{tw} * th * 3; ++i) {
            const uint16_t c = quad[(i / 3 % tw >= tw / 2) + 2 * (i / 3 / tw >= th / 2)];
            ASSERT_EQ(rgb[i], (c & channels[i % 3]) ? 255 : 0) << size << ": byte " << i;
        }
    }
    EXPECT_EQ(komu("thumbnail missing.komu t.png").status, 1);
}

}  // namespace

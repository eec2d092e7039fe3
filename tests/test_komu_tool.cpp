// Tests of the komu tool, run as a process (KOMU_BIN) in a temporary folder:
// encode/decode round trips, encode's refusals, decode of a damaged file,
// info on hand-built files, the demo, and real video from ffmpeg.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "komu.h"
#include "komu_write.h"

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<uint8_t>;

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

bytes read_bytes(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), {});
}

void write_bytes(const fs::path& path, const bytes& data) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// Lines of text.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// "name value..." lines of komu info, by name.
std::map<std::string, std::string> fields_of(const std::string& text) {
    std::map<std::string, std::string> fields;
    for (const std::string& line : lines_of(text)) {
        const size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        const size_t value = line.find_first_not_of(' ', space);
        fields[line.substr(0, space)] = value == std::string::npos ? "" : line.substr(value);
    }
    return fields;
}

// Each test gets its own folder; komu runs in it with stdin from a file.
class KomuTool : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "komu_tool_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path path(const std::string& name) const { return dir_ / name; }

    run_result run(const std::string& args, const std::string& stdin_name = "") const {
        const std::string in = stdin_name.empty() ? "/dev/null" : path(stdin_name).string();
        const std::string cmd = "cd " + quoted(dir_.string()) + " && " + quoted(KOMU_BIN) + " " +
                                args + " <" + quoted(in) + " >" + quoted(path(".out").string()) +
                                " 2>" + quoted(path(".err").string());
        const int raw = std::system(cmd.c_str());
        run_result r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        const bytes out = read_bytes(path(".out"));
        const bytes err = read_bytes(path(".err"));
        r.out.assign(out.begin(), out.end());
        r.err.assign(err.begin(), err.end());
        fs::remove(path(".out"));
        fs::remove(path(".err"));
        return r;
    }

    // Names in the folder, less the given ones.
    std::vector<std::string> other_files(std::initializer_list<std::string> known) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            const std::string name = entry.path().filename().string();
            if (std::find(known.begin(), known.end(), name) == known.end()) names.push_back(name);
        }
        return names;
    }

    fs::path dir_;
};

// One "komu: ..." line: what every error must look like.
void expect_one_error_line(const run_result& r) {
    const std::vector<std::string> lines = lines_of(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0].rfind("komu: ", 0), 0u) << r.err;
}

// Frames of w x h that exercise every payload kind: a gradient that shifts,
// repeats, a moving box, noise, and flat colour.
bytes test_frames(uint32_t w, uint32_t h, uint32_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    const uint32_t fb = w * h * 2;
    bytes frames;
    bytes f(fb);
    for (uint32_t n = 0; n < count; ++n) {
        switch (n % 6) {
            case 0:  // gradient, shifted per frame
                for (uint32_t i = 0; i < fb; ++i) f[i] = static_cast<uint8_t>(i / 2 % w + n);
                break;
            case 1:  // the same picture again
                break;
            case 2:  // a small box moved
                for (uint32_t y = n % h; y < std::min(h, n % h + 4); ++y) {
                    for (uint32_t x = 0; x < std::min(w, 5u); ++x) f[(y * w + x) * 2] ^= 0xA5;
                }
                break;
            case 3:  // noise
                for (uint8_t& b : f) b = static_cast<uint8_t>(rng());
                break;
            case 4:  // flat
                std::fill(f.begin(), f.end(), static_cast<uint8_t>(n * 17));
                break;
            case 5:  // a single changed byte
                f[rng() % fb] ^= 0x5A;
                break;
        }
        frames.insert(frames.end(), f.begin(), f.end());
    }
    return frames;
}

TEST_F(KomuTool, UsageVersionAndBadArguments) {
    run_result r = run("");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Usage: komu"), std::string::npos);

    r = run("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("komu encode -s WxH"), std::string::npos);
    EXPECT_TRUE(r.err.empty());

    r = run("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("komu [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << r.out;

    for (const char* bad :
         {"frobnicate", "encode -s 8x8 --colour red", "encode -s", "decode", "decode a.komu 1 2",
          "decode a.komu ten", "info", "encode -s 8by8", "encode -s 8x8 -r 0",
          "encode -s 8x8 --kind fast", "encode -s 8x8 --mode 4",
          "encode -s 8x8 --mode 1 --kind rle", "encode -s 8x8 -g x", "demo extra"}) {
        SCOPED_TRACE(bad);
        r = run(bad);
        EXPECT_EQ(r.status, 2);
        expect_one_error_line(r);
    }
}

TEST_F(KomuTool, EncodeThenDecodeGivesTheInputBackForEveryModeKindAndKeyInterval) {
    const uint32_t w = 37, h = 23, count = 14;
    const bytes frames = test_frames(w, h, count, 11);
    write_bytes(path("in.raw"), frames);
    struct combo {
        const char* mode;
        const char* kind;
    };
    const combo combos[] = {{"1", "auto"}, {"1", "raw"},   {"2", "auto"},      {"2", "raw"},
                            {"2", "rle"},  {"2", "delta"}, {"2", "delta-rle"}, {"3", "auto"},
                            {"3", "raw"},  {"3", "rle"},   {"3", "delta"},     {"3", "delta-rle"}};
    for (const combo& c : combos) {
        for (const char* g : {"", " -g 4"}) {
            const std::string args = std::string("encode -s 37x23 --mode ") + c.mode + " --kind " +
                                     c.kind + g + " -o out.komu in.raw";
            SCOPED_TRACE(args);
            run_result r = run(args);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(r.out.empty());
            r = run("decode out.komu");
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(bytes(r.out.begin(), r.out.end()) == frames);
        }
    }
}

TEST_F(KomuTool, EncodeWritesWhatTheLibraryEncoderWrites) {
    const bytes frames = test_frames(16, 9, 12, 3);
    write_bytes(path("in.raw"), frames);
    komu_encode_options o;
    o.width = 16;
    o.height = 9;
    o.fps_num = 24000;
    o.fps_den = 1001;
    o.loop = true;
    o.key_interval = 5;
    bytes expected;
    std::string error;
    ASSERT_TRUE(komu_encode(o, frames, &expected, &error)) << error;

    // From a named file to -o, and from standard input to standard output.
    run_result r = run("encode -s 16x9 -r 24000/1001 --loop -g 5 -o out.komu in.raw");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_bytes(path("out.komu")) == expected);
    r = run("encode -s 16x9 -r 24000/1001 --loop -g 5", "in.raw");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(bytes(r.out.begin(), r.out.end()) == expected);
    // The file is readable by others like any other new file (not mkstemp's 0600).
    EXPECT_NE(fs::status(path("out.komu")).permissions() & fs::perms::owner_read, fs::perms::none);
    EXPECT_EQ(fs::status(path("out.komu")).permissions() & fs::perms::group_read,
              fs::status(path("in.raw")).permissions() & fs::perms::group_read);
}

TEST_F(KomuTool, KeyIntervalShowsInThePayloadCounts) {
    write_bytes(path("in.raw"), test_frames(8, 8, 10, 4));
    ASSERT_EQ(run("encode -s 8x8 --kind delta -g 3 -o out.komu in.raw").status, 0);
    run_result r = run("info out.komu");
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> f = fields_of(r.out);
    EXPECT_EQ(f["raw_key"], "4");  // frames 0, 3, 6, 9
    EXPECT_EQ(f["raw_delta"], "6");
    EXPECT_EQ(f["rle_key"], "0");
    EXPECT_EQ(f["rle_delta"], "0");

    ASSERT_EQ(run("encode -s 8x8 --kind delta-rle -o out.komu in.raw").status, 0);
    f = fields_of(run("info out.komu").out);
    EXPECT_EQ(f["rle_delta"], "10");  // frame 0 too: its reference is all zeros
}

TEST_F(KomuTool, DecodePastTheEndWrapsWhenLoopingAndStopsOtherwise) {
    const uint32_t fb = 12 * 7 * 2, count = 5;
    const bytes frames = test_frames(12, 7, count, 9);
    write_bytes(path("in.raw"), frames);
    for (const char* kind : {"auto", "delta", "delta-rle"}) {
        SCOPED_TRACE(kind);
        // Looping: 12 frames are the 5, the 5 again, then frames 0 and 1.
        ASSERT_EQ(run(std::string("encode -s 12x7 --loop --kind ") + kind + " -o loop.komu in.raw")
                      .status,
                  0);
        run_result r = run("decode loop.komu 12");
        ASSERT_EQ(r.status, 0) << r.err;
        bytes expected = frames;
        expected.insert(expected.end(), frames.begin(), frames.end());
        expected.insert(expected.end(), frames.begin(), frames.begin() + 2 * fb);
        EXPECT_TRUE(bytes(r.out.begin(), r.out.end()) == expected);

        // Not looping: stops after frame 4, status 0.
        ASSERT_EQ(run(std::string("encode -s 12x7 --kind ") + kind + " -o once.komu in.raw").status,
                  0);
        r = run("decode once.komu 12");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(bytes(r.out.begin(), r.out.end()) == frames);
        r = run("decode once.komu 2");
        EXPECT_TRUE(bytes(r.out.begin(), r.out.end()) ==
                    bytes(frames.begin(), frames.begin() + 2 * fb));
    }
}

TEST_F(KomuTool, EncodeRefusesBadInputAndLeavesNoFileBehind) {
    const uint32_t fb = 10 * 10 * 2;
    write_bytes(path("partial.raw"), bytes(fb * 3 + fb / 2, 9));
    write_bytes(path("empty.raw"), {});
    write_bytes(path("old.komu"), {'o', 'l', 'd'});
    const std::initializer_list<std::string> inputs = {"partial.raw", "empty.raw", "old.komu"};

    struct refusal {
        std::string args;
        int status;
    };
    const refusal cases[] = {
        {"encode -s 10x10 -o out.komu partial.raw", 1},
        {"encode -s 10x10 -o out.komu empty.raw", 1},
        {"encode -s 10x10 -o out.komu missing.raw", 1},
        {"encode -s 641x1 -o out.komu partial.raw", 2},
        {"encode -s 1x481 -o out.komu partial.raw", 2},
        {"encode -s 0x10 -o out.komu partial.raw", 2},
        {"encode -s 10x10 -o no/such/folder/out.komu partial.raw", 1},
        // A failure never touches an existing OUT.
        {"encode -s 10x10 -o old.komu partial.raw", 1},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.args);
        const run_result r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        expect_one_error_line(r);
        EXPECT_TRUE(r.out.empty());
        EXPECT_EQ(other_files(inputs), std::vector<std::string>{});
    }
    EXPECT_TRUE(read_bytes(path("old.komu")) == bytes({'o', 'l', 'd'}));
    // From standard input too: the partial frame is found at the end.
    const run_result r = run("encode -s 10x10 -o out.komu", "partial.raw");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("frame 3"), std::string::npos) << r.err;
    EXPECT_EQ(other_files(inputs), std::vector<std::string>{});
}

TEST_F(KomuTool, EncodeRefusesMoreFramesThanAnIndexHolds) {
    // 1 x 1 frames are 2 bytes: one more than the index limit is a small input.
    write_bytes(path("many.raw"), bytes((size_t{KOMU_MAX_INDEXED_FRAMES} + 1) * 2, 0x3C));
    run_result r = run("encode -s 1x1 -o out.komu many.raw");
    EXPECT_EQ(r.status, 1);
    expect_one_error_line(r);
    EXPECT_EQ(other_files({"many.raw"}), std::vector<std::string>{});
    // Mode 1 has no index, so no such limit.
    r = run("encode -s 1x1 --mode 1 -o out.komu many.raw");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fields_of(run("info out.komu").out)["frame_count"],
              std::to_string(KOMU_MAX_INDEXED_FRAMES + 1));
}

// ---- Hand-built files --------------------------------------------------------

komu_header make_header(uint16_t w, uint16_t h, uint32_t frames, uint16_t mode) {
    komu_header hd{};
    hd.magic = KOMU_MAGIC;
    hd.width = w;
    hd.height = h;
    hd.pixel_format = KOMU_PIXEL_RGB565;
    hd.mode = mode;
    hd.frame_count = frames;
    hd.fps_num = 30;
    hd.fps_den = 1;
    hd.header_size = KOMU_HEADER_BYTES;
    return hd;
}

// Header, extra header bytes up to header_size, index, data.
bytes build_file(const komu_header& h, const std::vector<komu_frame_entry>& index,
                 const bytes& data) {
    bytes file;
    komu_append_prefix(h, {}, &file);
    file.resize(h.header_size, 0xAB);
    const auto* entries = reinterpret_cast<const uint8_t*>(index.data());
    file.insert(file.end(), entries, entries + index.size() * KOMU_ENTRY_BYTES);
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

TEST_F(KomuTool, DecodeOfADamagedFrameWritesTheFramesBeforeItAndNamesItsPosition) {
    // 2 x 2 raw key frames (8 bytes each); entry 3 declares 7 bytes.
    const uint32_t fb = 8;
    bytes data(5 * fb);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    std::vector<komu_frame_entry> index;
    for (uint32_t i = 0; i < 5; ++i) index.push_back({i * fb, i == 3 ? fb - 1 : fb, 0});
    write_bytes(path("bad.komu"), build_file(make_header(2, 2, 5, 2), index, data));
    run_result r = run("decode bad.komu");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(bytes(r.out.begin(), r.out.end()) == bytes(data.begin(), data.begin() + 3 * fb));
    expect_one_error_line(r);
    EXPECT_NE(r.err.find("position 3"), std::string::npos) << r.err;

    // Looping, 3 frames, a run-length key at entry 2 that runs past its
    // payload: positions 0 and 1 are written, position 2 is named.
    index = {{0, fb, 0}, {fb, fb, 0}, {2 * fb, fb, KOMU_FRAME_RLE16}};
    komu_header looping = make_header(2, 2, 3, 2);
    looping.flags = KOMU_LOOP;
    bytes rle_bad(data.begin(), data.begin() + 3 * fb);
    rle_bad[2 * fb] = 0x7F;  // a literal of 128 pixels: runs past the payload
    write_bytes(path("loop.komu"), build_file(looping, index, rle_bad));
    r = run("decode loop.komu 10");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.size(), 2 * fb);
    EXPECT_NE(r.err.find("position 2"), std::string::npos) << r.err;
}

TEST_F(KomuTool, InfoPrintsTheHeaderKindsPayloadAndGapBytes) {
    // 2 x 1 pixels (4-byte frames), 25 fps, 4 extra header bytes; one entry
    // of each kind, with gaps of 2 and 7 bytes and 3 bytes after the last.
    komu_header h = make_header(2, 1, 4, KOMU_MODE_INDEXED_ALT);
    h.fps_num = 25;
    h.header_size = KOMU_HEADER_BYTES + 4;
    const std::vector<komu_frame_entry> index = {
        {0, 4, 0},
        {6, 3, KOMU_FRAME_RLE16 | 0x100},  // higher bits ignored
        {9, 4, KOMU_FRAME_DELTA},
        {20, 2, KOMU_FRAME_DELTA | KOMU_FRAME_DELTA_RLE},
    };
    const bytes file = build_file(h, index, bytes(25, 0));
    write_bytes(path("gaps.komu"), file);
    const run_result r = run("info gaps.komu");
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> f = fields_of(r.out);
    EXPECT_EQ(f["magic"], "0x4B4D5500");
    EXPECT_EQ(f["width"], "2");
    EXPECT_EQ(f["height"], "1");
    EXPECT_EQ(f["pixel_format"], "1");
    EXPECT_EQ(f["flags"], "0x00");
    EXPECT_EQ(f["mode"], "3");
    EXPECT_EQ(f["frame_count"], "4");
    EXPECT_EQ(f["fps_num"], "25");
    EXPECT_EQ(f["fps_den"], "1");
    EXPECT_EQ(f["header_size"], "32");
    EXPECT_EQ(f["frame_interval_us"], "40000");
    EXPECT_EQ(f["data_offset"], std::to_string(32 + 4 * KOMU_ENTRY_BYTES));
    EXPECT_EQ(f["file_size"], std::to_string(file.size()));
    EXPECT_EQ(f["raw_key"], "1");
    EXPECT_EQ(f["rle_key"], "1");
    EXPECT_EQ(f["raw_delta"], "1");
    EXPECT_EQ(f["rle_delta"], "1");
    EXPECT_EQ(f["payload_bytes"], "13");
    EXPECT_EQ(f["gap_bytes"], "9");
    EXPECT_EQ(f["trailing_bytes"], "3");
    EXPECT_EQ(f["order_break"], "none");
    EXPECT_EQ(f["past_end"], "none");
}

TEST_F(KomuTool, InfoReportsTheFirstEntryThatBreaksThePayloadOrder) {
    // Entry 2 starts at 6, inside entry 1 (4..8); entry 3 goes back too.
    komu_header h = make_header(2, 1, 4, KOMU_MODE_INDEXED);
    h.flags = KOMU_LOOP;
    h.fps_num = 0;  // stands for 30
    const std::vector<komu_frame_entry> index = {{0, 4, 0}, {4, 4, 0}, {6, 4, 0}, {1, 4, 0}};
    write_bytes(path("order.komu"), build_file(h, index, bytes(10, 0)));
    run_result r = run("info order.komu");
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> f = fields_of(r.out);
    EXPECT_EQ(f["order_break"].rfind("entry 2:", 0), 0u) << f["order_break"];
    EXPECT_EQ(f["flags"], "0x01 (loop)");
    EXPECT_EQ(f["frame_interval_us"], "33333");
    // The player meets it as a bad frame at position 2.
    r = run("decode order.komu");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("position 2"), std::string::npos) << r.err;

    // A payload beyond the end of the file is reported too.
    const std::vector<komu_frame_entry> long_index = {{0, 4, 0}, {4, 4, 0}, {8, 4, 0}, {12, 40, 0}};
    write_bytes(path("short.komu"), build_file(h, long_index, bytes(16, 0)));
    f = fields_of(run("info short.komu").out);
    EXPECT_EQ(f["past_end"].rfind("entry 3:", 0), 0u) << f["past_end"];
    EXPECT_EQ(f["order_break"], "none");
}

TEST_F(KomuTool, InfoOfAFileThePlayerRefusesFails) {
    bytes good = build_file(make_header(2, 1, 1, KOMU_MODE_SEQUENTIAL), {}, bytes(4, 0));
    write_bytes(path("good.komu"), good);
    run_result r = run("info good.komu");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fields_of(r.out)["mode"], "1");
    EXPECT_EQ(fields_of(r.out).count("raw_key"), 0u);  // no index, no payload kinds

    bytes bad_magic = good;
    bad_magic[3] = 'X';
    write_bytes(path("magic.komu"), bad_magic);
    write_bytes(path("short.komu"), bytes(good.begin(), good.begin() + 10));
    // An index that would pass the file's end.
    write_bytes(path("index.komu"), build_file(make_header(2, 1, 100, 2), {}, bytes(4, 0)));
    for (const char* name : {"magic.komu", "short.komu", "index.komu", "missing.komu"}) {
        SCOPED_TRACE(name);
        r = run(std::string("info ") + name);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.out.empty());
        expect_one_error_line(r);
        r = run(std::string("decode ") + name);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.out.empty());
    }
}

// ---- The demo ----------------------------------------------------------------

TEST_F(KomuTool, DemoIsAFullyDecodableLoopingVideoWithEveryPayloadKind) {
    ASSERT_EQ(run("demo").status, 0);  // default name
    ASSERT_EQ(run("demo -o again.komu").status, 0);
    const bytes first = read_bytes(path("demo.komu"));
    EXPECT_TRUE(first == read_bytes(path("again.komu"))) << "two runs wrote different bytes";
    EXPECT_EQ(other_files({"demo.komu", "again.komu"}), std::vector<std::string>{});

    komu_stream s;
    komu_stream_init(&s);
    const std::string demo = path("demo.komu").string();
    ASSERT_EQ(komu_open_and_prepare_stream(&s, demo.c_str()), 0);
    EXPECT_EQ(s.header.width, 640);
    EXPECT_EQ(s.header.height, 480);
    EXPECT_TRUE(s.header.flags & KOMU_LOOP);
    EXPECT_EQ(komu_frame_interval_us(s.header.fps_num, s.header.fps_den), 33333u);
    const uint32_t count = s.header.frame_count;
    EXPECT_GE(count, 270u);
    EXPECT_LE(count, 330u);
    ASSERT_NE(s.index, nullptr);
    uint32_t kinds[4] = {};
    for (uint32_t i = 0; i < count; ++i) kinds[komu_payload_kind(s.index[i].flags)] += 1;
    for (int k = 0; k < 4; ++k) EXPECT_GE(kinds[k], 1u) << "payload kind " << k;

    // Every frame decodes; most differ from the one before, and there is a
    // still stretch of at least a second.
    s.cur_frame = static_cast<uint8_t*>(std::calloc(s.frame_bytes, 1));
    s.prev_frame = static_cast<uint8_t*>(std::calloc(s.frame_bytes, 1));
    bytes before(s.frame_bytes);
    uint32_t changed = 0, still_run = 0, longest_still = 0;
    for (uint32_t i = 0; i < count; ++i) {
        ASSERT_EQ(komu_decode_next(&s), 0) << "frame " << i;
        const bool same = i > 0 && std::memcmp(before.data(), s.cur_frame, s.frame_bytes) == 0;
        still_run = same ? still_run + 1 : 0;
        longest_still = std::max(longest_still, still_run);
        changed += same ? 0 : 1;
        std::memcpy(before.data(), s.cur_frame, s.frame_bytes);
    }
    EXPECT_GE(longest_still, 30u);
    EXPECT_GE(changed, count / 2);
    // Looping: the frame after the last is frame 0 again, not an error.
    EXPECT_EQ(komu_decode_next(&s), 0);
    komu_close(&s);
}

// ---- Real content ------------------------------------------------------------

TEST_F(KomuTool, RealVideoFromFfmpegRoundTripsBitForBit) {
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ffmpeg is not installed";
    }
    const std::string make =
        "cd " + quoted(dir_.string()) +
        " && ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=640x480:rate=30"
        " -frames:v 60 -pix_fmt rgb565le -f rawvideo -y in.raw";
    ASSERT_EQ(std::system(make.c_str()), 0);
    const bytes input = read_bytes(path("in.raw"));
    ASSERT_EQ(input.size(), size_t{60} * KOMU_MAX_FRAME_BYTES);

    for (const char* options : {"", "--kind delta-rle -g 15", "--kind rle"}) {
        SCOPED_TRACE(options);
        run_result r = run(std::string("encode -s 640x480 ") + options + " -o out.komu in.raw");
        ASSERT_EQ(r.status, 0) << r.err;
        // No payload is larger than a raw frame under auto, so neither is the file.
        if (std::string(options).empty()) {
            EXPECT_LE(fs::file_size(path("out.komu")),
                      input.size() + KOMU_HEADER_BYTES + 60 * KOMU_ENTRY_BYTES);
        }
        r = run("decode out.komu");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(bytes(r.out.begin(), r.out.end()) == input);
    }
}

}  // namespace

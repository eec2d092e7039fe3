// Hostile and broken files against the reader and the player: valid files of
// every mode cut at every byte and corrupted byte by byte, the built cinepane
// run on a sample of them, and every failed allocation of start-up and every
// way playback ends, each leaving no memory and no descriptor behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "gui_scripted.h"
#include "komu.h"
#include "komu_test_files.h"
#include "komu_write.h"
#include "run_process.h"
#include "viewer.h"

namespace {

using testfile::bytes;

constexpr uint16_t W = 16, H = 8;
constexpr uint32_t FB = W * H * 2;
constexpr uint32_t FRAMES = 10;
constexpr size_t MAX_CALLS = FRAMES + 3;  // enough to see a looping file restart

const char* const OPEN_FAILED = "cinepane: failed to open video\n";
const char* const DECODE_FAILED = "cinepane: failed to decode first frame\n";
const char* const GUI_FAILED = "cinepane: gui_create failed\n";

using testfile::alloc_counter;
using testfile::hooked;
using testfile::open_descriptors;

// A file in memory (memfd), rewritten in place for each variant and opened
// by path as /proc/self/fd/N: far cheaper than a new temporary file each time.
class mem_file {
public:
    mem_file() : fd_(memfd_create("komu_hostile", MFD_CLOEXEC)) {
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~mem_file() { close(fd_); }
    mem_file(const mem_file&) = delete;
    mem_file& operator=(const mem_file&) = delete;
    bool set(const uint8_t* data, size_t n) {
        return ftruncate(fd_, 0) == 0 && pwrite(fd_, data, n, 0) == static_cast<ssize_t>(n);
    }
    const char* path() const { return path_.c_str(); }

private:
    int fd_;
    std::string path_;
};

// ---- Valid files of every mode, from the project's encoder -----------------

// A 16 x 8 picture: a row gradient, a 3 x 3 block moving with k and the frame
// number in the first pixel, so that run-length coding and deltas both have
// something to find.
bytes scene(uint32_t k) {
    bytes out(FB);
    for (uint32_t y = 0; y < H; ++y) {
        for (uint32_t x = 0; x < W; ++x) {
            const uint32_t left = (k * 3) % (W - 3);
            const bool block = x >= left && x < left + 3 && y >= 2 && y < 5;
            const uint32_t v = x + y == 0 ? k : block ? 0xF800u : 0x0841u * (y + 1);
            out[2 * (y * W + x)] = static_cast<uint8_t>(v);
            out[2 * (y * W + x) + 1] = static_cast<uint8_t>(v >> 8);
        }
    }
    return out;
}

struct sample {
    std::string name;
    bytes file;
    std::vector<bytes> frames;     // the pictures, in order
    std::vector<size_t> frame_end;  // file offset just past frame k's payload
    size_t open_needs;             // bytes the file must hold to open: header (+ index)
    size_t index_at;               // file offset of the index (indexed modes)
    uint32_t kinds_seen;           // bit komu_payload_kind(flags) per frame
};

// Ten frames in mode `mode`; indexed files cycle through every payload kind,
// a delta run-length one first (a mask against the zero picture). extra:
// header bytes beyond the 28, which the reader must skip.
sample make_sample(const std::string& name, uint16_t mode, bool loop, uint32_t extra = 0) {
    komu_encode_options o;
    o.width = W;
    o.height = H;
    o.mode = mode;
    o.loop = loop;
    std::string error;
    EXPECT_TRUE(komu_check_options(o, &error)) << error;
    komu_frame_encoder encoder;
    komu_encoder_init(&encoder, o);
    const komu_kind cycle[] = {komu_kind::delta_rle, komu_kind::rle, komu_kind::delta,
                               komu_kind::raw};

    sample s{name, {}, {}, {}, 0, 0, 0};
    std::vector<komu_frame_entry> index;
    bytes data, payload;
    for (uint32_t k = 0; k < FRAMES; ++k) {
        s.frames.push_back(scene(k));
        const komu_kind kind = mode == KOMU_MODE_SEQUENTIAL ? komu_kind::raw : cycle[k % 4];
        const uint32_t flags = komu_encode_frame(&encoder, s.frames.back(), kind, &payload);
        s.kinds_seen |= 1u << komu_payload_kind(flags);
        index.push_back({static_cast<uint32_t>(data.size()), static_cast<uint32_t>(payload.size()),
                         flags});
        data.insert(data.end(), payload.begin(), payload.end());
    }
    komu_header h = komu_make_header(o, FRAMES);
    h.header_size = KOMU_HEADER_BYTES + extra;
    komu_append_prefix(h, {}, &s.file);
    s.file.resize(h.header_size, 0x5A);
    s.index_at = s.file.size();
    if (mode != KOMU_MODE_SEQUENTIAL) {
        testfile::append(&s.file, index.data(), index.size() * sizeof index[0]);
    }
    s.open_needs = s.file.size();
    for (const komu_frame_entry& e : index) s.frame_end.push_back(s.open_needs + e.offset + e.size);
    s.file.insert(s.file.end(), data.begin(), data.end());
    return s;
}

std::vector<sample> samples() {
    return {make_sample("mode 1", KOMU_MODE_SEQUENTIAL, false),
            make_sample("mode 1, 12 extra header bytes", KOMU_MODE_SEQUENTIAL, false, 12),
            make_sample("mode 2", KOMU_MODE_INDEXED, false),
            make_sample("mode 2 looping", KOMU_MODE_INDEXED, true),
            make_sample("mode 3, 5 extra header bytes", KOMU_MODE_INDEXED_ALT, false, 5)};
}

// ---- Playing a file as the player does -------------------------------------

struct outcome {
    int open = -1;
    std::vector<int> results;     // of each komu_decode_next, up to the first -1 or 1
    std::vector<bytes> pictures;  // cur_frame after each 0
};

outcome play(const char* path) {
    outcome out;
    testfile::opened_stream o(path);
    out.open = o.result;
    if (o.result != 0) return out;
    for (size_t call = 0; call < MAX_CALLS; ++call) {
        const int r = komu_decode_next(&o.s);
        out.results.push_back(r);
        if (r != 0) break;
        out.pictures.push_back(o.frame());
    }
    return out;
}

// The line the built cinepane must print for a file with this outcome.
const char* startup_line(const outcome& o) {
    if (o.open != 0) return OPEN_FAILED;
    return o.results.at(0) == 0 ? GUI_FAILED : DECODE_FAILED;
}

// Plays every variant through counted allocations: each must give only 0,
// 1 or -1, hold no bytes after the close, and leave no descriptor open.
class Sweep : public ::testing::Test {
protected:
    outcome play_bytes(const bytes& content, size_t length) {
        EXPECT_TRUE(file_.set(content.data(), length));
        outcome o = play(file_.path());
        for (int r : o.results) EXPECT_TRUE(r == 0 || r == 1 || r == -1) << r;
        EXPECT_EQ(count_.bytes, 0u) << "bytes live after the close";
        return o;
    }
    void SetUp() override { fds_ = open_descriptors(); }
    void TearDown() override { EXPECT_EQ(open_descriptors(), fds_) << "descriptors left open"; }

    mem_file file_;
    alloc_counter count_;
    hooked hooks_{&count_};
    int fds_ = 0;
};

TEST_F(Sweep, SamplesHoldEveryPayloadKindAndPlayWhole) {
    for (const sample& s : samples()) {
        SCOPED_TRACE(s.name);
        const bool indexed = s.index_at != s.open_needs;
        EXPECT_EQ(s.kinds_seen, indexed ? 0xFu : 0x1u);  // raw key, rle key, raw delta, rle delta
        const outcome o = play_bytes(s.file, s.file.size());
        ASSERT_EQ(o.open, 0);
        const bool loops = s.file[9] & KOMU_LOOP;
        ASSERT_EQ(o.results.size(), loops ? MAX_CALLS : FRAMES + 1);
        for (size_t k = 0; k < o.pictures.size(); ++k) {
            EXPECT_EQ(o.pictures[k], s.frames[k % FRAMES]) << k;
        }
        if (!loops) {
            EXPECT_EQ(o.results.back(), 1);
        }
    }
}

// A file cut short opens exactly when it still holds its header (and index),
// then decodes exactly the frames wholly before the cut, each equal to the
// original, and fails (-1, never 1: the file promised more) at the next.
TEST_F(Sweep, CutAtEveryByte) {
    size_t cuts = 0;
    for (const sample& s : samples()) {
        SCOPED_TRACE(s.name);
        for (size_t cut = 0; cut < s.file.size(); ++cut, ++cuts) {
            SCOPED_TRACE(cut);
            const outcome o = play_bytes(s.file, cut);
            ASSERT_EQ(o.open, cut >= s.open_needs ? 0 : -1);
            if (o.open != 0) continue;
            size_t whole = 0;
            while (whole < FRAMES && s.frame_end[whole] <= cut) ++whole;
            ASSERT_EQ(o.results.size(), whole + 1);
            EXPECT_EQ(o.results.back(), -1);
            for (size_t k = 0; k < whole; ++k) {
                ASSERT_EQ(o.pictures[k], s.frames[k]) << "frame " << k;
            }
        }
    }
    EXPECT_GT(cuts, 5000u);
}

// Whether flipping the bits `mask` of byte `at` must change nothing at all:
// the frame rate, extra header bytes, the high 24 bits of entry flags, bit 0
// of a delta frame's flags and bit 1 of a key frame's.
bool flip_is_ignored(const sample& s, size_t at, uint8_t mask) {
    if (at >= 16 && at < 24) return true;
    if (at >= KOMU_HEADER_BYTES && at < s.index_at) return true;
    if (at < s.index_at || at >= s.open_needs) return false;  // not in the index
    const size_t in_entry = (at - s.index_at) % KOMU_ENTRY_BYTES;
    if (in_entry != 8) return in_entry > 8;
    const uint8_t flags = s.file[at];
    return mask == ((flags & KOMU_FRAME_DELTA) ? KOMU_FRAME_RLE16 : KOMU_FRAME_DELTA_RLE);
}

// Single bytes flipped at every position: all bits; in the header and index,
// read as whole numbers, also the lowest bit; in entry flags also bit 1.
// Frames wholly before a flip in the data area are decoded unchanged; flips
// the reader must ignore change nothing; anything else gives a defined result.
TEST_F(Sweep, FlipEveryByte) {
    size_t flips = 0, ignored = 0;
    for (const sample& s : samples()) {
        SCOPED_TRACE(s.name);
        const outcome whole = play_bytes(s.file, s.file.size());
        for (size_t at = 0; at < s.file.size(); ++at) {
            std::vector<uint8_t> masks{0xFF};
            if (at < s.open_needs) masks.push_back(0x01);
            const bool entry_flags =
                at >= s.index_at && at < s.open_needs && (at - s.index_at) % KOMU_ENTRY_BYTES == 8;
            if (entry_flags) {
                masks.push_back(0x02);
            }
            for (uint8_t mask : masks) {
                SCOPED_TRACE(testing::Message() << "byte " << at << " ^ " << int(mask));
                bytes changed = s.file;
                changed[at] ^= mask;
                const outcome o = play_bytes(changed, changed.size());
                ++flips;
                if (flip_is_ignored(s, at, mask)) {
                    ++ignored;
                    EXPECT_EQ(o.results, whole.results);
                    EXPECT_EQ(o.pictures, whole.pictures);
                    continue;
                }
                if (at < s.open_needs) continue;  // header or index: any defined result
                ASSERT_EQ(o.open, 0);
                size_t before = 0;
                while (before < FRAMES && s.frame_end[before] <= at) ++before;
                ASSERT_GE(o.pictures.size(), before);
                for (size_t k = 0; k < before; ++k) {
                    ASSERT_EQ(o.pictures[k], s.frames[k]) << "frame " << k;
                }
            }
        }
    }
    EXPECT_GT(flips, 8000u);
    EXPECT_GT(ignored, 300u);
}

// ---- The built player on a sample of the broken files ----------------------

// With no display the player can never make a window, so each file must end
// at start-up with exactly one line and status 1: which line follows from
// how far the reader gets with the file (open, first frame).
TEST(HostilePlayer, OneLineAndStatusOneWithoutADisplay) {
    if (access(CINEPANE_BIN, X_OK) != 0) GTEST_SKIP() << "no cinepane built at " << CINEPANE_BIN;
    std::vector<bytes> files;
    for (const sample& s : samples()) {
        // Cuts in the header, the index, the first and the second frame;
        // flips of the magic, the width, the frame count, the first payload
        // and the last byte.
        for (size_t cut : {size_t{13}, s.open_needs - 1, s.open_needs + 3, s.frame_end[0],
                           (s.frame_end[0] + s.frame_end[1]) / 2}) {
            files.emplace_back(s.file.begin(), s.file.begin() + static_cast<long>(cut));
        }
        for (size_t at : {size_t{0}, size_t{4}, size_t{14}, s.open_needs + 1, s.file.size() - 1}) {
            files.push_back(s.file);
            files.back()[at] ^= 0xFF;
        }
    }
    ASSERT_EQ(files.size(), 50u);
    std::set<std::string> lines_seen;
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(i);
        testfile::temp_file f(files[i]);
        const char* want = startup_line(play(f.path()));
        lines_seen.insert(want);
        const testproc::result r =
            testproc::run({CINEPANE_BIN, f.path()}, {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"});
        EXPECT_EQ(r.out, want);
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_EQ(lines_seen.size(), 3u);  // the sample reaches every start-up line
}

// ---- Failure paths release everything --------------------------------------

// Calls start_up as main would, capturing its line.
struct startup_result {
    int status;
    std::string line;
};

startup_result start(komu_stream* stream, const char* path) {
    char arg0[] = "cinepane";
    std::string p = path;
    char* argv[] = {arg0, p.data(), nullptr};
    testing::internal::CaptureStdout();
    const int status = start_up(stream, 2, argv);
    return {status, testing::internal::GetCapturedStdout()};
}

// Start-up over a valid file with its k-th allocation failing, for every k it
// reaches: each failure before the first decode reports the open, each during
// it the first frame; nothing stays allocated or open. One more than it
// reaches starts normally.
TEST(FailurePaths, StartUpReleasesEverythingAtEveryFailedAllocation) {
    for (const sample& s : {make_sample("mode 1", KOMU_MODE_SEQUENTIAL, false),
                            make_sample("mode 2", KOMU_MODE_INDEXED, true),
                            make_sample("mode 3", KOMU_MODE_INDEXED_ALT, false, 7)}) {
        SCOPED_TRACE(s.name);
        testfile::temp_file f(s.file);
        // The calls each phase makes: the open, the two frames, the first decode.
        size_t after_frames = 0, after_decode = 0;
        {
            alloc_counter c;
            hooked h(&c);
            testfile::opened_stream o(f.path());
            ASSERT_EQ(o.result, 0);
            after_frames = c.calls;
            ASSERT_EQ(komu_decode_next(&o.s), 0);
            after_decode = c.calls;
        }
        // Indexed samples start with a run-length delta: only its payload
        // buffer, since the mask is applied in place.
        ASSERT_EQ(after_decode - after_frames, s.index_at == s.open_needs ? 0u : 1u);

        const int fds = open_descriptors();
        for (size_t k = 1; k <= after_decode + 1; ++k) {
            SCOPED_TRACE(k);
            alloc_counter c;
            c.fail_at = k;
            {
                hooked h(&c);
                komu_stream stream;
                const startup_result r = start(&stream, f.path());
                if (k <= after_decode) {
                    EXPECT_EQ(r.status, 1);
                    EXPECT_EQ(r.line, k <= after_frames ? OPEN_FAILED : DECODE_FAILED);
                    EXPECT_EQ(stream.fd, -1);
                } else {
                    EXPECT_EQ(r.status, 0);
                    EXPECT_EQ(r.line, "");
                    EXPECT_EQ(bytes(stream.cur_frame, stream.cur_frame + FB), s.frames[0]);
                    komu_close(&stream);
                }
            }
            EXPECT_GT(c.calls, 0u);
            EXPECT_EQ(c.bytes, 0u);
            EXPECT_EQ(open_descriptors(), fds);
        }
    }
}

// The whole program over the scripted window server, ended by a decode
// error, a quit key, a close request, or no window at all: each time every
// buffer and the descriptor are released.
TEST(FailurePaths, PlaybackReleasesEverythingHoweverItEnds) {
    const sample looping = make_sample("mode 2 looping", KOMU_MODE_INDEXED, true);
    const sample once = make_sample("mode 3", KOMU_MODE_INDEXED_ALT, false);
    // Cut inside frame 4: frames 0-3 play, then the decode fails. The looping
    // file is quit or closed at pass 30, after a restart at frame 0.
    const bytes broken(once.file.begin(),
                       once.file.begin() + static_cast<long>(once.frame_end[4] - 1));
    struct ending {
        const char* name;
        const bytes* file;
        void (*script)();
        int status;  // expected exit status; -1: any (this test is about releasing)
        const char* line;
    };
    const ending endings[] = {
        {"decode error", &broken, [] {}, -1, ""},
        {"quit key", &looping.file,
         [] { scripted::queue_event(30, scripted::key_event(GUI_KEY_ESC)); }, 0, ""},
        {"close request", &looping.file,
         [] { scripted::queue_event(30, scripted::close_event()); }, 0, ""},
        {"no window", &looping.file, [] { scripted::set_create_result(-1); }, 1, GUI_FAILED},
    };
    constexpr uint32_t PASS_LIMIT = 1000;
    for (const ending& e : endings) {
        SCOPED_TRACE(e.name);
        scripted::reset();
        scripted::set_pass_limit(PASS_LIMIT);
        e.script();
        testfile::temp_file f(*e.file);
        const int fds = open_descriptors();
        alloc_counter c;
        std::string p = f.path();
        char arg0[] = "cinepane";
        char* argv[] = {arg0, p.data(), nullptr};
        int status = -1;
        std::string line;
        {
            hooked h(&c);
            testing::internal::CaptureStdout();
            status = cinepane_main(2, argv);
            line = testing::internal::GetCapturedStdout();
        }
        if (e.status >= 0) {
            EXPECT_EQ(status, e.status);
        }
        EXPECT_EQ(line, e.line);
        EXPECT_LT(scripted::passes(), PASS_LIMIT);  // ended by itself, not by the test's limit
        EXPECT_GE(c.peak, 2 * FB);                  // the frames were allocated...
        EXPECT_EQ(c.bytes, 0u);                     // ...and everything released
        EXPECT_EQ(open_descriptors(), fds);
    }
}

}  // namespace

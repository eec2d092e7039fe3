// Hostile and broken files against the reader and the player: valid files of
// every mode cut at every byte and corrupted byte by byte, from a file and
// through a pipe, the built cinepane
// run on a sample of them, and every failed allocation of start-up and every
// way playback ends, each leaving no memory and no descriptor behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "gui_scripted.h"
#include "komu.h"
#include "komu_test_files.h"
#include "komu_write.h"
#include "run_process.h"
#include "viewer.h"

namespace {

using namespace testfile;

constexpr uint16_t W = 16, H = 8;
constexpr uint32_t FB = W * H * 2, FRAMES = 10;
constexpr size_t MAX_CALLS = FRAMES + 3;  // enough to see a looping file restart

const char* const OPEN_FAILED = "cinepane: failed to open video\n";
const char* const DECODE_FAILED = "cinepane: failed to decode first frame\n";
const char* const GUI_FAILED = "cinepane: gui_create failed\n";

struct sample {
    const char* name;
    bool loop;
    bytes file;
    std::vector<bytes> frames;      // the pictures, in order
    size_t index_at, open_needs;    // file offsets of the index and the data area
    std::vector<size_t> frame_end;  // file offset just past frame k's payload
};

// Ten frames from the project's encoder: rows of 12-pixel runs and a few
// pixels changed in each frame, for run-length coding and deltas to find.
// Indexed files cycle through every payload kind, a run-length delta
// (against the zero picture) first. extra: header bytes beyond the 28.
sample make_sample(const char* name, uint16_t mode, bool loop, uint32_t extra) {
    const komu_encode_options o{.width = W, .height = H, .loop = loop, .mode = mode,
                                .header_extra = extra};
    komu_writer w;
    std::string error;
    komu_writer_begin(&w, o, -1, &error);
    using enum komu_kind;
    const komu_kind cycle[] = {delta_rle, rle, delta, raw};
    const bool has_index = mode != KOMU_MODE_SEQUENTIAL;
    const size_t data_at = KOMU_HEADER_BYTES + extra + (has_index ? FRAMES * KOMU_ENTRY_BYTES : 0);
    sample s{name, loop, {}, {}, KOMU_HEADER_BYTES + extra, data_at, {}};
    for (uint32_t k = 0; k < FRAMES; ++k) {
        bytes f(FB);
        for (size_t i = 0; i < FB; ++i) f[i] = uint8_t(i / 24 + (i / 2 % 37 == k ? 7 * k + 1 : 0));
        s.frames.push_back(f);
        komu_writer_add(&w, f, cycle[k % 4], &error);
        s.frame_end.push_back(data_at + w.data_bytes);
    }
    EXPECT_EQ(std::count(w.kinds, w.kinds + 4, 0), has_index ? 0 : 3) << name;
    komu_writer_finish(&w, &s.file, &error);
    return s;
}

std::vector<sample> samples() {
    return {make_sample("mode 1, 12 extra header bytes", KOMU_MODE_SEQUENTIAL, false, 12),
            make_sample("mode 2 looping", KOMU_MODE_INDEXED, true, 0),
            make_sample("mode 3, 5 extra header bytes", KOMU_MODE_INDEXED_ALT, false, 5)};
}

// How many frames end at or before file offset `at`.
size_t frames_before(const sample& s, size_t at) {
    return size_t(std::upper_bound(s.frame_end.begin(), s.frame_end.end(), at) -
                  s.frame_end.begin());
}

struct outcome {
    int open = -1;
    std::vector<int> results;     // of each komu_decode_next, up to the first -1 or 1
    std::vector<bytes> pictures;  // cur_frame after each 0
};

// Opens and decodes `content` as the player does, from a file or a pipe,
// through counted allocations: results only 0, 1 or -1; after the close no
// byte allocated, no descriptor open.
outcome play(const bytes& content, bool pipe = false) {
    outcome out;
    alloc_counter c;
    const int fds = open_descriptors();
    {
        const temp_file f(content, pipe);
        hooked h(&c);
        opened_stream o(f.path());
        out.open = o.result;
        for (size_t call = 0; o.result == 0 && call < MAX_CALLS; ++call) {
            out.results.push_back(komu_decode_next(&o.s));
            EXPECT_TRUE(out.results.back() >= -1 && out.results.back() <= 1) << out.results.back();
            if (out.results.back() != 0) break;
            out.pictures.push_back(o.frame());
        }
    }
    EXPECT_EQ(c.bytes, 0u) << "bytes live after the close";
    EXPECT_EQ(open_descriptors(), fds) << "descriptors left open";
    return out;
}

// Cut short, a file opens exactly when it holds its header (and index), then
// decodes exactly the frames wholly before the cut, as they were, and fails
// (-1, never 1: the file promised more). Whole, it ends (1) or loops; from a
// pipe, which cannot be read again, a looping file fails at the restart.
TEST(Sweep, CutAtEveryByte) {
    for (const sample& s : samples()) {
        for (const bool pipe : {false, true}) {
            SCOPED_TRACE(testing::Message() << s.name << (pipe ? ", from a pipe" : ""));
            for (size_t cut = 0; cut <= s.file.size(); ++cut) {
                SCOPED_TRACE(cut);
                const outcome o = play(bytes(s.file.begin(), s.file.begin() + long(cut)), pipe);
                ASSERT_EQ(o.open, cut >= s.open_needs ? 0 : -1);
                if (o.open != 0) continue;
                const bool whole = cut == s.file.size(), loops = s.loop && !pipe;
                ASSERT_EQ(o.results.size(), whole && loops ? MAX_CALLS : frames_before(s, cut) + 1);
                EXPECT_EQ(o.results.back(), !whole || (s.loop && pipe) ? -1 : loops ? 0 : 1);
                for (size_t k = 0; k < o.pictures.size(); ++k) {
                    ASSERT_EQ(o.pictures[k], s.frames[k % FRAMES]) << "frame " << k;
                }
            }
        }
    }
}

// Whether flipping the bits `mask` of byte `at` must change nothing at all:
// the frame rate, extra header bytes, the high 24 bits of entry flags, bit 0
// of a delta frame's flags and bit 1 of a key frame's.
bool flip_is_ignored(const sample& s, size_t at, uint8_t mask) {
    if ((at >= 16 && at < 24) || (at >= KOMU_HEADER_BYTES && at < s.index_at)) return true;
    if (at < s.index_at || at >= s.open_needs) return false;  // not in the index
    const size_t in_entry = (at - s.index_at) % KOMU_ENTRY_BYTES;
    if (in_entry != 8) return in_entry > 8;
    return mask == ((s.file[at] & KOMU_FRAME_DELTA) ? KOMU_FRAME_RLE16 : KOMU_FRAME_DELTA_RLE);
}

// Every byte flipped whole, in bit 0 and in bit 1, each flip read from a
// file and through a pipe. Ignored flips change nothing; frames wholly
// before a flip in the data decode unchanged; any other result only has to
// be defined (checked by play).
TEST(Sweep, FlipEveryByte) {
    for (const sample& s : samples()) {
        SCOPED_TRACE(s.name);
        const outcome intact[] = {play(s.file), play(s.file, true)};
        for (size_t at = 0; at < s.file.size(); ++at) {
            for (const uint8_t mask : bytes{0xFF, 0x01, 0x02}) {
                bytes changed = s.file;
                changed[at] ^= mask;
                for (const bool pipe : {false, true}) {
                    SCOPED_TRACE(testing::Message() << "byte " << at << " ^ " << int(mask)
                                                    << (pipe ? ", from a pipe" : ""));
                    const outcome o = play(changed, pipe);
                    if (flip_is_ignored(s, at, mask)) {
                        EXPECT_EQ(o.results, intact[pipe].results);
                        EXPECT_EQ(o.pictures, intact[pipe].pictures);
                    } else if (at >= s.open_needs) {
                        const size_t before = frames_before(s, at);
                        ASSERT_TRUE(o.pictures.size() >= before &&
                                    std::equal(s.frames.begin(), s.frames.begin() + long(before),
                                               o.pictures.begin()));
                    }
                }
            }
        }
    }
}

// Without a display the built player ends at start-up on each broken file
// with one line, the one for how far the reader gets, and status 1.
TEST(HostilePlayer, OneLineAndStatusOneWithoutADisplay) {
    if (access(CINEPANE_BIN, X_OK) != 0) GTEST_SKIP() << "no cinepane built at " << CINEPANE_BIN;
    std::set<std::string> lines_seen;
    for (const sample& s : samples()) {
        // Cut or flipped at the magic, the width, the frame count, the end of
        // the index, in frame 0, at the start and in the middle of frame 1.
        for (size_t at : {size_t{0}, size_t{4}, size_t{13}, s.open_needs - 1, s.open_needs + 3,
                          s.frame_end[0], (s.frame_end[0] + s.frame_end[1]) / 2}) {
            SCOPED_TRACE(testing::Message() << s.name << ", byte " << at);
            bytes flipped = s.file;
            flipped[at] ^= 0xFF;
            for (const bytes& file : {bytes(s.file.begin(), s.file.begin() + long(at)), flipped}) {
                const outcome o = play(file);
                const char* want = o.open ? OPEN_FAILED : o.results[0] ? DECODE_FAILED : GUI_FAILED;
                lines_seen.insert(want);
                const temp_file f(file);
                const std::string path = f.path();  // and the same through a pipe
                for (const std::string& cmd : {"exec " CINEPANE_BIN " " + path,
                                               "cat " + path + " | " CINEPANE_BIN " /dev/stdin"}) {
                    const testproc::result r = testproc::run(
                        {"/bin/sh", "-c", cmd}, {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"});
                    EXPECT_EQ(r.out, want) << cmd;
                    EXPECT_EQ(r.status, 1) << cmd;
                }
            }
        }
    }
    EXPECT_EQ(lines_seen.size(), 3u);  // the sample reaches every start-up line
}

// Calls fn(argc, argv) with the arguments main gets for `path`, counting
// allocations in *c; its status and what it printed.
template <class F>
std::pair<int, std::string> as_main(const char* path, alloc_counter* c, F fn) {
    char arg0[] = "cinepane";
    std::string p = path;
    char* argv[] = {arg0, p.data(), nullptr};
    hooked h(c);
    testing::internal::CaptureStdout();
    const int status = fn(2, argv);
    return {status, testing::internal::GetCapturedStdout()};
}

// Start-up with its k-th allocation failing, for every k it reaches: the
// line of the step that failed, nothing left allocated or open. With one
// more allocation to go it starts normally.
TEST(FailurePaths, StartUpReleasesEverythingAtEveryFailedAllocation) {
    for (const sample& s : samples()) {
        SCOPED_TRACE(s.name);
        const temp_file f(s.file);
        alloc_counter probe;
        size_t after_open = 0;  // allocations made by the open and the frame buffers
        {
            hooked h(&probe);
            opened_stream o(f.path());
            after_open = probe.calls;
            ASSERT_EQ(komu_decode_next(&o.s), 0);
        }
        // Then the first decode: a run-length delta in indexed samples, which
        // needs only its payload buffer, since the mask is applied in place.
        const size_t after_decode = probe.calls;
        ASSERT_EQ(after_decode - after_open, s.open_needs != s.index_at ? 1u : 0u);
        const int fds = open_descriptors();
        for (size_t k = 1; k <= after_decode + 1; ++k) {
            SCOPED_TRACE(k);
            alloc_counter c;
            c.fail_at = k;
            komu_stream st;
            const auto [status, line] =
                as_main(f.path(), &c, [&](int n, char** v) { return start_up(&st, n, v); });
            const bool fails = k <= after_decode;
            EXPECT_EQ(status, fails ? 1 : 0);
            EXPECT_EQ(line, !fails ? "" : k <= after_open ? OPEN_FAILED : DECODE_FAILED);
            if (!fails) {
                EXPECT_EQ(bytes(st.cur_frame, st.cur_frame + FB), s.frames[0]);
                hooked h(&c);
                komu_close(&st);
            }
            EXPECT_EQ(c.bytes, 0u);
            EXPECT_EQ(open_descriptors(), fds);
        }
    }
}

// The whole program over the scripted window server, ended by a decode error
// (cut in frame 4), quit or close (at pass 30, after the loop restarted) or
// no window: the documented status and line, everything released.
TEST(FailurePaths, PlaybackReleasesEverythingHoweverItEnds) {
    const std::vector<sample> all = samples();
    const bytes& looping = all[1].file;
    const bytes broken(all[2].file.begin(), all[2].file.begin() + long(all[2].frame_end[4] - 1));
    using scripted::queue_event;
    const std::tuple<const char*, const bytes*, void (*)()> endings[] = {
        {"decode error", &broken, [] {}},
        {"quit key", &looping, [] { queue_event(30, scripted::key_event(GUI_KEY_ESC)); }},
        {"close request", &looping, [] { queue_event(30, scripted::close_event()); }},
        {"no window", &looping, [] { scripted::set_create_result(-1); }},
    };
    constexpr uint32_t PASS_LIMIT = 1000;
    for (const auto& [name, file, script] : endings) {
        SCOPED_TRACE(name);
        scripted::reset();
        scripted::set_pass_limit(PASS_LIMIT);
        script();
        const temp_file f(*file);
        const int fds = open_descriptors();
        alloc_counter c;
        const auto [status, line] = as_main(f.path(), &c, cinepane_main);
        const bool no_window = std::string(name) == "no window";
        EXPECT_EQ(status, no_window ? 1 : 0);
        EXPECT_EQ(line, no_window ? GUI_FAILED : "");
        EXPECT_LT(scripted::passes(), PASS_LIMIT);  // ended by itself, not by the test's limit
        EXPECT_GE(c.peak, 2 * FB);                  // the frames were allocated...
        EXPECT_EQ(c.bytes, 0u);                     // ...and everything released
        EXPECT_EQ(open_descriptors(), fds);
    }
}

}  // namespace

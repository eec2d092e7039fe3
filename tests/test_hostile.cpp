// Hostile and broken files against the reader and the player: valid files of
// every mode cut at every byte and corrupted byte by byte, from a file and
// through a pipe; every failed allocation of start-up and every way playback
// ends; each leaving no memory and no descriptor behind.
#include <gtest/gtest.h>

#include "gui_scripted.h"
#include "komu_test_files.h"
#include "komu_write.h"
#include "viewer.h"

namespace {

using namespace testfile;

constexpr uint16_t W = 16, H = 8;
constexpr uint32_t FB = W * H * 2, FRAMES = 10;
constexpr size_t MAX_CALLS = FRAMES + 3;  // enough to see a looping file restart

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
    komu_writer w;
    std::string error;
    komu_writer_begin(&w, {.width = W, .height = H, .loop = loop, .mode = mode, .header_extra = extra},
                      -1, &error);
    using enum komu_kind;
    const komu_kind cycle[] = {delta_rle, rle, delta, raw};
    const size_t index_at = KOMU_HEADER_BYTES + extra;
    sample s{name, loop, {}, {}, index_at,
             index_at + (mode == KOMU_MODE_SEQUENTIAL ? 0 : FRAMES * KOMU_ENTRY_BYTES), {}};
    for (uint32_t k = 0; k < FRAMES; ++k) {
        bytes f(FB);
        for (size_t i = 0; i < FB; ++i) f[i] = uint8_t(i / 24 + (i / 2 % 37 == k ? 7 * k + 1 : 0));
        s.frames.push_back(f);
        komu_writer_add(&w, f, cycle[k % 4], &error);
        s.frame_end.push_back(s.open_needs + w.data_bytes);
    }
    EXPECT_EQ(std::count(w.kinds, w.kinds + 4, 0), mode == KOMU_MODE_SEQUENTIAL ? 3 : 0) << name;
    komu_writer_finish(&w, &s.file, &error);
    return s;
}

const std::vector<sample>& samples() {
    static const std::vector<sample> all = {
        make_sample("mode 1, 12 extra header bytes", KOMU_MODE_SEQUENTIAL, false, 12),
        make_sample("mode 2 looping", KOMU_MODE_INDEXED, true, 0),
        make_sample("mode 3, 5 extra header bytes", KOMU_MODE_INDEXED_ALT, false, 5)};
    return all;
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
    const int fds = open_descriptors();
    {
        const temp_file f(content, pipe);
        alloc_counter c;
        {
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
    }
    EXPECT_EQ(open_descriptors(), fds) << "descriptors left open";
    return out;
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

// Each sample cut at every byte and with every byte flipped (whole, in bit
// 0, in bit 1), from a file and through a pipe. Cut short, a file opens
// exactly when it holds its header (and index), then decodes exactly the
// frames wholly before the cut, as they were, and fails (-1, never 1: the
// file promised more). Whole, it ends (1) or loops; from a pipe, which
// cannot be read again, a looping file fails at the restart. A flip that
// must be ignored changes nothing; frames wholly before any other decode as
// they were; anything else only has to be defined (checked by play).
TEST(Sweep, CutAndFlipEveryByte) {
    for (const sample& s : samples()) {
        for (const bool pipe : {false, true}) {
            SCOPED_TRACE(testing::Message() << s.name << (pipe ? ", from a pipe" : ""));
            const outcome intact = play(s.file, pipe);
            for (size_t at = 0; at <= s.file.size(); ++at) {
                SCOPED_TRACE(at);
                const outcome o = play(bytes(s.file.begin(), s.file.begin() + long(at)), pipe);
                ASSERT_EQ(o.open, at >= s.open_needs ? 0 : -1);
                const bool whole = at == s.file.size(), loops = s.loop && !pipe;
                const auto ends = std::ranges::upper_bound(s.frame_end, at);  // frames ending by the cut
                const size_t before = at < s.open_needs ? 0 : size_t(ends - s.frame_end.begin());
                ASSERT_EQ(o.results.size(), o.open ? 0 : whole && loops ? MAX_CALLS : before + 1);
                if (o.open == 0) {
                    EXPECT_EQ(o.results.back(), !whole || (s.loop && pipe) ? -1 : loops ? 0 : 1);
                }
                for (size_t k = 0; k < o.pictures.size(); ++k) ASSERT_EQ(o.pictures[k], s.frames[k % 10]) << k;
                for (const uint8_t mask : whole ? bytes{} : bytes{0xFF, 0x01, 0x02}) {
                    bytes changed = s.file;
                    changed[at] ^= mask;
                    const outcome f = play(changed, pipe);
                    if (flip_is_ignored(s, at, mask)) {
                        EXPECT_TRUE(f.results == intact.results && f.pictures == intact.pictures) << +mask;
                    } else {
                        ASSERT_TRUE(f.pictures.size() >= before && std::equal(s.frames.begin(),
                                    s.frames.begin() + long(before), f.pictures.begin())) << int(mask);
                    }
                }
            }
        }
    }
}

// Calls fn(argc, argv) with the arguments main gets for `path`; its status
// and what it printed on standard output and error.
template <class F>
std::tuple<int, std::string, std::string> as_main(const char* path, F fn) {
    std::string arg0 = "cinepane", p = path;
    char* argv[] = {arg0.data(), p.data(), nullptr};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = fn(2, argv);
    std::string err = testing::internal::GetCapturedStderr();
    return {status, testing::internal::GetCapturedStdout(), err};
}

// Start-up with its k-th allocation failing, for every k it reaches: the
// line of the step that failed, then the file and why on standard error,
// nothing left allocated or open. With one more allocation to go it starts.
TEST(FailurePaths, StartUpReleasesEverythingAtEveryFailedAllocation) {
    for (const sample& s : samples()) {
        SCOPED_TRACE(s.name);
        const temp_file f(s.file);
        size_t after_open = 0, after_decode = 0;  // allocations by the open, then the first decode
        {
            alloc_counter probe;
            opened_stream o(f.path());
            after_open = probe.calls;
            ASSERT_EQ(komu_decode_next(&o.s), 0);
            after_decode = probe.calls;
        }
        // The first decode, a run-length delta in indexed samples, needs only
        // its payload buffer, since the mask is applied in place.
        ASSERT_EQ(after_decode - after_open, s.open_needs != s.index_at ? 1u : 0u);
        const int fds = open_descriptors();
        for (size_t k = 1; k <= after_decode + 1; ++k) {
            SCOPED_TRACE(k);
            alloc_counter c;
            c.fail_at = k;
            komu_stream st;
            const auto [status, line, reason] =
                as_main(f.path(), [&](int n, char** v) { return start_up(&st, n, v); });
            const bool fails = k <= after_decode, opened = k > after_open;
            EXPECT_EQ(status, fails ? 1 : 0);
            EXPECT_EQ(line, !fails ? "" : opened ? "cinepane: failed to decode first frame\n"
                                                 : "cinepane: failed to open video\n");
            const std::string why = opened ? "frame 1 cannot be decoded: out of memory" : "out of memory";
            EXPECT_EQ(reason, !fails ? "" : "cinepane: " + std::string(f.path()) + ": " + why + "\n");
            if (!fails) {
                EXPECT_EQ(bytes(st.cur_frame, st.cur_frame + FB), s.frames[0]);
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
    const bytes& looping = samples()[1].file;
    const sample& cut = samples()[2];
    const bytes broken(cut.file.begin(), cut.file.begin() + long(cut.frame_end[4] - 1));
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
        const auto [status, line, reason] = as_main(f.path(), cinepane_main);
        const bool no_window = std::string(name) == "no window";
        EXPECT_EQ(status, no_window ? 1 : 0);
        EXPECT_EQ(line + reason, no_window ? "cinepane: gui_create failed\n" : "");
        EXPECT_LT(scripted::passes(), PASS_LIMIT);  // ended by itself, not by the test's limit
        EXPECT_GE(c.peak, 2 * FB);                  // the frames were allocated...
        EXPECT_EQ(c.bytes, 0u);                     // ...and everything released
        EXPECT_EQ(open_descriptors(), fds);
    }
}

}  // namespace

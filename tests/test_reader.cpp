// The stream reader over files built byte by byte: every payload kind and
// mode, gaps, looping, seeking, hostile sizes and the states each leaves
// behind; and its run-length decoder.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

#include "komu.h"
#include "komu_test_files.h"

namespace {

using namespace testfile;

constexpr uint16_t W = 8, H = 4;
constexpr uint32_t FB = W * H * 2, N = 9;

bytes prev_of(const komu_stream& s) { return bytes(s.prev_frame, s.prev_frame + FB); }

// A file of pictures 1..9 with 300 extra header bytes. Indexed: deltas from
// the zero picture first, a key frame every third, payload kinds alternating
// (run-length ones as one literal run), gaps between payloads (one past the
// reader's 256-byte skip), and in the last three the flag bits that mean
// nothing for their kind.
bytes nine(uint16_t mode, uint8_t flags) {
    std::vector<bytes> pics;
    std::vector<payload> entries;
    for (uint32_t k = 0; k < N; ++k) {
        pics.push_back(picture(W, H, k + 1));
        const bool key = k % 3 == 2, rle = k % 2 == 1;
        bytes data = pics[k];
        for (size_t i = 0; !key && k > 0 && i < FB; ++i) data[i] ^= pics[k - 1][i];
        if (rle) data.insert(data.begin(), uint8_t(FB / (key ? 2 : 1) - 1));
        const uint32_t junk = k < 6 ? 0 : 0x100 | (key ? KOMU_FRAME_DELTA_RLE : KOMU_FRAME_RLE16);
        const uint32_t kind =
            key ? (rle ? KOMU_FRAME_RLE16 : 0) : KOMU_FRAME_DELTA | (rle ? KOMU_FRAME_DELTA_RLE : 0u);
        entries.push_back({junk | kind, data, k == 4 ? 600 : k % 4});
    }
    komu_header hd = header(W, H, mode, N, flags);
    hd.header_size = KOMU_HEADER_BYTES + 300;
    return mode == KOMU_MODE_SEQUENTIAL ? sequential(hd, pics) : indexed(hd, entries);
}

// Everything a seek must leave as decoding would: the pictures, the
// position, and where the descriptor stands.
auto state_of(const komu_stream& s) {
    return std::tuple{bytes(s.cur_frame, s.cur_frame + FB), prev_of(s), s.next_index, s.consumed,
                      lseek(s.fd, 0, SEEK_CUR)};
}

// Three passes over a file of each mode: every frame as it was, and after
// the last an end that keeps showing it, or the wrap to frame 0 (a delta
// there starts from zero again). From every position, a seek to any frame
// leaves the record exactly as decoding that far from a fresh open does, and
// decoding goes on from there. A seek that fails leaves it as it was.
TEST(Reader, DecodesEveryModeKindAndGapAndSeeksAsDecodingWould) {
    const uint8_t once = 0;
    for (const auto& [mode, flags] : {std::pair{KOMU_MODE_INDEXED, KOMU_LOOP}, {KOMU_MODE_SEQUENTIAL, once},
                                      {KOMU_MODE_INDEXED_ALT, once}}) {
        SCOPED_TRACE(mode);
        const bytes file = nine(mode, flags);
        temp_file f(file);
        opened_stream fresh(f.path()), o(f.path());
        EXPECT_EQ(fresh.s.data_offset, 328 + (mode == KOMU_MODE_SEQUENTIAL ? 0 : N * 12));
        std::vector<decltype(state_of(fresh.s))> after{state_of(fresh.s)};  // after n decodes
        for (uint32_t k = 0; k < 3 * N; ++k) {
            const bool ended = k >= N && !flags;
            ASSERT_EQ(komu_decode_next(&fresh.s), ended ? 1 : 0) << k;
            ASSERT_EQ(fresh.frame(), picture(W, H, ended ? N : k % N + 1)) << k;
            ASSERT_EQ(prev_of(fresh.s), fresh.frame()) << k;
            if (k < N) after.push_back(state_of(fresh.s));
        }
        EXPECT_EQ(fresh.s.consumed, file.size() - fresh.s.data_offset);
        for (uint32_t n : {9u, 1u, 2u, 0u, 5u, 6u, 7u, 8u, 3u, 9u, 4u, 4u}) {
            auto want = after[n];
            if (n == 0) std::get<0>(want) = o.frame();  // nothing decoded: the picture stays
            ASSERT_EQ(komu_seek(&o.s, n), 0) << n;
            ASSERT_EQ(state_of(o.s), want) << n;
        }
        ASSERT_EQ(komu_decode_next(&o.s), 0);
        EXPECT_EQ(o.frame(), picture(W, H, 5));
    }
    // Failing for want of memory, at frame 8 (a run-length delta cut by a
    // byte), past the end, from a pipe.
    bytes broken = nine(KOMU_MODE_INDEXED, KOMU_LOOP);
    broken[328 + 7 * 12 + 4]--;  // entry 7's size (65, a literal run's header and 64 bytes)
    temp_file f(broken), p(broken, true);
    opened_stream o(f.path()), piped(p.path());
    for (int k = 0; k < 4; ++k) ASSERT_EQ(komu_decode_next(&o.s), 0);
    const auto before = state_of(o.s);
    const std::tuple<komu_stream*, uint32_t, uint32_t, uint32_t> failing[] = {
        {&o.s, 8, KOMU_FAIL_NO_MEMORY, 0}, {&o.s, 8, KOMU_FAIL_RLE_MASK, 8},
        {&o.s, 10, KOMU_FAIL_NO_SUCH_FRAME, 0}, {&piped.s, 1, KOMU_FAIL_CANNOT_SEEK, 0}};
    for (const auto& [stream, n, why, frame] : failing) {
        alloc_counter c;
        c.fail_at = why == KOMU_FAIL_NO_MEMORY;  // the first seek's buffer
        EXPECT_EQ(komu_seek(stream, n), -1);
        EXPECT_EQ(stream->failure.code, why) << n;
        EXPECT_EQ(stream->failure.frame, frame) << n;
        EXPECT_EQ(state_of(o.s), before);
    }
    ASSERT_EQ(komu_decode_next(&o.s), 0);
    EXPECT_EQ(o.frame(), picture(W, H, 5));
    // Closed twice, the record is fresh again (nothing left to free twice),
    // its descriptor really closed.
    const int fd = o.s.fd;
    komu_close(&o.s);
    komu_close(&o.s);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    komu_stream zero;
    komu_stream_init(&zero);
    EXPECT_EQ(std::memcmp(&o.s, &zero, sizeof zero), 0);
    EXPECT_EQ(komu_decode_next(&o.s), -1);
}

// The second of two frames refused: why, and that the record keeps the
// first as picture and reference. A payload read whole is counted as read;
// one that cannot be is neither skipped to nor allocated for.
TEST(Reader, RefusesABadSecondFrameKeepingTheFirst) {
    const bytes a = picture(W, H, 1), b = picture(W, H, 2), b_short(b.begin(), b.end() - 1);
    const uint32_t keep = 1;  // the offset or size as laid out
    const struct { payload second; uint32_t offset, size; bool pipe; uint32_t why; } rows[] = {
        {{0, b}, FB - 1, FB, false, KOMU_FAIL_OVERLAP},  // one byte inside the first payload
        {{0, b_short}, keep, keep, false, KOMU_FAIL_RAW_SIZE},
        {{0, {}}, keep, keep, false, KOMU_FAIL_RAW_SIZE},
        {{KOMU_FRAME_DELTA, b_short}, keep, keep, false, KOMU_FAIL_RAW_MASK_SIZE},
        // One pixel, then a literal off the end: the pixel stays.
        {{KOMU_FRAME_RLE16, {0x00, 0x11, 0x22, 0x7F}}, keep, keep, false, KOMU_FAIL_RLE_PICTURE},
        {{KOMU_FRAME_DELTA | KOMU_FRAME_DELTA_RLE, {0x00, 0x11, 0x7F}}, keep, keep, false,
         KOMU_FAIL_RLE_MASK},
        {{0, b}, FB, 0xFFFFFFFF, false, KOMU_FAIL_PAYLOAD_PAST_END},  // 4 GiB in a small file
        {{0, b}, 0x7FFFFFFF, FB, false, KOMU_FAIL_PAYLOAD_PAST_END},  // after a 2 GiB gap
        {{0, b}, FB, KOMU_MAX_PIPE_PAYLOAD + 1, true, KOMU_FAIL_PIPE_PAYLOAD},
        {{0, b}, FB, FB + 1, true, KOMU_FAIL_PAYLOAD_CUT},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "failure " << r.why << " " << r.second.data.size());
        bytes content = indexed(header(W, H, KOMU_MODE_INDEXED, 2), {{0, a}, r.second});
        const komu_frame_entry e{r.offset == keep ? FB : r.offset,
                                 r.size == keep ? uint32_t(r.second.data.size()) : r.size, 0};
        std::memcpy(&content[KOMU_HEADER_BYTES + 12], &e, 8);
        temp_file f(content, r.pipe);
        alloc_counter count;
        opened_stream o(f.path());
        ASSERT_EQ(komu_decode_next(&o.s), 0);
        EXPECT_EQ(komu_decode_next(&o.s), -1);
        EXPECT_EQ(o.s.failure.code, r.why);
        EXPECT_EQ(o.s.failure.frame, 2u);
        EXPECT_EQ(o.s.next_index, 1u);
        const bool read = r.why >= KOMU_FAIL_RAW_SIZE && r.why <= KOMU_FAIL_RLE_MASK;
        EXPECT_EQ(o.s.consumed, FB + (read ? e.size : 0));
        bytes shown = a;
        if (r.why == KOMU_FAIL_RLE_PICTURE) shown[0] = 0x11, shown[1] = 0x22;
        EXPECT_EQ(o.frame(), shown);
        EXPECT_EQ(prev_of(o.s), a);
        EXPECT_EQ(count.peak, 24 + 2 * FB + 4096);  // index, frames, the first payload buffer
    }
}

// Each header field and the index's bounds, and paths that are no video:
// the failure that names the first bad thing, and a refused open holds
// nothing, nor allocated anything.
TEST(Reader, ValidatesTheHeaderAndIndexAndSaysWhichFailed) {
    constexpr uint32_t MAX = KOMU_MAX_INDEXED_FRAMES;
    constexpr size_t full = KOMU_HEADER_BYTES + size_t{MAX} * 12, big = 640 * 480 * 2 + 64;
    using change = void (*)(komu_header&);
    const change none = [](auto&) {}, max = [](auto& h) { h.mode = 2, h.frame_count = MAX; };
    const struct { uint32_t why; change set; size_t size = big; const char* path = nullptr; } rows[] = {
        {KOMU_FAIL_NONE, none}, {KOMU_FAIL_NONE, [](auto& h) { h.width = 640, h.height = 480; }},
        {KOMU_FAIL_NONE, [](auto& h) { h.frame_count = 0xFFFFFFFF; }},  // no index to hold
        {KOMU_FAIL_NOT_KOMU, [](auto& h) { h.magic = 0x4B4D5501; }},
        {KOMU_FAIL_WIDTH, [](auto& h) { h.width = 641; }}, {KOMU_FAIL_WIDTH, [](auto& h) { h.width = 0; }},
        {KOMU_FAIL_HEIGHT, [](auto& h) { h.height = 481; }}, {KOMU_FAIL_HEIGHT, [](auto& h) { h.height = 0; }},
        {KOMU_FAIL_MODE, [](auto& h) { h.mode = 0; }}, {KOMU_FAIL_MODE, [](auto& h) { h.mode = 4; }},
        {KOMU_FAIL_PIXEL_FORMAT, [](auto& h) { h.pixel_format = 0; }},
        {KOMU_FAIL_PIXEL_FORMAT, [](auto& h) { h.pixel_format = 2; }},
        {KOMU_FAIL_NO_FRAMES, [](auto& h) { h.frame_count = 0; }},
        {KOMU_FAIL_HEADER_SIZE, [](auto& h) { h.header_size = 27; }},
        {KOMU_FAIL_HEADER_PAST_END, [](auto& h) { h.header_size = 0xFFFFFFFF; }},
        {KOMU_FAIL_TOO_SHORT, none, 27}, {KOMU_FAIL_NONE, max, full}, {KOMU_FAIL_INDEX_PAST_END, max, full - 1},
        {KOMU_FAIL_TOO_MANY_FRAMES, [](auto& h) { h.mode = 2, h.frame_count = MAX + 1; }, full + 12},
        {KOMU_FAIL_INDEX_PAST_END, max, 1024}, {KOMU_FAIL_DIRECTORY, none, 0, "/tmp"},
        {KOMU_FAIL_NOT_KOMU, none, 0, "/dev/zero"}, {KOMU_FAIL_NO_SUCH_FILE, none, 0, "/nonexistent/file.komu"},
    };
    for (const auto& r : rows) {
        komu_header hd = header(1, 1, KOMU_MODE_SEQUENTIAL, 1);
        r.set(hd);
        bytes content(r.size, 0);
        std::copy_n(reinterpret_cast<const uint8_t*>(&hd), std::min(r.size, sizeof hd), content.begin());
        const temp_file f(content);
        alloc_counter count;
        opened_stream o(r.path ? r.path : f.path());
        EXPECT_EQ(o.s.failure.code, r.why) << "failure " << r.why << ", " << r.size << " bytes";
        EXPECT_EQ(o.result == 0, r.why == KOMU_FAIL_NONE);
        EXPECT_TRUE(o.result == 0 || (count.peak == 0 && o.s.fd == -1)) << count.peak;
    }
}

// The words every program prints for a failure: the figures in place,
// thousands separated, the frame counted from 1, cut to the buffer.
TEST(Reader, FailuresInWords) {
    const komu_failure width{KOMU_FAIL_WIDTH, 0, 700, 0}, overlap{KOMU_FAIL_OVERLAP, 37, 1000, 1234567};
    char text[200], small[8];
    komu_failure_text(&overlap, text, sizeof text);
    EXPECT_STREQ(text, "frame 37 cannot be decoded: it overlaps frame 36 (its payload starts at 1,000, the one "
                       "before ends at 1,234,567)");
    komu_failure_text(&width, text, sizeof text);
    EXPECT_STREQ(text, "width 700 is over 640");
    komu_failure_text(&width, small, sizeof small);
    EXPECT_STREQ(small, "width 7");
}

// To loop, a stream whose descriptor does not land back at the data area
// (data_offset 0 acts so) reopens its path: the same video, rewritten, plays
// on with the index it has; another video at that path, or no path, is
// refused.
TEST(Reader, ReopenWhileLoopingMustFindTheSameVideo) {
    const bytes a = picture(W, H, 1), b = picture(W, H, 2);
    const komu_header hd = header(W, H, KOMU_MODE_INDEXED, 2, KOMU_LOOP);
    using change = void (*)(komu_header&);
    const change changes[] = {[](auto&) {}, [](auto& h) { h.width = W * 2; }, [](auto& h) { h.height = H / 2; },
                              [](auto& h) { h.mode = KOMU_MODE_INDEXED_ALT; },
                              [](auto& h) { h.frame_count = 3; }, nullptr};
    for (size_t i = 0; i < std::size(changes); ++i) {
        SCOPED_TRACE(i);
        temp_file f(indexed(hd, {{0, a}, {0, a}}));
        opened_stream o(f.path());
        for (int k = 0; k < 2; ++k) ASSERT_EQ(komu_decode_next(&o.s), 0);
        const komu_frame_entry* index = o.s.index;
        komu_header other = hd;
        changes[i] ? changes[i](other) : void(o.s.path[0] = '\0');
        write_file(f.path(), indexed(other, std::vector<payload>(other.frame_count, {0, b})));
        o.s.data_offset = 0;
        if (i == 0) {
            ASSERT_EQ(komu_decode_next(&o.s), 0);
            EXPECT_EQ(o.frame(), b);
            EXPECT_EQ(o.s.index, index);
            EXPECT_EQ(o.s.data_offset, KOMU_HEADER_BYTES + 24);
        } else {
            EXPECT_EQ(komu_decode_next(&o.s), -1);
            EXPECT_EQ(o.s.failure.code, changes[i] ? KOMU_FAIL_CHANGED : KOMU_FAIL_CANNOT_REOPEN);
            EXPECT_EQ(o.s.fd, -1);
        }
    }
}

TEST(Reader, FrameIntervalFromTheDeclaredRate) {
    const struct { uint32_t num, den, us; } rates[] = {
        {30, 1, 33'333},  {25, 1, 40'000},   {0, 0, 33'333}, {30000, 1001, 33'366},
        {1000, 1, 1'000}, {2000, 1, 1'000},  {1, 1, 200'000}, {1, 10, 200'000},
        {1, 0xFFFFFFFF, 200'000},  // no 32-bit overflow
    };
    for (const auto& r : rates) EXPECT_EQ(komu_frame_interval_us(r.num, r.den), r.us) << r.num << "/" << r.den;
}

// Run-length decoding into a buffer of 0xCC, so untouched bytes show: runs
// of every sort, what is left over after a full output ignored, and every
// way a run can pass either end (the runs before it stay; it writes
// nothing). XORed onto the buffer instead, a mask (1-byte elements) changes
// all of it or, failing, nothing.
TEST(PackBits, DecodesRunsAndRefusesAnyRunPastEitherEnd) {
    const struct { bytes in; uint32_t elem; int result; bytes out; } rows[] = {
        {{0x01, 0x34, 0x12, 0x78, 0x56}, 2, 0, {0x34, 0x12, 0x78, 0x56}}, {{0x80, 0x00, 0xAA}, 1, 0, {0xAA}},
        {{0xFD, 0x34, 0x12}, 2, 0, {0x34, 0x12, 0x34, 0x12, 0x34, 0x12, 0x34, 0x12}},  // h = -3
        {{0x00, 0xAA, 0x00, 0xBB}, 1, 0, {0xAA}},  // output full: second run never read
        {{0xFE, 0x07, 0x80, 0x01, 0x01, 0x02}, 1, 0, {0x07, 0x07, 0x07, 0x01, 0x02}},
        {{0xFF, 0x00, 0x00, 0x11}, 1, 0, {0x00, 0x00, 0x11}}, {{}, 1, 0, {}}, {{}, 1, -1, {0xCC}},
        {{0x00, 0x11, 0x80}, 1, 0, {0x11}},  // even a lone 0x80 left over
        {{0xFF, 0x01}, 2, -1, {0xCC, 0xCC, 0xCC, 0xCC}},        // repeat with half an element
        {{0x02, 0xAA, 0xBB}, 1, -1, {0xCC, 0xCC, 0xCC}},        // literal needs 3, 2 left
        {{0xFD, 0x01}, 1, -1, {0xCC, 0xCC, 0xCC}},              // repeat of 4 into 3
        {{0x03, 1, 2, 3, 4}, 1, -1, {0xCC, 0xCC, 0xCC}},        // literal of 4 into 3
        {{0x00, 0x01, 0x00}, 2, -1, {0x01, 0x00, 0xCC, 0xCC}},  // ends one pixel short
        {{0x80, 0x80}, 1, -1, {0xCC}},                          // no-ops only
        {{0x01, 0x11, 0x22, 0x02, 0x33, 0x44, 0x55}, 1, -1, {0x11, 0x22, 0xCC, 0xCC}},
        {{0x00, 0x11, 0xF0, 0x22}, 1, -1, {0x11, 0xCC, 0xCC, 0xCC}}, {{0x00, 0x11}, 0, -1, {0xCC}},  // elem 1, 2 only
        {{0x00, 0x11, 0x22, 0x33, 0x44}, 4, -1, {0xCC, 0xCC, 0xCC, 0xCC}},
    };
    for (const auto& r : rows) {
        // A byte after each buffer: no run may read or write past the end.
        bytes in = r.in, out(r.out.size() + 1, 0xCC), masked = out, want = r.out;
        in.push_back(0x7F);
        want.push_back(0xCC);
        const auto in_len = uint32_t(r.in.size()), out_len = uint32_t(r.out.size());
        EXPECT_EQ(rle_decode_packbits(in.data(), in_len, out.data(), out_len, r.elem), r.result);
        EXPECT_EQ(out, want);
        if (r.elem != 1) continue;
        EXPECT_EQ(rle_xor_packbits(in.data(), in_len, masked.data(), out_len), r.result);
        for (size_t i = 0; i < out_len; ++i) want[i] = r.result ? 0xCC : want[i] ^ 0xCC;
        EXPECT_EQ(masked, want);
    }
    uint8_t byte = 0;
    EXPECT_EQ(rle_decode_packbits(nullptr, 0, &byte, 0, 1), -1);
    EXPECT_EQ(rle_decode_packbits(&byte, 1, nullptr, 0, 1), -1);
}

}  // namespace

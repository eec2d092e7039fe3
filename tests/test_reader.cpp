// The stream reader over files built byte by byte: every payload kind and
// mode, looping, hostile sizes, and the states it leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>

#include "komu.h"
#include "komu_test_files.h"

namespace {

using testfile::bytes;
using testfile::opened_stream;
using testfile::payload;
using testfile::temp_file;
using testfile::alloc_counter;
using testfile::hooked;

constexpr uint16_t W = 8, H = 4;
constexpr uint32_t FB = W * H * 2;

// Literal-only run-length coding: valid, if never smaller than the input.
bytes literal_rle(const bytes& data, uint32_t elem) {
    bytes out;
    const size_t n = data.size() / elem;
    for (size_t i = 0; i < n; i += 128) {
        const size_t run = std::min<size_t>(128, n - i);
        out.push_back(static_cast<uint8_t>(run - 1));
        out.insert(out.end(), data.begin() + static_cast<long>(i * elem),
                   data.begin() + static_cast<long>((i + run) * elem));
    }
    return out;
}

int open_only(const bytes& content) {
    temp_file f(content);
    komu_stream s;
    komu_stream_init(&s);
    const int r = komu_open_and_prepare_stream(&s, f.path());
    komu_close(&s);
    return r;
}

TEST(Reader, DecodesEveryPayloadKindInBothIndexedModes) {
    const bytes p0 = testfile::picture(W, H, 1), p1 = testfile::picture(W, H, 2);
    const bytes p2 = testfile::picture(W, H, 3), p3 = testfile::picture(W, H, 4);
    for (uint16_t mode : {KOMU_MODE_INDEXED, KOMU_MODE_INDEXED_ALT}) {
        SCOPED_TRACE(mode);
        // Bits that mean nothing for a kind (bit 1 on key frames, bit 0 on
        // deltas, high bits) are set on purpose.
        temp_file f(testfile::indexed(
            testfile::header(W, H, mode, 4),
            {{0x100 | KOMU_FRAME_DELTA_RLE, p0},
             {KOMU_FRAME_RLE16, literal_rle(p1, 2)},
             {KOMU_FRAME_DELTA | KOMU_FRAME_RLE16, testfile::xor_of(p1, p2)},
             {KOMU_FRAME_DELTA | KOMU_FRAME_DELTA_RLE, literal_rle(testfile::xor_of(p2, p3), 1)}}));
        opened_stream o(f.path());
        ASSERT_EQ(o.result, 0);
        EXPECT_EQ(o.s.data_offset, KOMU_HEADER_BYTES + 4 * KOMU_ENTRY_BYTES);
        for (const bytes* want : {&p0, &p1, &p2, &p3}) {
            ASSERT_EQ(komu_decode_next(&o.s), 0);
            EXPECT_EQ(o.frame(), *want);
            EXPECT_EQ(bytes(o.s.prev_frame, o.s.prev_frame + FB), *want);
        }
        EXPECT_EQ(o.s.next_index, 4u);
        EXPECT_EQ(komu_decode_next(&o.s), 1);
    }
}

TEST(Reader, SequentialFileEndsOrLoops) {
    const bytes a = testfile::picture(W, H, 7), b = testfile::picture(W, H, 8),
                c = testfile::picture(W, H, 9);
    temp_file once(testfile::sequential(testfile::header(W, H, KOMU_MODE_SEQUENTIAL, 3), {a, b, c}));
    opened_stream o(once.path());
    ASSERT_EQ(o.result, 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(komu_decode_next(&o.s), 0);
    EXPECT_EQ(o.frame(), c);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(komu_decode_next(&o.s), 1);
    EXPECT_EQ(o.frame(), c);
    EXPECT_EQ(o.s.next_index, 3u);

    temp_file looped(testfile::sequential(
        testfile::header(W, H, KOMU_MODE_SEQUENTIAL, 3, KOMU_LOOP), {a, b, c}));
    opened_stream l(looped.path());
    ASSERT_EQ(l.result, 0);
    for (int pass = 0; pass < 3; ++pass) {
        for (const bytes* want : {&a, &b, &c}) {
            ASSERT_EQ(komu_decode_next(&l.s), 0);
            EXPECT_EQ(l.frame(), *want);
        }
    }
    ASSERT_EQ(komu_decode_next(&l.s), 0);
    EXPECT_EQ(l.s.next_index, 1u);
    EXPECT_EQ(l.frame(), a);
}

TEST(Reader, SequentialFileCutShortFailsAtTheMissingFrame) {
    const bytes a = testfile::picture(W, H, 1), b = testfile::picture(W, H, 2);
    bytes content = testfile::sequential(testfile::header(W, H, KOMU_MODE_SEQUENTIAL, 5), {a, b});
    content.insert(content.end(), b.begin(), b.begin() + 10);  // 10 bytes of a third frame
    temp_file f(content);
    opened_stream o(f.path());
    ASSERT_EQ(o.result, 0);
    ASSERT_EQ(komu_decode_next(&o.s), 0);
    ASSERT_EQ(komu_decode_next(&o.s), 0);
    EXPECT_EQ(komu_decode_next(&o.s), -1);  // not 1: the file promised more
    // The bytes read so far are in cur_frame, the rest is still frame b.
    const bytes cur = o.frame();
    EXPECT_TRUE(std::equal(cur.begin(), cur.end(), b.begin()));
    EXPECT_EQ(o.s.next_index, 2u);
}

TEST(Reader, SkipsExtraHeaderBytesAndGaps) {
    const bytes a = testfile::picture(W, H, 3), b = testfile::picture(W, H, 4);
    komu_header hd = testfile::header(W, H, KOMU_MODE_INDEXED, 2);
    hd.header_size = 28 + 300;  // more than one 256-byte skip
    payload first{0, a, 5};
    payload second{0, b, 600};
    temp_file f(testfile::indexed(hd, {first, second}));
    opened_stream o(f.path());
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.s.data_offset, 328u + 24u);
    ASSERT_EQ(komu_decode_next(&o.s), 0);
    EXPECT_EQ(o.frame(), a);
    ASSERT_EQ(komu_decode_next(&o.s), 0);
    EXPECT_EQ(o.frame(), b);
    EXPECT_EQ(o.s.consumed, 5 + FB + 600 + FB);

    komu_header seq = testfile::header(W, H, KOMU_MODE_SEQUENTIAL, 1);
    seq.header_size = 40;
    temp_file g(testfile::sequential(seq, {a}));
    opened_stream s(g.path());
    ASSERT_EQ(s.result, 0);
    EXPECT_EQ(s.s.data_offset, 40u);
    ASSERT_EQ(komu_decode_next(&s.s), 0);
    EXPECT_EQ(s.frame(), a);
}

TEST(Reader, DeltaAtFrameZeroGivesTheSamePictureOnEveryLoop) {
    const bytes a = testfile::picture(W, H, 5), b = testfile::picture(W, H, 6);
    temp_file f(testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 2, KOMU_LOOP),
                                  {{KOMU_FRAME_DELTA, a}, {KOMU_FRAME_DELTA, testfile::xor_of(a, b)}}));
    opened_stream o(f.path());
    ASSERT_EQ(o.result, 0);
    for (int pass = 0; pass < 4; ++pass) {
        ASSERT_EQ(komu_decode_next(&o.s), 0);
        EXPECT_EQ(o.frame(), a) << "pass " << pass;
        ASSERT_EQ(komu_decode_next(&o.s), 0);
        EXPECT_EQ(o.frame(), b) << "pass " << pass;
    }
}

TEST(Reader, RefusesPayloadsThatOverlapOrHaveTheWrongSize) {
    const bytes a = testfile::picture(W, H, 1);
    bytes content = testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 2), {{0, a}, {0, a}});
    // Second entry's offset one byte inside the first payload.
    komu_frame_entry e{FB - 1, FB, 0};
    std::memcpy(content.data() + 28 + 12, &e, sizeof e);
    {
        temp_file f(content);
        opened_stream o(f.path());
        ASSERT_EQ(o.result, 0);
        ASSERT_EQ(komu_decode_next(&o.s), 0);
        EXPECT_EQ(komu_decode_next(&o.s), -1);
        EXPECT_EQ(o.frame(), a);
    }
    const bytes b = testfile::picture(W, H, 2);
    const bytes short_b(b.begin(), b.end() - 1);
    for (uint32_t kind : {0u, KOMU_FRAME_DELTA}) {
        SCOPED_TRACE(kind);
        temp_file f(testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 2),
                                      {{0, a}, {kind, short_b}}));
        opened_stream o(f.path());
        ASSERT_EQ(komu_decode_next(&o.s), 0);
        EXPECT_EQ(komu_decode_next(&o.s), -1);
        // Payload read and rejected: consumed moved past it, next_index did not,
        // and both frames are untouched.
        EXPECT_EQ(o.s.consumed, FB + FB - 1);
        EXPECT_EQ(o.s.next_index, 1u);
        EXPECT_EQ(o.frame(), a);
        EXPECT_EQ(bytes(o.s.prev_frame, o.s.prev_frame + FB), a);
    }
    temp_file empty(testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 1), {{0, {}}}));
    opened_stream o(empty.path());
    EXPECT_EQ(komu_decode_next(&o.s), -1);
}

TEST(Reader, FailedRunLengthKeyFrameLeavesItsDecodedRuns) {
    const bytes a = testfile::picture(W, H, 1);
    bytes coded{0x00, 0x11, 0x22, 0x7F};  // one pixel, then a literal running off the payload
    temp_file f(testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 2),
                                  {{0, a}, {KOMU_FRAME_RLE16, coded}}));
    opened_stream o(f.path());
    ASSERT_EQ(komu_decode_next(&o.s), 0);
    EXPECT_EQ(komu_decode_next(&o.s), -1);
    bytes want = a;
    want[0] = 0x11;
    want[1] = 0x22;
    EXPECT_EQ(o.frame(), want);
}

TEST(Reader, ValidatesEveryHeaderField) {
    auto seq = [&](auto change) {
        komu_header hd = testfile::header(1, 1, KOMU_MODE_SEQUENTIAL, 1);
        change(hd);
        bytes content = testfile::sequential(hd, {});
        content.resize(content.size() + 640 * 480 * 2, 0);  // room for any frame
        return open_only(content);
    };
    EXPECT_EQ(seq([](komu_header&) {}), 0);
    EXPECT_EQ(seq([](komu_header& h) { h.magic = 0x4B4D5501; }), -1);
    EXPECT_EQ(seq([](komu_header& h) { h.width = 640; h.height = 480; }), 0);
    EXPECT_EQ(seq([](komu_header& h) { h.width = 641; }), -1);
    EXPECT_EQ(seq([](komu_header& h) { h.height = 481; }), -1);
    EXPECT_EQ(seq([](komu_header& h) { h.width = 0; }), -1);
    EXPECT_EQ(seq([](komu_header& h) { h.height = 0; }), -1);
    EXPECT_EQ(seq([](komu_header& h) { h.mode = 0; }), -1);
    EXPECT_EQ(seq([](komu_header& h) { h.mode = 4; }), -1);
    EXPECT_EQ(seq([](komu_header& h) { h.pixel_format = 0; }), -1);
    EXPECT_EQ(seq([](komu_header& h) { h.pixel_format = 2; }), -1);
    EXPECT_EQ(seq([](komu_header& h) { h.frame_count = 0; }), -1);
    EXPECT_EQ(seq([](komu_header& h) { h.header_size = 27; }), -1);
    EXPECT_EQ(seq([](komu_header& h) { h.frame_count = 0xFFFFFFFF; }), 0);  // mode 1: no bound
    // Extra header bytes the file does not hold.
    komu_header big = testfile::header(1, 1, KOMU_MODE_SEQUENTIAL, 1);
    big.header_size = 0xFFFFFFFF;
    bytes big_file(4096, 0);
    std::memcpy(big_file.data(), &big, sizeof big);
    EXPECT_EQ(open_only(big_file), -1);

    // A file shorter than a header, and things that are not regular files.
    bytes hd(27, 0);
    EXPECT_EQ(open_only(hd), -1);
    komu_stream s;
    komu_stream_init(&s);
    EXPECT_EQ(komu_open_and_prepare_stream(&s, "/tmp"), -1);
    EXPECT_EQ(komu_open_and_prepare_stream(&s, "/dev/zero"), -1);
    EXPECT_EQ(komu_open_and_prepare_stream(&s, "/nonexistent/file.komu"), -1);
    EXPECT_EQ(s.fd, -1);
}

TEST(Reader, IndexSizeLimitAndIndexMustBeInTheFile) {
    // 699,050 entries is the largest index; the file must hold it all.
    komu_header hd = testfile::header(W, H, KOMU_MODE_INDEXED, KOMU_MAX_INDEXED_FRAMES);
    bytes content(sizeof hd + size_t{KOMU_MAX_INDEXED_FRAMES} * 12, 0);
    std::memcpy(content.data(), &hd, sizeof hd);
    EXPECT_EQ(open_only(content), 0);
    hd.frame_count += 1;
    std::memcpy(content.data(), &hd, sizeof hd);
    content.resize(content.size() + 12);
    EXPECT_EQ(open_only(content), -1);
    hd.frame_count = KOMU_MAX_INDEXED_FRAMES;
    std::memcpy(content.data(), &hd, sizeof hd);
    content.resize(sizeof hd + size_t{KOMU_MAX_INDEXED_FRAMES} * 12 - 1);  // one byte short
    EXPECT_EQ(open_only(content), -1);
}

TEST(Reader, DeclaredSizesBeyondTheFileAllocateNothing) {
    // A payload of 4 GiB declared in a small file.
    const bytes a = testfile::picture(W, H, 1);
    bytes content = testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 1), {{0, a}});
    const komu_frame_entry huge{0, 0xFFFFFFFF, 0};
    std::memcpy(content.data() + 28, &huge, sizeof huge);
    temp_file f(content);
    alloc_counter count;
    {
        hooked h(&count);
        opened_stream o(f.path());
        ASSERT_EQ(o.result, 0);
        EXPECT_EQ(komu_decode_next(&o.s), -1);
        EXPECT_EQ(o.s.payload_cap, 0u);
        EXPECT_EQ(count.peak, 12u + 2 * FB);  // the index and the two frames
    }
    EXPECT_EQ(count.bytes, 0u);

    // 699,050 frames declared in a 1 KiB file: refused before the index is allocated.
    bytes small(1024, 0);
    const komu_header hd = testfile::header(640, 480, KOMU_MODE_INDEXED, KOMU_MAX_INDEXED_FRAMES);
    std::memcpy(small.data(), &hd, sizeof hd);
    temp_file g(small);
    alloc_counter none;
    {
        hooked h(&none);
        EXPECT_EQ(open_only(small), -1);
    }
    EXPECT_EQ(none.peak, 0u);

    // A gap that runs past the end of the file fails before it is read through.
    bytes gap = testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 1), {{0, a}});
    const komu_frame_entry far{0x7FFFFFFF, FB, 0};
    std::memcpy(gap.data() + 28, &far, sizeof far);
    temp_file gf(gap);
    opened_stream o(gf.path());
    EXPECT_EQ(komu_decode_next(&o.s), -1);
    EXPECT_EQ(o.s.consumed, 0u);
}

TEST(Reader, ReopenWhileLoopingMustFindTheSameVideo) {
    const bytes a = testfile::picture(W, H, 1), b = testfile::picture(W, H, 2);
    temp_file f(testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 2, KOMU_LOOP),
                                  {{0, a}, {0, b}}));
    // The same video: the reopen skips the index and playback goes on.
    {
        opened_stream o(f.path());
        ASSERT_EQ(komu_decode_next(&o.s), 0);
        ASSERT_EQ(komu_decode_next(&o.s), 0);
        const komu_frame_entry* index = o.s.index;
        o.s.data_offset = 0;  // as if the descriptor could not seek: forces a reopen
        ASSERT_EQ(komu_decode_next(&o.s), 0);
        EXPECT_EQ(o.frame(), a);
        EXPECT_EQ(o.s.index, index);
        EXPECT_NE(o.s.data_offset, 0u);
    }
    // A different video at the same path: refused, whatever differs.
    const std::vector<std::function<void(komu_header&)>> changes = {
        [](komu_header& h) { h.width = W * 2; },
        [](komu_header& h) { h.height = H / 2; },
        [](komu_header& h) { h.mode = KOMU_MODE_INDEXED_ALT; },
        [](komu_header& h) { h.frame_count = 3; }};
    for (size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        bytes content = testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 2, KOMU_LOOP),
                                          {{0, a}, {0, b}});
        temp_file g(content);
        opened_stream o(g.path());
        ASSERT_EQ(komu_decode_next(&o.s), 0);
        ASSERT_EQ(komu_decode_next(&o.s), 0);
        komu_header other = o.s.header;
        changes[i](other);
        bytes replaced = testfile::indexed(other, {{0, a}, {0, b}, {0, b}});
        replaced.resize(replaced.size() + 4 * FB, 0);
        const int fd = open(g.path(), O_WRONLY | O_TRUNC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, replaced.data(), replaced.size()), static_cast<ssize_t>(replaced.size()));
        close(fd);
        o.s.data_offset = 0;
        EXPECT_EQ(komu_decode_next(&o.s), -1);
        EXPECT_EQ(o.s.fd, -1);
    }
    // An empty path cannot be reopened.
    opened_stream o(f.path());
    ASSERT_EQ(komu_decode_next(&o.s), 0);
    ASSERT_EQ(komu_decode_next(&o.s), 0);
    o.s.data_offset = 0;
    o.s.path[0] = '\0';
    EXPECT_EQ(komu_decode_next(&o.s), -1);
}

TEST(Reader, CloseIsSafeTwiceAndOnAFreshRecord) {
    komu_stream s;
    komu_stream_init(&s);
    komu_close(&s);
    EXPECT_EQ(s.fd, -1);
    EXPECT_EQ(komu_decode_next(&s), -1);

    temp_file f(testfile::sequential(testfile::header(W, H, KOMU_MODE_SEQUENTIAL, 1),
                                     {testfile::picture(W, H, 1)}));
    opened_stream o(f.path());
    const int fd = o.s.fd;
    ASSERT_GE(fd, 0);
    komu_close(&o.s);
    komu_close(&o.s);
    EXPECT_EQ(o.s.fd, -1);
    EXPECT_EQ(o.s.cur_frame, nullptr);
    EXPECT_EQ(o.s.data_offset, 0u);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the descriptor is really closed
    komu_stream zero;
    komu_stream_init(&zero);
    EXPECT_EQ(std::memcmp(&o.s, &zero, sizeof zero), 0);
}

TEST(Reader, FrameIntervalFromTheDeclaredRate) {
    EXPECT_EQ(komu_frame_interval_us(30, 1), 33'333u);
    EXPECT_EQ(komu_frame_interval_us(25, 1), 40'000u);
    EXPECT_EQ(komu_frame_interval_us(0, 0), 33'333u);
    EXPECT_EQ(komu_frame_interval_us(30000, 1001), 33'366u);
    EXPECT_EQ(komu_frame_interval_us(1000, 1), 1'000u);
    EXPECT_EQ(komu_frame_interval_us(2000, 1), 1'000u);
    EXPECT_EQ(komu_frame_interval_us(1, 1), 200'000u);
    EXPECT_EQ(komu_frame_interval_us(1, 10), 200'000u);
    EXPECT_EQ(komu_frame_interval_us(1, 0xFFFFFFFF), 200'000u);  // no 32-bit overflow
}

}  // namespace

// The stream reader over files built byte by byte: every payload kind and
// mode, looping, hostile sizes, and the states it leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "komu.h"
#include "komu_test_files.h"

namespace {

using testfile::alloc_counter;
using testfile::bytes;
using testfile::hooked;
using testfile::opened_stream;
using testfile::payload;
using testfile::picture;
using testfile::temp_file;

constexpr uint16_t W = 8, H = 4;
constexpr uint32_t FB = W * H * 2;

// One literal run: valid coding for up to 128 elements (the pictures here
// have 32 pixels), if never smaller than the input.
bytes literal_rle(const bytes& data, uint32_t elem) {
    bytes out{static_cast<uint8_t>(data.size() / elem - 1)};
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// The failure an open reports (KOMU_FAIL_NONE when it succeeds).
uint32_t open_only(const bytes& content) {
    temp_file f(content);
    komu_stream s;
    komu_stream_init(&s);
    const int r = komu_open_and_prepare_stream(&s, f.path());
    const uint32_t why = s.failure.code;
    komu_close(&s);
    EXPECT_EQ(r == 0, why == KOMU_FAIL_NONE);
    return why;
}

bytes prev_of(const opened_stream& o) { return bytes(o.s.prev_frame, o.s.prev_frame + FB); }

// Decodes one frame per picture, `passes` times over, expecting each in turn.
void expect_frames(opened_stream* o, std::initializer_list<const bytes*> want, int passes = 1) {
    for (int pass = 0; pass < passes; ++pass) {
        for (const bytes* w : want) {
            ASSERT_EQ(komu_decode_next(&o->s), 0) << "pass " << pass;
            ASSERT_EQ(o->frame(), *w) << "pass " << pass;
        }
    }
}

TEST(Reader, DecodesEveryPayloadKindInBothIndexedModes) {
    const bytes p0 = picture(W, H, 1), p1 = picture(W, H, 2), p2 = picture(W, H, 3),
                p3 = picture(W, H, 4);
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
            expect_frames(&o, {want});
            EXPECT_EQ(prev_of(o), *want);
        }
        EXPECT_EQ(o.s.next_index, 4u);
        EXPECT_EQ(komu_decode_next(&o.s), 1);
    }
}

TEST(Reader, EndsOrLoopsAndADeltaAtFrameZeroLoopsAlike) {
    const bytes a = picture(W, H, 7), b = picture(W, H, 8), c = picture(W, H, 9);
    const auto seq = [&](uint8_t flags) {
        return testfile::sequential(testfile::header(W, H, KOMU_MODE_SEQUENTIAL, 3, flags), {a, b, c});
    };
    temp_file once(seq(0));
    opened_stream o(once.path());
    expect_frames(&o, {&a, &b, &c});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(komu_decode_next(&o.s), 1);
    EXPECT_EQ(o.frame(), c);
    EXPECT_EQ(o.s.next_index, 3u);

    temp_file looped(seq(KOMU_LOOP));
    opened_stream l(looped.path());
    expect_frames(&l, {&a, &b, &c}, 3);
    expect_frames(&l, {&a});
    EXPECT_EQ(l.s.next_index, 1u);

    // Both frames XOR onto the previous one: the restart must start from zero.
    temp_file d(testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 2, KOMU_LOOP),
                                  {{KOMU_FRAME_DELTA, a}, {KOMU_FRAME_DELTA, testfile::xor_of(a, b)}}));
    opened_stream od(d.path());
    expect_frames(&od, {&a, &b}, 4);
}

TEST(Reader, SequentialFileCutShortFailsAtTheMissingFrame) {
    const bytes a = picture(W, H, 1), b = picture(W, H, 2);
    bytes content = testfile::sequential(testfile::header(W, H, KOMU_MODE_SEQUENTIAL, 5), {a, b});
    content.insert(content.end(), b.begin(), b.begin() + 10);  // 10 bytes of a third frame
    temp_file f(content);
    opened_stream o(f.path());
    expect_frames(&o, {&a, &b});
    EXPECT_EQ(komu_decode_next(&o.s), -1);  // not 1: the file promised more
    // The bytes read so far are in cur_frame, the rest is still frame b.
    EXPECT_EQ(o.frame(), b);
    EXPECT_EQ(o.s.next_index, 2u);
}

TEST(Reader, SkipsExtraHeaderBytesAndGaps) {
    const bytes a = picture(W, H, 3), b = picture(W, H, 4);
    komu_header hd = testfile::header(W, H, KOMU_MODE_INDEXED, 2);
    hd.header_size = 28 + 300;  // more than one 256-byte skip
    temp_file f(testfile::indexed(hd, {payload{0, a, 5}, payload{0, b, 600}}));
    opened_stream o(f.path());
    EXPECT_EQ(o.s.data_offset, 328u + 24u);
    expect_frames(&o, {&a, &b});
    EXPECT_EQ(o.s.consumed, 5 + FB + 600 + FB);

    komu_header seq = testfile::header(W, H, KOMU_MODE_SEQUENTIAL, 1);
    seq.header_size = 40;
    temp_file g(testfile::sequential(seq, {a}));
    opened_stream s(g.path());
    EXPECT_EQ(s.s.data_offset, 40u);
    expect_frames(&s, {&a});
}

TEST(Reader, RefusesBadPayloadsLeavingTheFramesAsTheyWere) {
    const bytes a = picture(W, H, 1), b = picture(W, H, 2);
    bytes content = testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 2), {{0, a}, {0, a}});
    const komu_frame_entry inside{FB - 1, FB, 0};  // one byte inside the first payload
    std::memcpy(content.data() + 28 + 12, &inside, sizeof inside);
    {
        temp_file f(content);
        opened_stream o(f.path());
        expect_frames(&o, {&a});
        EXPECT_EQ(komu_decode_next(&o.s), -1);
        EXPECT_EQ(o.frame(), a);
    }
    for (uint32_t kind : {0u, KOMU_FRAME_DELTA}) {
        SCOPED_TRACE(kind);
        temp_file f(testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 2),
                                      {{0, a}, {kind, bytes(b.begin(), b.end() - 1)}}));
        opened_stream o(f.path());
        expect_frames(&o, {&a});
        EXPECT_EQ(komu_decode_next(&o.s), -1);
        // Read and rejected: consumed moved past it, next_index did not.
        EXPECT_EQ(o.s.consumed, FB + FB - 1);
        EXPECT_EQ(o.s.next_index, 1u);
        EXPECT_EQ(o.frame(), a);
        EXPECT_EQ(prev_of(o), a);
    }
    {
        temp_file empty(testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 1), {{0, {}}}));
        opened_stream o(empty.path());
        EXPECT_EQ(komu_decode_next(&o.s), -1);
    }
    // A run-length key frame that fails keeps the runs decoded before the fault.
    const bytes coded{0x00, 0x11, 0x22, 0x7F};  // one pixel, then a literal off the end
    temp_file f(testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 2),
                                  {{0, a}, {KOMU_FRAME_RLE16, coded}}));
    opened_stream o(f.path());
    expect_frames(&o, {&a});
    EXPECT_EQ(komu_decode_next(&o.s), -1);
    bytes want = a;
    want[0] = 0x11;
    want[1] = 0x22;
    EXPECT_EQ(o.frame(), want);
}

TEST(Reader, ValidatesEveryHeaderFieldAndSaysWhichFailed) {
    using change = void (*)(komu_header&);
    const std::pair<change, uint32_t> cases[] = {
        {[](komu_header&) {}, KOMU_FAIL_NONE},
        {[](komu_header& h) { h.width = 640; h.height = 480; }, KOMU_FAIL_NONE},
        {[](komu_header& h) { h.frame_count = 0xFFFFFFFF; }, KOMU_FAIL_NONE},  // sequential: no bound
        {[](komu_header& h) { h.magic = 0x4B4D5501; }, KOMU_FAIL_NOT_KOMU},
        {[](komu_header& h) { h.width = 641; }, KOMU_FAIL_WIDTH},
        {[](komu_header& h) { h.height = 481; }, KOMU_FAIL_HEIGHT},
        {[](komu_header& h) { h.width = 0; }, KOMU_FAIL_WIDTH},
        {[](komu_header& h) { h.height = 0; }, KOMU_FAIL_HEIGHT},
        {[](komu_header& h) { h.mode = 0; }, KOMU_FAIL_MODE},
        {[](komu_header& h) { h.mode = 4; }, KOMU_FAIL_MODE},
        {[](komu_header& h) { h.pixel_format = 0; }, KOMU_FAIL_PIXEL_FORMAT},
        {[](komu_header& h) { h.pixel_format = 2; }, KOMU_FAIL_PIXEL_FORMAT},
        {[](komu_header& h) { h.frame_count = 0; }, KOMU_FAIL_NO_FRAMES},
        {[](komu_header& h) { h.header_size = 27; }, KOMU_FAIL_HEADER_SIZE},
        // More than the file holds.
        {[](komu_header& h) { h.header_size = 0xFFFFFFFF; }, KOMU_FAIL_HEADER_PAST_END},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        komu_header hd = testfile::header(1, 1, KOMU_MODE_SEQUENTIAL, 1);
        cases[i].first(hd);
        bytes content(640 * 480 * 2 + 64, 0);  // room for any frame
        std::memcpy(content.data(), &hd, sizeof hd);
        EXPECT_EQ(open_only(content), cases[i].second) << "case " << i;
    }
    // A file shorter than a header, and things that are not files.
    EXPECT_EQ(open_only(bytes(27, 0)), KOMU_FAIL_TOO_SHORT);
    komu_stream s;
    komu_stream_init(&s);
    for (auto [path, why] : {std::pair{"/tmp", KOMU_FAIL_DIRECTORY}, {"/dev/zero", KOMU_FAIL_NOT_KOMU},
                             {"/nonexistent/file.komu", KOMU_FAIL_NO_SUCH_FILE}}) {
        EXPECT_EQ(komu_open_and_prepare_stream(&s, path), -1) << path;
        EXPECT_EQ(s.failure.code, why) << path;
    }
    EXPECT_EQ(s.fd, -1);
}

// The words every program prints for a failure: the figures in place,
// thousands separated, the frame counted from 1, cut to the buffer.
TEST(Reader, FailuresInWords) {
    const std::pair<komu_failure, const char*> cases[] = {
        {{KOMU_FAIL_WIDTH, 0, 700, 0}, "width 700 is over 640"},
        {{KOMU_FAIL_RAW_SIZE, 1, 3, 614400}, "frame 1 cannot be decoded: its payload is 3 bytes, a raw frame needs 614,400"},
        {{KOMU_FAIL_OVERLAP, 37, 1000, 1234567}, "frame 37 cannot be decoded: it overlaps frame 36 (its payload starts at 1,000, the one before ends at 1,234,567)"},
        {{KOMU_FAIL_NO_SUCH_FILE, 0, 0, 0}, "does not exist"},
    };
    for (const auto& [failure, words] : cases) {
        char text[200];
        komu_failure_text(&failure, text, sizeof text);
        EXPECT_STREQ(text, words);
    }
    char small[8];
    komu_failure_text(&cases[0].first, small, sizeof small);
    EXPECT_STREQ(small, "width 7");
}

TEST(Reader, IndexBoundsAndDeclaredSizesBeyondTheFileAllocateNothing) {
    // 699,050 entries is the largest index; the file must hold it all.
    komu_header hd = testfile::header(W, H, KOMU_MODE_INDEXED, KOMU_MAX_INDEXED_FRAMES);
    const size_t full = sizeof hd + size_t{KOMU_MAX_INDEXED_FRAMES} * 12;
    const auto with = [&](uint32_t frames, size_t size) {
        bytes content(size, 0);
        hd.frame_count = frames;
        std::memcpy(content.data(), &hd, sizeof hd);
        return open_only(content);
    };
    EXPECT_EQ(with(KOMU_MAX_INDEXED_FRAMES, full), KOMU_FAIL_NONE);
    EXPECT_EQ(with(KOMU_MAX_INDEXED_FRAMES + 1, full + 12), KOMU_FAIL_TOO_MANY_FRAMES);
    EXPECT_EQ(with(KOMU_MAX_INDEXED_FRAMES, full - 1), KOMU_FAIL_INDEX_PAST_END);
    {
        alloc_counter none;  // 699,050 frames in 1 KiB: refused before the index is allocated
        hooked h(&none);
        EXPECT_EQ(with(KOMU_MAX_INDEXED_FRAMES, 1024), KOMU_FAIL_INDEX_PAST_END);
        EXPECT_EQ(none.peak, 0u);
    }
    // A payload of 4 GiB, then one at 2 GiB, declared in a small file.
    const bytes a = picture(W, H, 1);
    for (const komu_frame_entry e : {komu_frame_entry{0, 0xFFFFFFFF, 0}, komu_frame_entry{0x7FFFFFFF, FB, 0}}) {
        bytes content = testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 1), {{0, a}});
        std::memcpy(content.data() + 28, &e, sizeof e);
        temp_file f(content);
        alloc_counter count;
        {
            hooked h(&count);
            opened_stream o(f.path());
            ASSERT_EQ(o.result, 0);
            EXPECT_EQ(komu_decode_next(&o.s), -1);
            EXPECT_EQ(o.s.failure.code, KOMU_FAIL_PAYLOAD_PAST_END);
            EXPECT_EQ(o.s.payload_cap, 0u);
            EXPECT_EQ(o.s.consumed, 0u);  // the gap is not read through either
            EXPECT_EQ(count.peak, 12u + 2 * FB);  // the index and the two frames
        }
        EXPECT_EQ(count.bytes, 0u);
    }
}

// Replaces the file at `path` with `content`, in place.
void rewrite(const char* path, const bytes& content) {
    const int fd = open(path, O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
}

TEST(Reader, ReopenWhileLoopingMustFindTheSameVideo) {
    const bytes a = picture(W, H, 1), b = picture(W, H, 2);
    const bytes content = testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, 2, KOMU_LOOP),
                                            {{0, a}, {0, b}});
    // data_offset 0 acts as if the descriptor could not seek: forces a reopen.
    // The same video: the reopen skips the index and playback goes on.
    temp_file f(content);
    {
        opened_stream o(f.path());
        expect_frames(&o, {&a, &b});
        const komu_frame_entry* index = o.s.index;
        o.s.data_offset = 0;
        expect_frames(&o, {&a});
        EXPECT_EQ(o.s.index, index);
        EXPECT_NE(o.s.data_offset, 0u);
    }
    // A different video at the same path is refused, whatever differs; so is
    // an empty path.
    const std::vector<std::function<void(komu_header&)>> changes = {
        [](komu_header& h) { h.width = W * 2; }, [](komu_header& h) { h.height = H / 2; },
        [](komu_header& h) { h.mode = KOMU_MODE_INDEXED_ALT; },
        [](komu_header& h) { h.frame_count = 3; }, nullptr};
    for (size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        temp_file g(content);
        opened_stream o(g.path());
        expect_frames(&o, {&a, &b});
        if (changes[i]) {
            komu_header other = o.s.header;
            changes[i](other);
            bytes replaced = testfile::indexed(other, {{0, a}, {0, b}, {0, b}});
            replaced.resize(replaced.size() + 4 * FB, 0);
            rewrite(g.path(), replaced);
        } else {
            o.s.path[0] = '\0';
        }
        o.s.data_offset = 0;
        EXPECT_EQ(komu_decode_next(&o.s), -1);
        EXPECT_EQ(o.s.fd, -1);
    }
}

// Everything a seek must leave as decoding would: the pictures, the
// position, and where the descriptor stands.
auto state_of(const komu_stream& s) {
    return std::tuple{bytes(s.cur_frame, s.cur_frame + FB), bytes(s.prev_frame, s.prev_frame + FB),
                      s.next_index, s.consumed, lseek(s.fd, 0, SEEK_CUR)};
}

// Nine frames in each mode; indexed: deltas from the zero picture first, then
// a key frame every third, payload kinds alternating, gaps between payloads.
// From every position, a seek to any frame leaves the record exactly as
// decoding that far from a fresh open does; the next decode goes on from it.
TEST(Reader, SeekLeavesTheRecordAsDecodingThereWouldOrAsItWas) {
    constexpr uint32_t N = 9;
    std::vector<bytes> pics;
    std::vector<payload> entries;
    for (uint32_t k = 0; k < N; ++k) {
        pics.push_back(picture(W, H, k + 1));
        const bool key = k % 3 == 2, rle = k % 2 == 1;
        const bytes raw = key ? pics[k] : testfile::xor_of(k ? pics[k - 1] : bytes(FB, 0), pics[k]);
        entries.push_back({key ? (rle ? KOMU_FRAME_RLE16 : 0) : KOMU_FRAME_DELTA | (rle ? KOMU_FRAME_DELTA_RLE : 0),
                           rle ? literal_rle(raw, key ? 2 : 1) : raw, k % 4});
    }
    const bytes files[] = {testfile::indexed(testfile::header(W, H, KOMU_MODE_INDEXED, N, KOMU_LOOP), entries),
                           testfile::sequential(testfile::header(W, H, KOMU_MODE_SEQUENTIAL, N), pics)};
    for (const bytes& content : files) {
        temp_file f(content);
        opened_stream fresh(f.path());
        std::vector<decltype(state_of(fresh.s))> after{state_of(fresh.s)};  // after n decodes
        for (uint32_t n = 1; n <= N; ++n) {
            ASSERT_EQ(komu_decode_next(&fresh.s), 0);
            after.push_back(state_of(fresh.s));
        }
        opened_stream o(f.path());
        for (uint32_t n : {9u, 1u, 2u, 0u, 5u, 6u, 7u, 8u, 3u, 9u, 4u, 4u}) {
            SCOPED_TRACE(n);
            const bytes shown = o.frame();
            ASSERT_EQ(komu_seek(&o.s, n), 0);
            auto want = after[n];
            if (n == 0) std::get<0>(want) = shown;  // nothing decoded: the picture stays
            ASSERT_EQ(state_of(o.s), want);
        }
        expect_frames(&o, {&pics[4], &pics[5]});
    }
    // Failing, for want of memory, at frame 8 (a run-length delta cut by a
    // byte), past the end, from a pipe: the record stays as it was.
    bytes broken = files[0];
    const uint32_t short_size = static_cast<uint32_t>(entries[7].data.size() - 1);
    std::memcpy(broken.data() + 28 + 7 * 12 + 4, &short_size, 4);
    temp_file f(broken), p(broken, true);
    opened_stream o(f.path()), piped(p.path());
    expect_frames(&o, {&pics[0], &pics[1], &pics[2], &pics[3]});
    const auto before = state_of(o.s);
    {
        alloc_counter none;
        none.fail_at = 1;
        hooked h(&none);
        EXPECT_EQ(komu_seek(&o.s, 8), -1);
    }
    EXPECT_EQ(o.s.failure.code, KOMU_FAIL_NO_MEMORY);
    EXPECT_EQ(state_of(o.s), before);
    const std::tuple<komu_stream*, uint32_t, uint32_t, uint32_t> failing[] = {
        {&o.s, 8, KOMU_FAIL_RLE_MASK, 8}, {&o.s, 10, KOMU_FAIL_NO_SUCH_FRAME, 0},
        {&piped.s, 1, KOMU_FAIL_CANNOT_SEEK, 0}};
    for (const auto& [stream, n, why, frame] : failing) {
        EXPECT_EQ(komu_seek(stream, n), -1);
        EXPECT_EQ(stream->failure.code, why) << n;
        EXPECT_EQ(stream->failure.frame, frame) << n;
        EXPECT_EQ(state_of(o.s), before);
    }
    expect_frames(&o, {&pics[4]});
}

TEST(Reader, CloseIsSafeTwiceAndOnAFreshRecord) {
    komu_stream s;
    komu_stream_init(&s);
    komu_close(&s);
    EXPECT_EQ(s.fd, -1);
    EXPECT_EQ(komu_decode_next(&s), -1);

    temp_file f(testfile::sequential(testfile::header(W, H, KOMU_MODE_SEQUENTIAL, 1), {picture(W, H, 1)}));
    opened_stream o(f.path());
    const int fd = o.s.fd;
    ASSERT_GE(fd, 0);
    komu_close(&o.s);
    komu_close(&o.s);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the descriptor is really closed
    komu_stream zero;  // and the record is as fresh: nothing left to free twice
    komu_stream_init(&zero);
    EXPECT_EQ(std::memcmp(&o.s, &zero, sizeof zero), 0);
}

TEST(Reader, FrameIntervalFromTheDeclaredRate) {
    const struct { uint32_t num, den, us; } rates[] = {
        {30, 1, 33'333}, {25, 1, 40'000},   {0, 0, 33'333},     {30000, 1001, 33'366},
        {1000, 1, 1'000}, {2000, 1, 1'000}, {1, 1, 200'000},    {1, 10, 200'000},
        {1, 0xFFFFFFFF, 200'000},  // no 32-bit overflow
    };
    for (const auto& r : rates) EXPECT_EQ(komu_frame_interval_us(r.num, r.den), r.us) << r.num << "/" << r.den;
}

}  // namespace

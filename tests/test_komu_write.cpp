// Tests of the encoder in tools/komu_write: the PackBits encoder against the
// reader's decoder and against the smallest possible coding, the per-frame
// choice of payload kind, and komu_encode's files read back by the reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "komu.h"
#include "komu_write.h"

namespace {

using bytes = std::vector<uint8_t>;

// The smallest PackBits coding of data, by dynamic programming over every
// split into literals (1..128 elements) and repeats (2..128 equal elements).
size_t optimal_packbits_size(const bytes& data, uint32_t elem) {
    const size_t n = data.size() / elem;
    std::vector<size_t> best(n + 1, SIZE_MAX);
    best[0] = 0;
    for (size_t i = 1; i <= n; ++i) {
        for (size_t k = 1; k <= 128 && k <= i; ++k) {
            best[i] = std::min(best[i], best[i - k] + 1 + k * elem);
        }
        const uint8_t* last = &data[(i - 1) * elem];
        for (size_t k = 2; k <= 128 && k <= i; ++k) {
            if (std::memcmp(&data[(i - k) * elem], last, elem) != 0) break;
            best[i] = std::min(best[i], best[i - k] + 1 + elem);
        }
    }
    return best[n];
}

bytes decode(const bytes& coded, size_t size, uint32_t elem) {
    bytes out(size, 0xEE);
    const int r = rle_decode_packbits(coded.data(), static_cast<uint32_t>(coded.size()), out.data(),
                                      static_cast<uint32_t>(out.size()), elem);
    EXPECT_EQ(r, 0);
    return out;
}

// Checks one input: exact round trip, the worst-case bound and nearness to
// the optimum (at most one byte per 256 elements more).
void check_packbits(const bytes& data, uint32_t elem, const std::string& what) {
    SCOPED_TRACE(what + ", elem " + std::to_string(elem) + ", " +
                 std::to_string(data.size() / elem) + " elements");
    const bytes coded = rle_encode_packbits(data, elem);
    EXPECT_EQ(decode(coded, data.size(), elem), data);
    const size_t n = data.size() / elem;
    EXPECT_LE(coded.size(), data.size() + (n + 127) / 128);
    EXPECT_LE(coded.size(), optimal_packbits_size(data, elem) + 1 + n / 256);
}

// Sample inputs of n elements of elem bytes.
bytes random_data(size_t n, uint32_t elem, std::mt19937* rng) {
    bytes d(n * elem);
    for (uint8_t& b : d) b = static_cast<uint8_t>((*rng)());
    return d;
}

bytes constant_data(size_t n, uint32_t elem) {
    bytes d(n * elem);
    for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(0x5A + i % elem);
    return d;
}

bytes alternating_data(size_t n, uint32_t elem) {
    bytes d(n * elem);
    for (size_t i = 0; i < n; ++i) std::memset(&d[i * elem], (i & 1) ? 0xF0 : 0x0F, elem);
    return d;
}

// Runs of 1..max_run equal elements drawn from a small alphabet.
bytes short_runs(size_t n, uint32_t elem, uint32_t max_run, std::mt19937* rng) {
    bytes d;
    while (d.size() < n * elem) {
        const auto run = static_cast<uint32_t>(1 + (*rng)() % max_run);
        const auto a = static_cast<uint8_t>((*rng)() % 4), b = static_cast<uint8_t>((*rng)() % 4);
        for (uint32_t k = 0; k < run; ++k) {
            d.push_back(a);
            if (elem == 2) d.push_back(b);
        }
    }
    d.resize(n * elem);
    return d;
}

TEST(PackBitsEncoder, RoundTripsEveryShapeOfDataForBothElementSizes) {
    std::mt19937 rng(1234);
    for (uint32_t elem : {1u, 2u}) {
        for (size_t n : {1u, 2u, 3u, 127u, 128u, 129u, 255u, 256u, 257u, 1000u}) {
            check_packbits(random_data(n, elem, &rng), elem, "random");
            check_packbits(constant_data(n, elem), elem, "constant");
            check_packbits(alternating_data(n, elem), elem, "alternating");
            for (uint32_t max_run : {2u, 3u, 5u}) {
                check_packbits(short_runs(n, elem, max_run, &rng), elem,
                               "runs up to " + std::to_string(max_run));
            }
        }
    }
}

TEST(PackBitsEncoder, StaysNearTheSmallestCodingOnManyRandomInputs) {
    std::mt19937 rng(99);
    for (int trial = 0; trial < 400; ++trial) {
        const auto elem = static_cast<uint32_t>(1 + rng() % 2);
        const size_t n = 1 + rng() % 700;
        check_packbits(short_runs(n, elem, static_cast<uint32_t>(1 + rng() % 8), &rng), elem,
                       "trial " + std::to_string(trial));
    }
}

TEST(PackBitsEncoder, EmptyInputAndBadElementSizesGiveNothing) {
    EXPECT_TRUE(rle_encode_packbits({}, 1).empty());
    EXPECT_TRUE(rle_encode_packbits({}, 2).empty());
    const bytes three = {1, 2, 3};
    EXPECT_TRUE(rle_encode_packbits(three, 2).empty());  // not whole elements
    EXPECT_TRUE(rle_encode_packbits(three, 3).empty());
}

TEST(PackBitsEncoder, LongRunsBecomeRepeatsOf128) {
    for (uint32_t elem : {1u, 2u}) {
        SCOPED_TRACE(elem);
        // 1000 equal elements: 8 repeats (7 x 128 + 104), each a header and one element.
        EXPECT_EQ(rle_encode_packbits(constant_data(1000, elem), elem).size(), 8 * (1 + elem));
        // Exactly 128 and 129: one repeat, then one literal element.
        EXPECT_EQ(rle_encode_packbits(constant_data(128, elem), elem).size(), 1 + elem);
        EXPECT_EQ(rle_encode_packbits(constant_data(129, elem), elem).size(), 2 * (1 + elem));
    }
    // The repeat header says 128 copies: 1 - 128 = -127.
    const bytes coded = rle_encode_packbits(constant_data(128, 1), 1);
    ASSERT_EQ(coded.size(), 2u);
    EXPECT_EQ(static_cast<int8_t>(coded[0]), -127);
}

TEST(PackBitsEncoder, ShortRunsInsideALiteralAreKeptOnlyWhenBreakingCostsMore) {
    // Bytes: a pair inside a literal stays in it (one literal of 6: 7 bytes).
    const bytes pair = {1, 2, 7, 7, 3, 4};
    EXPECT_EQ(rle_encode_packbits(pair, 1).size(), 7u);
    // A run of five saves: literal 2 + repeat + literal 2 = 3 + 2 + 3.
    const bytes five = {1, 2, 7, 7, 7, 7, 7, 3, 4};
    EXPECT_EQ(rle_encode_packbits(five, 1).size(), 8u);
    // Pixels: three equal pixels inside a literal are split off: literal of
    // 2 (5 bytes) + repeat (3) + literal of 2 (5) = 13 < one literal of 7 (15).
    const bytes pixels = {1, 0, 2, 0, 9, 9, 9, 9, 9, 9, 3, 0, 4, 0};
    EXPECT_EQ(rle_encode_packbits(pixels, 2).size(), 13u);
    // Two equal pixels at the start: repeat (3) + literal of 2 (5) < 9.
    const bytes lead = {9, 9, 9, 9, 1, 0, 2, 0};
    EXPECT_EQ(rle_encode_packbits(lead, 2).size(), 8u);
}

// ---- Frame encoding -----------------------------------------------------------

komu_encode_options small_options(uint16_t w, uint16_t h) {
    komu_encode_options o;
    o.width = w;
    o.height = h;
    return o;
}

std::vector<uint32_t> entry_flags(const bytes& file) {
    komu_header h;
    std::memcpy(&h, file.data(), sizeof h);
    std::vector<uint32_t> flags(h.frame_count);
    for (uint32_t i = 0; i < h.frame_count; ++i) {
        komu_frame_entry e;
        std::memcpy(&e, &file[KOMU_HEADER_BYTES + i * KOMU_ENTRY_BYTES], sizeof e);
        flags[i] = e.flags;
    }
    return flags;
}

// Decodes every frame of file through the reader, as the player would.
bytes decode_with_reader(const bytes& file, uint32_t frames) {
    char path[] = "/tmp/komu_write_testXXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, file.data(), file.size()), static_cast<ssize_t>(file.size()));
    close(fd);
    komu_stream s;
    komu_stream_init(&s);
    bytes out;
    if (komu_open_and_prepare_stream(&s, path) == 0) {
        s.cur_frame = static_cast<uint8_t*>(std::calloc(s.frame_bytes, 1));
        s.prev_frame = static_cast<uint8_t*>(std::calloc(s.frame_bytes, 1));
        for (uint32_t i = 0; i < frames; ++i) {
            if (komu_decode_next(&s) != 0) {
                ADD_FAILURE() << "frame " << i << " did not decode";
                break;
            }
            out.insert(out.end(), s.cur_frame, s.cur_frame + s.frame_bytes);
        }
    } else {
        ADD_FAILURE() << "the reader refused the file";
    }
    komu_close(&s);
    unlink(path);
    return out;
}

// Five frames, width pixels wide, that give each payload kind a reason to
// win: noise, the same noise, stripes (one colour per row), the stripes with
// one byte changed, and noise again.
bytes varied_frames(uint32_t width, uint32_t frame_bytes, std::mt19937* rng) {
    bytes frames;
    auto add = [&](const bytes& f) { frames.insert(frames.end(), f.begin(), f.end()); };
    bytes noise(frame_bytes);
    for (uint8_t& b : noise) b = static_cast<uint8_t>((*rng)());
    add(noise);
    add(noise);  // identical: an all-zero mask, a tiny rle delta
    bytes stripes(frame_bytes);
    for (uint32_t i = 0; i < frame_bytes; ++i)
        stripes[i] = static_cast<uint8_t>(i / (2 * width) * 37);
    add(stripes);  // after noise: an rle key
    stripes[10] ^= 0xFF;
    add(stripes);  // one byte changed: an rle delta beats a repeat per row
    noise[0] ^= 1;
    add(noise);  // after stripes: nothing beats a raw key
    return frames;
}

TEST(FrameEncoder, AutomaticPicksTheSmallestKindFrameByFrame) {
    std::mt19937 rng(5);
    const komu_encode_options o = small_options(32, 16);
    const bytes frames = varied_frames(32, 32 * 16 * 2, &rng);
    bytes file;
    std::string error;
    ASSERT_TRUE(komu_encode(o, frames, &file, &error)) << error;
    const std::vector<uint32_t> expected = {0, KOMU_FRAME_DELTA | KOMU_FRAME_DELTA_RLE,
                                            KOMU_FRAME_RLE16,
                                            KOMU_FRAME_DELTA | KOMU_FRAME_DELTA_RLE, 0};
    EXPECT_EQ(entry_flags(file), expected);
    EXPECT_EQ(decode_with_reader(file, 5), frames);
}

TEST(FrameEncoder, EveryForcedKindDecodesToTheInputWithAndWithoutKeyInterval) {
    std::mt19937 rng(6);
    const bytes frames = varied_frames(20, 20 * 10 * 2, &rng);
    struct forced {
        komu_kind kind;
        uint32_t flags;      // of a frame that is not a forced key
        uint32_t key_flags;  // of a forced key frame
    };
    const forced cases[] = {
        {komu_kind::raw, 0, 0},
        {komu_kind::rle, KOMU_FRAME_RLE16, KOMU_FRAME_RLE16},
        {komu_kind::delta, KOMU_FRAME_DELTA, 0},
        {komu_kind::delta_rle, KOMU_FRAME_DELTA | KOMU_FRAME_DELTA_RLE, KOMU_FRAME_RLE16},
    };
    for (const forced& c : cases) {
        for (uint32_t key_interval : {0u, 1u, 2u}) {
            SCOPED_TRACE("kind " + std::to_string(int(c.kind)) + ", -g " +
                         std::to_string(key_interval));
            komu_encode_options o = small_options(20, 10);
            o.kind = c.kind;
            o.key_interval = key_interval;
            bytes file;
            std::string error;
            ASSERT_TRUE(komu_encode(o, frames, &file, &error)) << error;
            const std::vector<uint32_t> flags = entry_flags(file);
            for (uint32_t i = 0; i < flags.size(); ++i) {
                // Without -g even frame 0 may be a delta: its reference is zeros.
                const bool key = key_interval > 0 && i % key_interval == 0;
                EXPECT_EQ(flags[i], key ? c.key_flags : c.flags) << "frame " << i;
            }
            EXPECT_EQ(decode_with_reader(file, 5), frames);
        }
    }
}

TEST(FrameEncoder, KeyIntervalCountsFromTheLastKeyFrame) {
    // A flat frame then identical copies: automatic makes deltas, and -g 3
    // makes frames 0, 3, 6 keys; a natural key frame restarts the count.
    const uint32_t fb = 8 * 8 * 2;
    bytes frames(fb * 8, 0x11);
    komu_encode_options o = small_options(8, 8);
    o.key_interval = 3;
    bytes file;
    std::string error;
    ASSERT_TRUE(komu_encode(o, frames, &file, &error)) << error;
    std::vector<uint32_t> flags = entry_flags(file);
    for (uint32_t i = 0; i < flags.size(); ++i) {
        EXPECT_EQ((flags[i] & KOMU_FRAME_DELTA) == 0, i % 3 == 0) << "frame " << i;
    }
    // Frame 4 made a natural key (noise after flat is raw): the next forced key is 7.
    std::mt19937 rng(8);
    for (uint32_t k = 0; k < fb; ++k) frames[4 * fb + k] = static_cast<uint8_t>(rng());
    std::memcpy(&frames[5 * fb], &frames[4 * fb], fb);  // 5..7 repeat the noise
    std::memcpy(&frames[6 * fb], &frames[4 * fb], fb);
    std::memcpy(&frames[7 * fb], &frames[4 * fb], fb);
    ASSERT_TRUE(komu_encode(o, frames, &file, &error)) << error;
    flags = entry_flags(file);
    const std::vector<bool> key = {true, false, false, true, true, false, false, true};
    for (uint32_t i = 0; i < flags.size(); ++i) {
        EXPECT_EQ((flags[i] & KOMU_FRAME_DELTA) == 0, key[i]) << "frame " << i;
    }
    EXPECT_EQ(decode_with_reader(file, 8), frames);
}

// ---- Whole files -------------------------------------------------------------

TEST(KomuEncode, WritesTheHeaderFromTheOptions) {
    komu_encode_options o = small_options(3, 2);
    o.fps_num = 25;
    o.fps_den = 2;
    o.loop = true;
    o.mode = KOMU_MODE_INDEXED_ALT;
    const bytes frames(3 * 2 * 2 * 4, 0x42);
    bytes file;
    std::string error;
    ASSERT_TRUE(komu_encode(o, frames, &file, &error)) << error;
    komu_header h;
    std::memcpy(&h, file.data(), sizeof h);
    EXPECT_EQ(h.magic, KOMU_MAGIC);
    EXPECT_EQ(file[0], 0x00);  // the magic's bytes on disk: 00 55 4D 4B
    EXPECT_EQ(file[3], 0x4B);
    EXPECT_EQ(h.width, 3);
    EXPECT_EQ(h.height, 2);
    EXPECT_EQ(h.pixel_format, KOMU_PIXEL_RGB565);
    EXPECT_EQ(h.flags, KOMU_LOOP);
    EXPECT_EQ(h.mode, KOMU_MODE_INDEXED_ALT);
    EXPECT_EQ(h.frame_count, 4u);
    EXPECT_EQ(h.fps_num, 25u);
    EXPECT_EQ(h.fps_den, 2u);
    EXPECT_EQ(h.header_size, KOMU_HEADER_BYTES);
}

TEST(KomuEncode, ModeOneIsTheHeaderThenTheFramesAsTheyAre) {
    komu_encode_options o = small_options(4, 3);
    o.mode = KOMU_MODE_SEQUENTIAL;
    std::mt19937 rng(3);
    bytes frames(4 * 3 * 2 * 3);
    for (uint8_t& b : frames) b = static_cast<uint8_t>(rng() % 3);
    bytes file;
    std::string error;
    ASSERT_TRUE(komu_encode(o, frames, &file, &error)) << error;
    ASSERT_EQ(file.size(), KOMU_HEADER_BYTES + frames.size());
    EXPECT_TRUE(std::equal(frames.begin(), frames.end(), file.begin() + KOMU_HEADER_BYTES));
    EXPECT_EQ(decode_with_reader(file, 3), frames);
}

TEST(KomuEncode, RefusesWhatTheFormatCannotHold) {
    bytes file;
    std::string error;
    auto refuses = [&](const komu_encode_options& o, size_t input_bytes) {
        error.clear();
        const bool ok = komu_encode(o, bytes(input_bytes, 1), &file, &error);
        return !ok && !error.empty() && error.find('\n') == std::string::npos;
    };
    EXPECT_TRUE(refuses(small_options(641, 1), 641 * 2));
    EXPECT_TRUE(refuses(small_options(1, 481), 481 * 2));
    EXPECT_TRUE(refuses(small_options(0, 5), 0));
    EXPECT_TRUE(refuses(small_options(2, 2), 0));          // no frames
    EXPECT_TRUE(refuses(small_options(2, 2), 8 * 2 + 3));  // a partial frame
    komu_encode_options o = small_options(2, 2);
    o.fps_den = 0;
    EXPECT_TRUE(refuses(o, 8));
    o = small_options(2, 2);
    o.mode = 4;
    EXPECT_TRUE(refuses(o, 8));
    for (komu_kind k : {komu_kind::rle, komu_kind::delta, komu_kind::delta_rle}) {
        o = small_options(2, 2);
        o.mode = KOMU_MODE_SEQUENTIAL;
        o.kind = k;
        EXPECT_TRUE(refuses(o, 8));
    }
    // 640 x 480 is the largest size and is accepted.
    EXPECT_FALSE(refuses(small_options(640, 480), KOMU_MAX_FRAME_BYTES));
}

TEST(KomuEncode, IndexedFilesHoldAtMost699050FramesAnd4GiBOfData) {
    const komu_encode_options one_pixel = small_options(1, 1);
    bytes file;
    std::string error;
    const size_t limit = KOMU_MAX_INDEXED_FRAMES;
    EXPECT_TRUE(komu_encode(one_pixel, bytes(limit * 2, 7), &file, &error)) << error;
    EXPECT_FALSE(komu_encode(one_pixel, bytes((limit + 1) * 2, 7), &file, &error));
    komu_encode_options sequential = one_pixel;
    sequential.mode = KOMU_MODE_SEQUENTIAL;
    EXPECT_TRUE(komu_encode(sequential, bytes((limit + 1) * 2, 7), &file, &error)) << error;

    // The data limit, checked directly (a 4 GiB input is too big for a test).
    EXPECT_TRUE(komu_check_size(one_pixel, 10, 0xFFFFFFFFull, &error));
    EXPECT_FALSE(komu_check_size(one_pixel, 10, 0x100000000ull, &error));
    EXPECT_TRUE(komu_check_size(sequential, 10, 0x100000000ull, &error));
}

TEST(KomuEncode, PayloadKindOfEntryFlagsIgnoresTheMeaninglessBits) {
    EXPECT_EQ(komu_payload_kind(0), 0);
    EXPECT_EQ(komu_payload_kind(KOMU_FRAME_RLE16), 1);
    EXPECT_EQ(komu_payload_kind(KOMU_FRAME_DELTA_RLE), 0);  // bit 1 means nothing on a key
    EXPECT_EQ(komu_payload_kind(KOMU_FRAME_DELTA), 2);
    EXPECT_EQ(komu_payload_kind(KOMU_FRAME_DELTA | KOMU_FRAME_RLE16),
              2);  // bit 0 nothing on a delta
    EXPECT_EQ(komu_payload_kind(KOMU_FRAME_DELTA | KOMU_FRAME_DELTA_RLE), 3);
    EXPECT_EQ(komu_payload_kind(0xF0u | KOMU_FRAME_RLE16), 1);
}

}  // namespace

// Tests of the encoder in tools/komu_write: PackBits against the reader's
// decoder and the smallest possible coding, the automatic choice of payload
// kind read back through the reader, and what komu_encode refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "komu_test_files.h"
#include "komu_write.h"

namespace {

using bytes = std::vector<uint8_t>;

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

// n elements of elem bytes in runs of 1..max_run equal elements, each byte in
// 0..alphabet-1: noise (1, 256), one colour (big, 1), runs of all lengths.
bytes sample(size_t n, uint32_t elem, uint32_t max_run, uint32_t alphabet, std::mt19937* rng) {
    bytes d;
    while (d.size() < n * elem) {
        const uint32_t run = 1 + static_cast<uint32_t>((*rng)()) % max_run;
        const uint8_t e[2] = {static_cast<uint8_t>((*rng)() % alphabet),
                              static_cast<uint8_t>((*rng)() % alphabet)};
        for (uint32_t k = 0; k < run; ++k) d.insert(d.end(), e, e + elem);
    }
    d.resize(n * elem);
    return d;
}

TEST(PackBitsEncoder, RoundTripsVariedDataWithinAByteOfTheSmallestPer256Elements) {
    std::mt19937 rng(1234);
    auto check = [](const bytes& data, uint32_t elem) {
        const size_t n = data.size() / elem;
        SCOPED_TRACE("elem " + std::to_string(elem) + ", " + std::to_string(n) + " elements");
        const bytes coded = rle_encode_packbits(data, elem);
        bytes out(data.size(), 0xEE);
        ASSERT_EQ(rle_decode_packbits(coded.data(), static_cast<uint32_t>(coded.size()), out.data(),
                                      static_cast<uint32_t>(out.size()), elem),
                  0);
        EXPECT_EQ(out, data);
        EXPECT_LE(coded.size(), optimal_size(data, elem) + n / 256);
    };
    for (uint32_t elem : {1u, 2u}) {
        for (size_t n : {1u, 2u, 3u, 127u, 128u, 129u, 256u, 257u, 1000u, 1500u}) {
            for (auto [run, alphabet] :
                 {std::pair{1u, 256u}, {2000u, 1u}, {2u, 4u}, {5u, 4u}, {300u, 2u}}) {
                check(sample(n, elem, run, alphabet, &rng), elem);
            }
        }
    }
    EXPECT_TRUE(rle_encode_packbits({}, 2).empty());
    EXPECT_TRUE(rle_encode_packbits(bytes{1, 2, 3}, 2).empty());  // not whole elements
    EXPECT_TRUE(rle_encode_packbits(bytes{1, 2, 3}, 3).empty());
}

TEST(KomuEncode, AutomaticPicksTheSmallestKindFrameByFrame) {
    // Noise; the same (a tiny rle delta); stripes (rle key); the stripes with
    // one byte changed (rle delta); noise again (nothing beats a raw key).
    std::mt19937 rng(5);
    bytes noise(32 * 16 * 2), stripes(noise.size()), input, file;
    for (size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<uint8_t>(rng());
        stripes[i] = static_cast<uint8_t>(i / 64 * 37);
    }
    std::vector<bytes> frames = {noise, noise, stripes, stripes, noise};
    frames[3][10] ^= 0xFF;
    frames[4][0] ^= 1;
    komu_encode_options o;
    o.width = 32;
    o.height = 16;
    std::string error;
    for (const bytes& f : frames) input.insert(input.end(), f.begin(), f.end());
    ASSERT_TRUE(komu_encode(o, input, &file, &error)) << error;
    const testfile::temp_file temp(file);
    testfile::opened_stream st(temp.path());
    ASSERT_EQ(st.result, 0);
    const uint32_t rle_delta = KOMU_FRAME_DELTA | KOMU_FRAME_DELTA_RLE;
    const uint32_t expected[] = {0, rle_delta, KOMU_FRAME_RLE16, rle_delta, 0};
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(st.s.index[i].flags, expected[i]) << "frame " << i;
        ASSERT_EQ(komu_decode_next(&st.s), 0);
        EXPECT_TRUE(st.frame() == frames[i]) << "frame " << i;
    }
}

TEST(KomuEncode, RefusesWhatTheFormatCannotHold) {
    komu_encode_options o;
    std::string error;
    auto size_ok = [&](uint16_t w, uint16_t h) {
        o.width = w;
        o.height = h;
        return komu_check_options(o, &error);
    };
    EXPECT_TRUE(size_ok(1, 1) && size_ok(640, 480));
    EXPECT_FALSE(size_ok(641, 1) || size_ok(1, 481) || size_ok(0, 5) || size_ok(5, 0));
    ASSERT_TRUE(size_ok(10, 5));
    bytes file;
    EXPECT_FALSE(komu_encode(o, {}, &file, &error));                 // no frames
    EXPECT_FALSE(komu_encode(o, bytes(50 * 2 + 3), &file, &error));  // a partial frame
    EXPECT_TRUE(!error.empty() && error.find('\n') == std::string::npos) << error;
    // An index holds KOMU_MAX_INDEXED_FRAMES frames and 4 GiB - 1 bytes of
    // data (32-bit offsets); mode 1 has no index and no such limits.
    EXPECT_TRUE(komu_check_size(o, KOMU_MAX_INDEXED_FRAMES, 0xFFFFFFFFull, &error));
    EXPECT_FALSE(komu_check_size(o, KOMU_MAX_INDEXED_FRAMES + 1, 0, &error));
    EXPECT_FALSE(komu_check_size(o, 10, 0x100000000ull, &error));
    o.mode = KOMU_MODE_SEQUENTIAL;
    EXPECT_TRUE(komu_check_size(o, KOMU_MAX_INDEXED_FRAMES + 1, 0x100000000ull, &error));
}

}  // namespace

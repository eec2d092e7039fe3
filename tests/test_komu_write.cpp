// Tests of the encoder in tools/komu_write: PackBits against the reader's
// decoder and the smallest possible coding, and the limits of an index.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "komu_round_trip.h"
#include "komu_test_files.h"
#include "komu_write.h"

namespace {

using testfile::bytes;

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
        for (size_t n : {1u, 2u, 3u, 127u, 128u, 129u, 256u, 257u, 1000u, 1500u}) {
            for (auto [max_run, alphabet] :
                 {std::pair{1u, 256u}, {2000u, 1u}, {2u, 4u}, {5u, 4u}, {300u, 2u}}) {
                SCOPED_TRACE(testing::Message() << "elem " << elem << ", n " << n << ", run "
                                                << max_run << ", alphabet " << alphabet);
                bytes data;
                while (data.size() < n * elem) {
                    const uint8_t e[2] = {uint8_t(rng() % alphabet), uint8_t(rng() % alphabet)};
                    auto run = 1 + rng() % max_run;
                    while (run-- > 0) data.insert(data.end(), e, e + elem);
                }
                data.resize(n * elem);
                const bytes coded = rle_encode_packbits(data, elem);
                bytes out(data.size(), 0xEE);
                ASSERT_EQ(rle_decode_packbits(coded.data(), uint32_t(coded.size()), out.data(),
                                              uint32_t(out.size()), elem),
                          0);
                EXPECT_EQ(out, data);
                EXPECT_LE(coded.size(), optimal_size(data, elem) + n / 256);
            }
        }
    }
    EXPECT_TRUE(rle_encode_packbits({}, 2).empty());
    EXPECT_TRUE(rle_encode_packbits(bytes{1, 2, 3}, 2).empty());  // not whole elements
    EXPECT_TRUE(rle_encode_packbits(bytes{1, 2, 3}, 3).empty());  // elements of 1 or 2 bytes only
}

// No frames or a partial one; more than an index holds: KOMU_MAX_INDEXED_FRAMES
// frames, 4 GiB - 1 bytes of data (32-bit offsets). Mode 1 has no such limits.
TEST(KomuEncode, RefusesWhatTheFormatCannotHold) {
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
}

// Random options and frames of every sort an encoder meets (noise, a few
// changed pixels, flat colour, a repeat), now and then a kind forced per
// frame as the demo does: the reader decodes exactly what went in.
TEST(KomuWriter, WhateverGoesInTheReaderDecodesExactly) {
    std::mt19937 rng(99);
    auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
    for (int trial = 0; trial < 400; ++trial) {
        komu_encode_options o{.width = uint16_t(1 + pick(24)), .height = uint16_t(1 + pick(12))};
        o.mode = uint16_t(1 + pick(3));
        o.kind = o.mode == 1 ? komu_kind::automatic : komu_kind(pick(5));
        o.key_interval = pick(4);
        o.loop = pick(2);
        o.header_extra = pick(3) * 3;
        const uint32_t rates[][2] = {{5, 1}, {30000, 1001}, {1000, 1}, {24, 1}};
        o.fps_num = rates[trial % 4][0], o.fps_den = rates[trial % 4][1];
        const size_t fb = size_t{o.width} * o.height * 2;
        bytes frames, f(fb, 0);
        for (uint32_t i = 1 + pick(10); i > 0; --i) {
            const uint32_t sort = pick(4);
            for (size_t b = 0; b < fb; ++b) {
                if (sort == 0 || (sort == 1 && pick(16) == 0)) f[b] = uint8_t(rng());
                if (sort == 2) f[b] = uint8_t(b % 2 ? trial : i);
            }
            frames.insert(frames.end(), f.begin(), f.end());
        }
        std::vector<komu_kind> kinds;
        for (uint32_t k = pick(3) == 0 ? 1 + pick(5) : 0; k > 0; --k) kinds.push_back(komu_kind(pick(5)));
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        EXPECT_EQ(roundtrip::check(o, frames, kinds), "");
    }
}

// Rates outside what the player plays keep their timing by whole repeats or
// drops, and the writer refuses them as they are.
TEST(KomuWriter, PlayableRatesKeepTheTiming) {
    const struct { uint32_t num, den, want_num, want_den, repeat, keep_every; } cases[] = {
        {30, 1, 30, 1, 1, 1},     {30000, 1001, 30000, 1001, 1, 1}, {5, 1, 5, 1, 1, 1},
        {1000, 1, 1000, 1, 1, 1}, {2, 1, 6, 1, 3, 1},               {1, 10, 5, 1, 50, 1},
        {24, 5, 48, 5, 2, 1},     {2000, 1, 1000, 1, 1, 2},         {3000, 1001, 6000, 1001, 2, 1},
        {2001, 2, 2001, 4, 1, 2}, {0xFFFFFFFF, 1, 0xFFFFFFFF, 4294968, 1, 4294968},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.num << "/" << c.den);
        const komu_rate_fit fit = komu_playable_rate(c.num, c.den);
        EXPECT_EQ(fit.num * uint64_t{c.want_den}, c.want_num * uint64_t{fit.den});
        EXPECT_EQ(fit.repeat, c.repeat);
        EXPECT_EQ(fit.keep_every, c.keep_every);
        std::string error;
        const komu_encode_options o{.width = 1, .height = 1, .fps_num = c.num, .fps_den = c.den};
        EXPECT_EQ(komu_check_options(o, &error), c.repeat == 1 && c.keep_every == 1) << error;
    }
}

}  // namespace

// Run-length decoding: the coding's runs, its failure rules, and that a
// failing run writes nothing.
#include <gtest/gtest.h>

#include <vector>

#include "komu.h"

namespace {

using bytes = std::vector<uint8_t>;

// Decodes into a buffer pre-filled with 0xCC so untouched bytes show.
int decode(const bytes& src, bytes* out, uint32_t out_len, uint32_t elem) {
    out->assign(out_len, 0xCC);
    return rle_decode_packbits(src.data(), static_cast<uint32_t>(src.size()), out->data(),
                               out_len, elem);
}

TEST(PackBits, DecodesLiteralRepeatAndNoOpRuns) {
    struct row { bytes in; uint32_t elem; bytes want; };
    const row rows[] = {
        {{0x01, 0x34, 0x12, 0x78, 0x56}, 2, {0x34, 0x12, 0x78, 0x56}},
        {{0xFD, 0x34, 0x12}, 2, {0x34, 0x12, 0x34, 0x12, 0x34, 0x12, 0x34, 0x12}},  // h = -3: four
        {{0x80, 0x00, 0xAA}, 1, {0xAA}},
        {{0x00, 0xAA, 0x00, 0xBB}, 1, {0xAA}},  // output full: second run never read
        {{0xFE, 0x07, 0x80, 0x01, 0x01, 0x02}, 1, {0x07, 0x07, 0x07, 0x01, 0x02}},
        {{0x00, 0x11, 0x80}, 1, {0x11}},  // left-over input, even a lone 0x80, is no error
    };
    bytes out;
    for (const row& r : rows) {
        EXPECT_EQ(decode(r.in, &out, static_cast<uint32_t>(r.want.size()), r.elem), 0);
        EXPECT_EQ(out, r.want);
    }
    // The longest runs: a literal of 128 elements, a repeat of 128.
    bytes lit{0x7F};
    for (int i = 0; i < 256; ++i) lit.push_back(static_cast<uint8_t>(i));
    EXPECT_EQ(decode(lit, &out, 256, 2), 0);
    EXPECT_EQ(out, bytes(lit.begin() + 1, lit.end()));
    EXPECT_EQ(decode({0x81, 0xAB, 0xCD, 0x81, 0x01, 0x02}, &out, 512, 2), 0);
    EXPECT_EQ((bytes{out[254], out[255], out[256], out[511]}), (bytes{0xAB, 0xCD, 0x01, 0x02}));
}

TEST(PackBits, RefusesRunsPastEitherEndShortOutputAndBadArguments) {
    bytes out;
    EXPECT_EQ(decode({0xFF, 0x01}, &out, 4, 2), -1);       // repeat with half an element
    EXPECT_EQ(decode({0x02, 0xAA, 0xBB}, &out, 3, 1), -1);  // literal needs 3, 2 left
    EXPECT_EQ(decode({0xFD, 0x01}, &out, 3, 1), -1);        // repeat of 4 into 3
    EXPECT_EQ(decode({0x03, 1, 2, 3, 4}, &out, 3, 1), -1);  // literal of 4 into 3
    EXPECT_EQ(decode({0x00, 0x01, 0x00}, &out, 4, 2), -1);  // ends one pixel short
    EXPECT_EQ(decode({0x80, 0x80}, &out, 1, 1), -1);        // no-ops only
    // A failing run writes nothing; the runs before it stay.
    EXPECT_EQ(decode({0x01, 0x11, 0x22, 0x02, 0x33, 0x44, 0x55}, &out, 4, 1), -1);
    EXPECT_EQ(out, (bytes{0x11, 0x22, 0xCC, 0xCC}));
    EXPECT_EQ(decode({0x00, 0x11, 0xF0, 0x22}, &out, 4, 1), -1);
    EXPECT_EQ(out, (bytes{0x11, 0xCC, 0xCC, 0xCC}));

    const uint8_t lit[] = {0x00, 0x01, 0x02, 0x03, 0x04};
    uint8_t dst[8] = {};
    EXPECT_EQ(rle_decode_packbits(lit, 0, dst, 0, 1), 0);   // empty output is complete
    EXPECT_EQ(rle_decode_packbits(lit, 0, dst, 5, 1), -1);  // empty input fills nothing
    EXPECT_EQ(rle_decode_packbits(nullptr, 0, dst, 0, 1), -1);
    EXPECT_EQ(rle_decode_packbits(lit, 1, nullptr, 0, 1), -1);
    EXPECT_EQ(rle_decode_packbits(lit, 5, dst, 4, 0), -1);  // only 1- and 2-byte elements
    EXPECT_EQ(rle_decode_packbits(lit, 5, dst, 4, 4), -1);
}

TEST(PackBits, XorAppliesAMaskInPlaceOrChangesNothing) {
    bytes frame{0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    // Literal 0F F0, a zero repeat (unchanged), then a repeat of 01.
    const bytes mask{0x01, 0x0F, 0xF0, 0xFF, 0x00, 0xFF, 0x01};
    ASSERT_EQ(rle_xor_packbits(mask.data(), 7, frame.data(), 6), 0);
    EXPECT_EQ(frame, (bytes{0x1F, 0xD0, 0x30, 0x40, 0x51, 0x61}));
    // Masks that run short, long or past their input change nothing, even
    // where runs before the fault were fine.
    const bytes before = frame;
    for (const bytes& bad : {bytes{0x01, 0xFF, 0xFF}, bytes{0xFA, 0x01},
                             bytes{0xF9, 0x01, 0x00}, bytes{0x01, 0xFF, 0xFF, 0x05, 0x01}}) {
        EXPECT_EQ(rle_xor_packbits(bad.data(), static_cast<uint32_t>(bad.size()), frame.data(), 6), -1);
        EXPECT_EQ(frame, before);
    }
}

}  // namespace

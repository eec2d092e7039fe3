// RGB24 to RGB565 with dithering: see rgb565.h.
#include "rgb565.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int CHANNEL_BITS[3] = {5, 6, 5};  // red, green, blue

// The level a display shows for value q of a channel of `bits` bits.
constexpr int expand(int q, int bits) { return (q << (8 - bits)) | (q >> (2 * bits - 8)); }

// For each 8-bit value v and channel width (index 0: 5 bits, 1: 6 bits):
// the value whose shown level is nearest; the highest value shown at or
// below v; and where v lies between that level and the next, in 64ths (the
// share of an 8 x 8 Bayer cell that must show the next level up).
struct level_table {
    uint8_t nearest[2][256], below[2][256], above_64ths[2][256];
    constexpr level_table() : nearest{}, below{}, above_64ths{} {
        for (int b = 0; b < 2; ++b) {
            const int bits = 5 + b, top = (1 << bits) - 1;
            for (int v = 0; v < 256; ++v) {
                int lo = 0;
                while (lo < top && expand(lo + 1, bits) <= v) ++lo;
                const int from = expand(lo, bits), to = lo < top ? expand(lo + 1, bits) : from + 1;
                below[b][v] = static_cast<uint8_t>(lo);
                above_64ths[b][v] = static_cast<uint8_t>(((v - from) * 128 + (to - from)) / (2 * (to - from)));
                nearest[b][v] = static_cast<uint8_t>(lo < top && to - v < v - from ? lo + 1 : lo);
            }
        }
    }
};
constexpr level_table LEVELS;

int nearest(int v, int bits) { return LEVELS.nearest[bits - 5][v]; }

// The 8 x 8 Bayer matrix: thresholds 0..63, each once, neighbours far apart.
constexpr uint8_t BAYER[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
    {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
    {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21},
};

uint16_t pack(const int q[3]) { return static_cast<uint16_t>((q[0] << 11) | (q[1] << 5) | q[2]); }

void store(uint8_t* out, size_t i, uint16_t p) {
    out[2 * i] = static_cast<uint8_t>(p & 0xFF);
    out[2 * i + 1] = static_cast<uint8_t>(p >> 8);
}

// Floyd-Steinberg: each pixel's error (wanted minus shown, in 1/16 units of
// an 8-bit step) goes 7/16 to the next pixel in the row's direction and 3, 5
// and 1 sixteenths to the three below. Rows alternate direction so that the
// error does not drift to one side. `errors` holds two rows of sums, with a
// spare pixel at each end so that no neighbour test is needed.
void diffuse(const uint8_t* rgb, int stride, uint32_t width, uint32_t height, uint8_t* out,
             std::vector<int32_t>* errors) {
    const size_t row = (size_t{width} + 2) * 3;
    errors->assign(2 * row, 0);
    for (uint32_t y = 0; y < height; ++y) {
        int32_t* cur = errors->data() + (y % 2) * row;
        int32_t* next = errors->data() + ((y + 1) % 2) * row;
        std::fill(next, next + row, 0);
        const bool forward = y % 2 == 0;
        const int step = forward ? 1 : -1;
        for (uint32_t n = 0; n < width; ++n) {
            const uint32_t x = forward ? n : width - 1 - n;
            const uint8_t* px = rgb + size_t(y) * size_t(stride) + size_t{x} * 3;
            const size_t at = (size_t{x} + 1) * 3;  // this pixel in the error rows
            int q[3];
            for (int c = 0; c < 3; ++c) {
                const int bits = CHANNEL_BITS[c];
                // cur holds sixteenths of 1/16 units: divide once, rounding.
                const int32_t want16 =
                    std::clamp(px[c] * 16 + (cur[at + size_t(c)] + 8) / 16, 0, 255 * 16);
                q[c] = nearest((want16 + 8) / 16, bits);
                const int32_t err = want16 - expand(q[c], bits) * 16;
                cur[at + size_t(c + 3 * step)] += err * 7;
                next[at + size_t(c - 3 * step)] += err * 3;
                next[at + size_t(c)] += err * 5;
                next[at + size_t(c + 3 * step)] += err * 1;
            }
            store(out, size_t(y) * width + x, pack(q));
        }
    }
}

}  // namespace

const char* dither_name(dither_mode mode) {
    switch (mode) {
        case dither_mode::none: return "none";
        case dither_mode::ordered: return "ordered";
        case dither_mode::diffusion: return "diffusion";
    }
    return "?";
}

bool dither_from_name(const char* name, dither_mode* mode) {
    for (dither_mode m : {dither_mode::none, dither_mode::ordered, dither_mode::diffusion}) {
        if (std::strcmp(name, dither_name(m)) == 0) {
            *mode = m;
            return true;
        }
    }
    return false;
}

void rgb565_from_rgb24(const uint8_t* rgb, int stride, uint32_t width, uint32_t height,
                       dither_mode mode, uint8_t* out, std::vector<int32_t>* errors) {
    if (mode == dither_mode::diffusion) {
        diffuse(rgb, stride, width, height, out, errors);
        return;
    }
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* src = rgb + size_t(y) * size_t(stride);
        for (uint32_t x = 0; x < width; ++x) {
            int q[3];
            for (int c = 0; c < 3; ++c) {
                const int v = src[size_t{x} * 3 + size_t(c)];
                const int bits = CHANNEL_BITS[c];
                if (mode == dither_mode::none) {
                    q[c] = nearest(v, bits);
                } else {
                    // The level below, or the one above on the share of the
                    // cell's thresholds that puts the cell's mean at v.
                    q[c] = LEVELS.below[bits - 5][v] +
                           (BAYER[y % 8][x % 8] < LEVELS.above_64ths[bits - 5][v] ? 1 : 0);
                }
            }
            store(out, size_t(y) * width + x, pack(q));
        }
    }
}

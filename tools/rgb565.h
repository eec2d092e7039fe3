// RGB24 pictures to RGB565, with a choice of dithering.
//
// The scaler (libswscale) writes RGB565 with a fixed 2 x 2 pattern of its
// own and ignores its dithering options for this format, so pictures are
// scaled to RGB24 there and reduced to 5-6-5 bits here. The levels a
// display shows for a 5-bit value q are (q << 3) | (q >> 2), for a 6-bit
// value (q << 2) | (q >> 4); every mode aims at those.
#pragma once

#include <cstdint>
#include <vector>

enum class dither_mode {
    none,       // the nearest level: flat areas stay flat, gradients band
    ordered,    // an 8 x 8 Bayer threshold pattern, fixed in place, so a
                // still part of the picture stays the same from frame to frame
    diffusion,  // Floyd-Steinberg error diffusion, alternating row direction
};

// Names as the command line spells them: "none", "ordered", "diffusion".
const char* dither_name(dither_mode mode);
bool dither_from_name(const char* name, dither_mode* mode);

// Reduces width x height RGB24 pixels (rows `stride` bytes apart) to RGB565
// little-endian, width * height * 2 bytes at out. `errors` is working space
// for error diffusion, reused across calls (grown as needed).
void rgb565_from_rgb24(const uint8_t* rgb, int stride, uint32_t width, uint32_t height,
                       dither_mode mode, uint8_t* out, std::vector<int32_t>* errors);

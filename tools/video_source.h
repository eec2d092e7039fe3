// Any video FFmpeg's libraries can read, as RGB565 frames for the writer:
// decoded, scaled to fit a box with its display aspect ratio kept, reduced
// to RGB565 with the chosen dithering, and retimed to a constant rate the
// player plays as declared.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "komu.h"
#include "komu_write.h"
#include "rgb565.h"

struct video_source_options {
    // The box the picture is scaled to fit, in pixels (at most 640 x 480).
    uint32_t fit_width = KOMU_MAX_WIDTH, fit_height = KOMU_MAX_HEIGHT;
    bool upscale = false;  // grow a smaller picture to fill the box
    dither_mode dither = dither_mode::ordered;
    // The rate to write; 0/0 takes the source's. A rate the player would
    // clamp is raised or lowered to a playable one (komu_playable_rate).
    uint32_t rate_num = 0, rate_den = 0;
};

// What the source turned out to be and what will be written.
struct video_source_info {
    uint32_t source_width, source_height;  // coded pixels
    uint32_t sar_num, sar_den;             // sample (pixel) aspect ratio; 1:1 when unknown
    uint32_t source_rate_num, source_rate_den;  // the average rate; 0/0 unknown
    bool variable_rate;  // the timestamps are not those of one constant rate
    uint16_t width, height;  // the frames given out
    // The rate asked for (the options', else the source's, else 25/1) and
    // the playable rate the frames are given out at.
    uint32_t wanted_num, wanted_den;
    komu_rate_fit fit;
    double duration_s;  // of the source; 0 when unknown
    uint64_t expected_frames;  // about how many frames will come; 0 when unknown
};

struct video_source;  // the decoder's state; video_source.cpp

// Opens path and finds its video. Null with a one-line *error when it is
// not a video the libraries can decode.
video_source* video_source_open(const std::string& path, const video_source_options& options,
                                video_source_info* info, std::string* error);

// The next frame, width * height * 2 bytes of RGB565 into frame. 0 a frame
// was written, 1 the end of the video, -1 an error (*error says which).
int video_source_next(video_source* source, std::span<uint8_t> frame, std::string* error);

// Releases everything; safe on null.
void video_source_close(video_source* source);

// The size width x height (display aspect sar_num:sar_den per pixel) is
// scaled to within fit_width x fit_height keeping its display aspect ratio,
// never beyond its own display size unless upscale. At least 1 x 1.
void video_fit_size(uint32_t width, uint32_t height, uint32_t sar_num, uint32_t sar_den,
                    uint32_t fit_width, uint32_t fit_height, bool upscale, uint16_t* out_width,
                    uint16_t* out_height);

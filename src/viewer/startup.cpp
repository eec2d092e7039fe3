// Start-up: from the command line to a first decoded frame, before any
// window exists, so that a bad file fails fast with one line.
#include <cstdio>

#include "viewer.h"

namespace {
constexpr const char* USAGE_LINE = "Usage: cinepane <input.komu>";
constexpr const char* OPEN_FAILED = "cinepane: failed to open video";
constexpr const char* DECODE_FAILED = "cinepane: failed to decode first frame";
}  // namespace

int start_up(komu_stream* stream, int argc, char** argv) {
    if (argc < 2 || argv[1] == nullptr || argv[1][0] == '\0') {
        std::puts(USAGE_LINE);
        return 1;
    }
    // The path rule, the open and the frame buffers; the stream is closed
    // again on any failure.
    if (komu_open_stream(stream, argv[1]) != 0) {
        std::puts(OPEN_FAILED);
        return 1;
    }
    stream->frame_interval_us =
        komu_frame_interval_us(stream->header.fps_num, stream->header.fps_den);
    stream->playing = 1;

    if (komu_decode_next(stream) != 0) {
        std::puts(DECODE_FAILED);
        komu_close(stream);
        return 1;
    }
    return 0;
}

int cinepane_main(int argc, char** argv) {
    komu_stream stream;
    const int status = start_up(&stream, argc, argv);
    if (status != 0) return status;
    return run_playback(&stream, argv[1]);
}

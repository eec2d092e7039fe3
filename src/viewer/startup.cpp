// Start-up: from the command line to a first decoded frame, before any
// window exists, so that a bad file fails fast with one line.
#include <cstdio>
#include <cstring>

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
    komu_stream_init(stream);

    const char* path = argv[1];
    const size_t len = strnlen(path, sizeof stream->path);
    if (len >= sizeof stream->path) {  // 256 characters or more: nothing is opened
        std::puts(OPEN_FAILED);
        return 1;
    }
    std::memcpy(stream->path, path, len + 1);

    if (komu_open_and_prepare_stream(stream, stream->path) != 0) {
        komu_close(stream);
        std::puts(OPEN_FAILED);
        return 1;
    }
    // The record owns both frames from here on; komu_close releases them.
    if (komu_prepare_frames(stream) != 0) {
        komu_close(stream);
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

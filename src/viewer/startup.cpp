// Start-up: from the command line to a first decoded frame, before any
// window exists, so that a bad file fails fast with one line.
//
// Standard output gets the one line of each failure; standard error gets a
// second line naming the file and the reason, in the reader's own words.
#include <cstdio>

#include "komu_runtime.h"
#include "viewer.h"

namespace {

constexpr const char* USAGE_LINE = "Usage: cinepane <input.komu>";
constexpr const char* OPEN_FAILED = "cinepane: failed to open video";
constexpr const char* DECODE_FAILED = "cinepane: failed to decode first frame";

constexpr const char* HELP_TEXT =
    "Plays a KOMU video file (RGB565 frames, at most 640 x 480) in a window, at its declared\n"
    "frame rate, looping where the file asks.\n"
    "\n"
    "Keys:\n"
    "  Space              pause / resume\n"
    "  + or =, keypad +   zoom in (also the wheel, away from you)\n"
    "  - or _, keypad -   zoom out (also the wheel, towards you)\n"
    "  0                  fit the picture to the window again\n"
    "  arrow keys         move the picture 20 pixels (also a left-button drag)\n"
    "  . and ,            one frame forward / back, and pause\n"
    "  Shift+Right/Left   1 s forward / back\n"
    "  Page Down/Up       10 s forward / back\n"
    "  Home, End          the first / last frame\n"
    "  h                  full view on / off: every pixel of the picture area sampled\n"
    "  f, F11             fullscreen on / off (also a double-click in the picture)\n"
    "  Esc, q             quit\n"
    "\n"
    "A looping file wraps round when moved past its end. The file may be a pipe\n"
    "(e.g. /dev/stdin): it plays once, and the keys that move through it do nothing.\n"
    "\n"
    "Options, taken only when no file of that name exists:\n"
    "  -h, --help         this text\n"
    "  --version          the version\n"
    "\n"
    "Exit status: 0 after playback, 1 when the file cannot be played.";

// "cinepane: PATH: REASON" on standard error.
void print_reason(const char* path, const komu_failure& failure) {
    char reason[256];
    komu_failure_text(&failure, reason, sizeof reason);
    char line[KOMU_MAX_PATH + sizeof reason + 16] = "cinepane: ";
    append_text(line, sizeof line, path);
    append_text(line, sizeof line, ": ");
    append_text(line, sizeof line, reason);
    komu_error_line(line);
}

bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

// -h, --help or --version, answered on standard output; false for any other
// argument.
bool answer_option(const char* arg) {
    if (same_text(arg, "--version")) {
        std::puts("cinepane " CINEPANE_VERSION);
        return true;
    }
    if (!same_text(arg, "--help") && !same_text(arg, "-h")) return false;
    std::puts(USAGE_LINE);
    std::puts(HELP_TEXT);
    return true;
}

}  // namespace

int start_up(komu_stream* stream, int argc, char** argv) {
    komu_stream_init(stream);
    if (argc < 2 || argv[1] == nullptr || argv[1][0] == '\0') {
        std::puts(USAGE_LINE);
        return 1;
    }
    // The path rule, the open and the frame buffers; the stream is closed
    // again on any failure.
    if (komu_open_stream(stream, argv[1]) != 0) {
        // A file named like an option plays; only without one is it an option.
        if (stream->failure.code == KOMU_FAIL_NO_SUCH_FILE && answer_option(argv[1])) return 0;
        std::puts(OPEN_FAILED);
        print_reason(argv[1], stream->failure);
        return 1;
    }
    stream->frame_interval_us =
        komu_frame_interval_us(stream->header.fps_num, stream->header.fps_den);
    stream->playing = 1;

    if (komu_decode_next(stream) != 0) {
        std::puts(DECODE_FAILED);
        print_reason(argv[1], stream->failure);
        komu_close(stream);
        return 1;
    }
    return 0;
}

int cinepane_main(int argc, char** argv) {
    komu_stream stream;
    const int status = start_up(&stream, argc, argv);
    if (status != 0 || stream.fd < 0) return status;  // failed, or an option answered
    return run_playback(&stream, argv[1]);
}

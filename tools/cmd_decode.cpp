// komu decode: frames in playback order, raw RGB565, to standard output.
#include <unistd.h>

#include <string>

#include "commands.h"
#include "komu.h"
#include "output.h"

namespace {

constexpr option_spec DECODE_OPTIONS[] = {{nullptr, "--start", true}};

// Frames 0 to start - 1 passed over: by a seek, or for a pipe by decoding
// them unwritten, which leaves the same record.
int pass_over(komu_stream* s, uint32_t start) {
    if (s->seekable) return komu_seek(s, start);
    for (uint32_t k = 0; k < start; ++k) {
        if (komu_decode_next(s) != 0) return -1;
    }
    return 0;
}

int cmd_decode(const parsed_args& args) {
    if (args.positional.empty() || args.positional.size() > 2) {
        print_error("decode: expected [--start N] FILE [COUNT] (see komu --help)");
        return STATUS_USAGE;
    }
    const std::string& path = args.positional[0];
    uint64_t count = 0, start = 0;
    const bool count_given = args.positional.size() == 2;
    if (count_given && !parse_uint(args.positional[1], 0xFFFFFFFFu, &count)) {
        print_error("decode: COUNT must be a whole number, not '" + args.positional[1] + "'");
        return STATUS_USAGE;
    }
    const std::string start_text = args.value_or("--start", "0");
    if (!parse_uint(start_text, 0xFFFFFFFFu, &start)) {
        print_error("decode: --start must be a whole number, not '" + start_text + "'");
        return STATUS_USAGE;
    }

    if (isatty(STDOUT_FILENO)) {
        print_error("decode: standard output is a terminal; send the frames to a file or a pipe");
        return STATUS_USAGE;
    }
    komu_stream s;
    if (!open_or_say_why(path, &s)) return STATUS_FAILED;
    if (start >= s.header.frame_count) {
        print_error("decode: --start " + start_text + " is past the last frame of " + path + " (" +
                    std::to_string(s.header.frame_count) + " frames, counted from 0)");
        komu_close(&s);
        return STATUS_USAGE;
    }
    if (!count_given) count = s.header.frame_count - start;

    int status = STATUS_OK;
    if (pass_over(&s, static_cast<uint32_t>(start)) != 0) {
        print_error(path + ": " + failure_words(s.failure));
        status = STATUS_FAILED;
    }
    for (uint64_t position = 0; status == STATUS_OK && position < count; ++position) {
        const int r = komu_decode_next(&s);
        if (r == 1) break;  // the end of a file without the loop flag
        if (r != 0) {
            print_error(path + ": " + failure_words(s.failure));
            status = STATUS_FAILED;
            break;
        }
        if (!write_all(STDOUT_FILENO, s.cur_frame, s.frame_bytes)) {
            print_error("standard output: " + errno_text());
            status = STATUS_FAILED;
            break;
        }
    }
    komu_close(&s);
    return status;
}

}  // namespace

const command DECODE_COMMAND = {"decode", DECODE_OPTIONS, cmd_decode};

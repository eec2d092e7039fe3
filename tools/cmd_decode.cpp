// komu decode: frames in playback order, raw RGB565, to standard output.
#include <unistd.h>

#include <string>

#include "commands.h"
#include "komu.h"
#include "output.h"

namespace {

int cmd_decode(const parsed_args& args) {
    if (args.positional.empty() || args.positional.size() > 2) {
        print_error("decode: expected FILE [COUNT] (see komu --help)");
        return STATUS_USAGE;
    }
    const std::string& path = args.positional[0];
    uint64_t count = 0;
    const bool count_given = args.positional.size() == 2;
    if (count_given && !parse_uint(args.positional[1], 0xFFFFFFFFu, &count)) {
        print_error("decode: COUNT must be a whole number, not '" + args.positional[1] + "'");
        return STATUS_USAGE;
    }

    if (isatty(STDOUT_FILENO)) {
        print_error("decode: standard output is a terminal; send the frames to a file or a pipe");
        return STATUS_USAGE;
    }
    komu_stream s;
    if (!open_or_say_why(path, &s)) return STATUS_FAILED;
    if (!count_given) count = s.header.frame_count;

    int status = STATUS_OK;
    for (uint64_t position = 0; position < count; ++position) {
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

const command DECODE_COMMAND = {"decode", {}, cmd_decode};

// The komu tool's subcommands, one source file each.
#pragma once

#include <string>

#include "args.h"
#include "komu.h"

// The reader's words for a failure, as the player prints them.
inline std::string failure_words(const komu_failure& failure) {
    char text[256];
    komu_failure_text(&failure, text, sizeof text);
    return text;
}

// Opens path as the player does. False, after the reader's words on
// standard error ("komu: PATH: does not exist"), when it cannot.
inline bool open_or_say_why(const std::string& path, komu_stream* s) {
    if (komu_open_stream(s, path.c_str()) == 0) return true;
    print_error(path + ": " + failure_words(s->failure));
    return false;
}

extern const command INFO_COMMAND;       // cmd_info.cpp
extern const command DECODE_COMMAND;     // cmd_decode.cpp
extern const command ENCODE_COMMAND;     // cmd_encode.cpp
extern const command DEMO_COMMAND;       // cmd_demo.cpp
extern const command THUMBNAIL_COMMAND;  // cmd_thumbnail.cpp

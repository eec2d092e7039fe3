// What komu encode tells the user on standard error while it works: a
// progress line redrawn in place when standard error is a terminal, and a
// one-line summary at the end. Never on standard output, which may carry
// the file.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "args.h"
#include "komu_write.h"

struct encode_progress {
    bool live = false;             // redraw a line: standard error is a terminal, not quiet
    bool quiet = false;            // no line and no summary
    uint64_t expected_frames = 0;  // about how many will come; 0 unknown
    std::chrono::steady_clock::time_point start, last_draw;
    bool drawn = false;  // a line is on the terminal
};

void progress_begin(encode_progress* p, bool quiet, uint64_t expected_frames);
// After each frame; redraws at most four times a second.
void progress_update(encode_progress* p, const komu_writer& writer);
// Clears the line (before a summary, a warning or an error).
void progress_clear(encode_progress* p);
// "komu: OUT: WxH, N frames at R fps (S s), B bytes: K rle key, ..." unless
// quiet. `note` (may be empty) is added at the end, after "; ".
void progress_summary(encode_progress* p, const komu_writer& writer, const std::string& out_name,
                      const std::string& note);

// A window backend for the benchmarks: implements every call of gui.h,
// draws nothing and records the real time of each present.
//
// The clock and the sleep are the real ones (gui_clock_posix.cpp), the content
// size stays 0 x 0 and no input ever arrives, except one close request once
// the given number of presents has been made, so that the player's own loop
// can be timed exactly as it runs, less the cost of a window server.
#pragma once

#include <cstdint>
#include <vector>

namespace gui_null {

// Forgets the recorded presents; the close request comes at the first poll
// after `quit_after` presents (0: never). Reserves room for that many times,
// so that recording allocates nothing while the loop runs.
void reset(uint32_t quit_after);

// CLOCK_MONOTONIC time of every gui_present since the last reset, ns.
const std::vector<int64_t>& present_times_ns();

// CLOCK_MONOTONIC now, ns.
int64_t now_ns();

}  // namespace gui_null

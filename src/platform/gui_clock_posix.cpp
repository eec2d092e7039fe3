// The clock half of gui.h on a POSIX system: time_ms from CLOCK_MONOTONIC,
// sleep_us by nanosleep. Linked with the SDL backend and the benchmarks'
// null backend.
#include <time.h>

#include <cerrno>
#include <cstdint>

#include "gui.h"

uint32_t time_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                        static_cast<uint64_t>(now.tv_nsec) / 1'000'000u;
    return static_cast<uint32_t>(ms);  // wraps at 2^32 by design
}

int sleep_us(uint32_t us) {
    timespec left{};
    left.tv_sec = static_cast<time_t>(us / 1'000'000u);
    left.tv_nsec = static_cast<long>(us % 1'000'000u) * 1000L;
    timespec rest{};
    while (nanosleep(&left, &rest) != 0) {
        if (errno != EINTR) return -1;
        left = rest;  // a signal cut it short: sleep the remainder
    }
    return 0;
}

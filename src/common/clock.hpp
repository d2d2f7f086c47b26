// Reading the clocks as seconds, to the nanosecond.
#pragma once

#include <ctime>

// Seconds on `clock`: CLOCK_REALTIME for times shown to people, CLOCK_MONOTONIC for durations.
inline double clockSeconds(clockid_t clock)
{
    struct timespec now {};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Seconds since the epoch.
inline double wallClockSeconds()
{
    return clockSeconds(CLOCK_REALTIME);
}

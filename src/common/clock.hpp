// Reading the clocks as seconds, to the nanosecond.
#pragma once

#include <ctime>

// Every time the daemon keeps or shows, on every board, must go past 2038-01-19.
static_assert(sizeof(time_t) >= 8, "time_t must be 64 bits: build with _TIME_BITS=64 and _FILE_OFFSET_BITS=64");

// Seconds on `clock`: CLOCK_REALTIME for times shown to people, CLOCK_MONOTONIC for durations.
inline double clockSeconds(clockid_t clock)
{
    struct timespec now {};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A file time as seconds.
inline double timespecSeconds(const struct timespec& time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

// Whether `a` is `b` or later.
inline bool notBefore(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

// Seconds since the epoch.
inline double wallClockSeconds()
{
    return clockSeconds(CLOCK_REALTIME);
}

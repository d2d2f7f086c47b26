// What the daemon knows of the box after each pass, kept for the operator's tools.
#include "metrics/daemon_state.hpp"

#include <ctime>

DaemonState daemon_state;

const char* restartCauseName(RestartCause cause)
{
    switch (cause) {
    case RestartCause::modem_count_changed:
        return "modem_count_changed";
    case RestartCause::blocked_count_changed:
        return "blocked_count_changed";
    case RestartCause::first_pass:
        break;
    }
    return "first_pass";
}

double wallClockSeconds()
{
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

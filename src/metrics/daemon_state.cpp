// What the daemon knows of the box after each pass, kept for the operator's tools.
#include "metrics/daemon_state.hpp"

const char* restartCauseName(RestartCause cause)
{
    switch (cause) {
    case RestartCause::modem_count_changed:
        return "modem_count_changed";
    case RestartCause::blocked_count_changed:
        return "blocked_count_changed";
    case RestartCause::smsd_not_running:
        return "smsd_not_running";
    case RestartCause::heal:
        return "heal";
    case RestartCause::smsd_not_responding:
        return "smsd_not_responding";
    case RestartCause::first_pass:
        break;
    }
    return "first_pass";
}

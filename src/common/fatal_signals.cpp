// Holding the signals that would kill the daemon while smsd is stopped.
#include "common/fatal_signals.hpp"

#include <initializer_list>

FatalSignalsHeld::FatalSignalsHeld()
{
    sigemptyset(&held_);
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGABRT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO,
                    SIGPWR, SIGSTKFLT, SIGXCPU, SIGXFSZ}) {
        sigaddset(&held_, sig);
    }
    // Real-time signals end the process by default too.
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        sigaddset(&held_, sig);
    }
    sigprocmask(SIG_BLOCK, &held_, &previous_);
}

FatalSignalsHeld::~FatalSignalsHeld()
{
    sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

bool FatalSignalsHeld::anyPending() const
{
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    for (int sig = 1; sig <= SIGRTMAX; ++sig) {
        if (sigismember(&held_, sig) == 1 && sigismember(&pending, sig) == 1) {
            return true;
        }
    }
    return false;
}

// Holding the signals that would kill the daemon while smsd is stopped.
#pragma once

#include <csignal>

// While one of these lives, every signal whose action would end the process (SIGINT and the
// default-fatal ones a stray kill sends: SIGTERM, SIGQUIT, SIGUSR1, ...) stays pending. The
// destructor restores the mask, and a held signal then takes its usual course. Signals that
// only a fault raises (SIGSEGV and the like) are never held.
class FatalSignalsHeld {
public:
    FatalSignalsHeld();
    ~FatalSignalsHeld();
    FatalSignalsHeld(const FatalSignalsHeld&) = delete;
    FatalSignalsHeld& operator=(const FatalSignalsHeld&) = delete;

    // True when a held signal is waiting: the process may end as soon as the hold does.
    bool anyPending() const;

private:
    sigset_t held_;
    sigset_t previous_;
};

// SIGINT stops the daemon, SIGHUP is noted; both cut the sleep between passes short.
#include "process/signals.hpp"

#include "log/activity_log.hpp"
#include "process/pid_file.hpp"

#include <atomic>
#include <csignal>
#include <ctime>
#include <poll.h>

namespace {

// 1 while the main loop is to go on; only the handler clears it. Lock-free, so it may.
std::atomic<int> running{0};

static_assert(std::atomic<int>::is_always_lock_free, "the flags are shared with a signal handler");

std::atomic<int> stop_requested{0};
std::atomic<int> reloads_requested{0};
// A SIGHUP since the last sleep: whenever it came, during a pass above all (a modem plugged while
// smsd restarts for another), the next pass is to start without sleeping first.
std::atomic<int> pass_requested{0};

// The two signals the daemon handles, as a set for masks.
sigset_t intAndHup()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

void install(int sig, int extra_flags)
{
    struct sigaction action {};
    action.sa_handler = handle_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | extra_flags;
    sigaction(sig, &action, nullptr);
}

} // namespace

void handle_signal(int sig)
{
    if (sig == SIGINT) {
        running = 0;
        stop_requested = 1;
    } else if (sig == SIGHUP) {
        ++reloads_requested;
        pass_requested = 1;
    }
}

bool stillRunning()
{
    return running == 1;
}

void holdStartupSignals()
{
    const sigset_t startup = intAndHup();
    sigprocmask(SIG_BLOCK, &startup, nullptr);
}

void installSignalHandlers()
{
    // Set before the handlers exist, so that an early SIGINT's 0 is never overwritten.
    running = 1;
    // SA_RESETHAND puts SIGINT back to its default action as it is delivered, so a
    // second SIGINT ends a daemon whose orderly stop is stuck.
    install(SIGINT, SA_RESETHAND);
    install(SIGHUP, 0);
    // A log on a pipe whose reader has gone is a failed write to report, not a death.
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));

    const sigset_t startup = intAndHup();
    sigprocmask(SIG_UNBLOCK, &startup, nullptr);
}

void handlePendingSignals()
{
    if (stop_requested.exchange(0) != 0) {
        logLine("Debug: stopping daemon ...");
        releasePidFile();
    }
    for (int n = reloads_requested.exchange(0); n > 0; --n) {
        logLine("Debug: reloading daemon config file ...");
    }
}

void sleepUnlessSignalled(int seconds)
{
    // Test the flags with the signals blocked and let ppoll unblock them atomically:
    // a signal that lands between the test and the sleep still ends the sleep.
    const sigset_t blocked = intAndHup();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    if (running != 0 && stop_requested == 0 && reloads_requested == 0 && pass_requested == 0) {
        const struct timespec period {seconds, 0};
        ppoll(nullptr, 0, &period, &previous);
    }
    // The pass about to start answers every SIGHUP so far; one that comes later asks for another.
    pass_requested = 0;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// SIGINT stops the daemon, SIGHUP is noted; both cut the sleep between passes short.
#pragma once

#include <atomic>

// 1 while the main loop is to go on. Lock-free, so the handler may clear it.
extern std::atomic<int> running;

void handle_signal(int sig);

// Blocks SIGINT and SIGHUP until installSignalHandlers runs: before that their default
// action would kill the daemon. The first thing start-up does.
void holdStartupSignals();

// Installs handle_signal for SIGINT and SIGHUP, ignores SIGPIPE, and lets through the
// signals held since start-up. Interrupted system calls are resumed, so a stop request
// never breaks off a service command or the reading of its output.
void installSignalHandlers();

// Writes the lines of the signals handled since the last call and, after SIGINT, gives
// up the pid file. The handler itself only counts: stdio is not safe in signal context.
void handlePendingSignals();

// Sleeps for `seconds` unless a signal arrives first, or a SIGHUP has arrived since the last
// sleep (during the pass), or the daemon is stopping.
void sleepUnlessSignalled(int seconds);

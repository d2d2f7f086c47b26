// SIGINT stops the daemon, SIGHUP is noted; both cut the sleep between passes short.
#pragma once

void handle_signal(int sig);

// True while the main loop is to go on: from installSignalHandlers until a SIGINT.
bool stillRunning();

// Blocks SIGINT and SIGHUP until installSignalHandlers runs: before that their default
// action would kill the daemon. The first thing start-up does.
void holdStartupSignals();

// Marks the daemon running, installs handle_signal for SIGINT and SIGHUP, ignores SIGPIPE, and
// lets through the signals held since start-up (a SIGINT among them then stops it at once). Interrupted system calls are resumed, so a stop request
// never breaks off a service command or the reading of its output.
void installSignalHandlers();

// Writes the lines of the signals handled since the last call and, after SIGINT, gives
// up the pid file. The handler itself only counts: stdio is not safe in signal context.
void handlePendingSignals();

// Sleeps for `seconds` unless a signal arrives first, or a SIGHUP has arrived since the last
// sleep (during the pass), or the daemon is stopping.
void sleepUnlessSignalled(int seconds);

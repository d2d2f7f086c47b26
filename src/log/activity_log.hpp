// The activity log: the timestamped text log every part of the daemon writes to.
#pragma once

#include <cstdio>

// Local time as "%Y-%m-%d %H:%M:%S", in a buffer the next call overwrites.
const char* gettimestamp();

// (Re)opens the sink: the file at `path` (appended to), or standard output when `path`
// is null or the file cannot be opened (that failure goes to syslog).
void openLogfile(const char* path);

// Closes the sink unless it is standard output.
void closeLogFile();

// Writes the bare-timestamp line that opens every pass. The file is opened afresh at its
// path first when it has been removed or renamed away, and after a failed write.
void writeHeartbeat(const char* path);

// Pushes the pass's lines out; a failure goes to syslog.
void flushLogfile(const char* path);

// Flushes the sink without a word to syslog: for a process about to end by a signal's default
// action, whose lines the next heartbeat will never check.
void flushLogBeforeExit();

// The current sink: the log file, standard output, or null before openLogfile. For tests, which
// break it on purpose; everything else writes through the functions above.
FILE* logSink();

// Writes one line: the timestamp, ": ", the formatted text and a newline. Not for
// signal context: the signal handling writes its lines from the main loop.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

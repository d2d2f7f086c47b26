// What smsd says in its log, read a piece each pass from where the last one stopped.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// A line of smsd's log: "2026-12-07 23:07:43.086,3, GSM1: Modem is not ready to answer ...".
struct SmsdLogLine {
    std::time_t time = 0;  // when smsd wrote it (its local time, to the second)
    int port = 0;          // n of "GSMn: ", 0 for smsd's own lines
    std::string text;      // what follows the port (or "smsd: "), at most 512 bytes
};

// Reads a line in smsd's log format; false for anything else.
bool parseSmsdLogLine(std::string_view line, SmsdLogLine& parsed);

// Where reading a log stopped, in which file, and the bytes just before that point: a file cut
// in place and written past the old length again is told by those bytes having changed.
struct LogPosition {
    bool known = false;  // false: nothing read yet, and what is there now is not to be read
    dev_t device = 0;
    ino_t inode = 0;
    off_t offset = 0;
    std::string before;  // up to kLogMarkBytes bytes before `offset`
};

constexpr size_t kLogMarkBytes = 64;

// The complete lines the regular file at `path` gained since `position`, at most `limit` bytes
// of them; `position` moves past them. When more than `limit` bytes are unread, only the newest
// `limit` are read (from the first line that starts in them): a burst of log, or a hole, delays
// nothing. A line cut at the end of what is there waits for its end; one longer than `limit` is
// skipped. A file renamed away (another at the path), cut shorter than the offset, or whose bytes
// before the offset changed (cut and written again) is read from its start. Opened without
// following a link and without blocking: a link or anything but a regular file gives nothing.
std::vector<std::string> readNewLines(const char* path, LogPosition& at, size_t limit);

// Moves `position` past everything at `path` now; a file made later is read from its start.
void skipToEnd(const char* path, LogPosition& at);

// The lines /var/log/smsd.log gained since the last call, as readNewLines reads them, at most
// the newest kSmsdLogReadLimit bytes. smsd's user owns it: it is opened without
// following a link, without blocking, and only a regular file is read. The first call reads
// nothing: what was said before the daemon started is nobody's word on the ports it serves.
std::vector<SmsdLogLine> readSmsdLog();

// Moves past everything the log holds now: what smsd said before a restart is no word on the
// ports of the configuration after it.
void skipSmsdLog();

constexpr size_t kSmsdLogReadLimit = size_t{64} * 1024;

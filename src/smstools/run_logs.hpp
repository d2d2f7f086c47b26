// Emptying smsd's per-port run logs while smsd is stopped.
#pragma once

#include <ctime>
#include <optional>
#include <sys/types.h>
#include <string>
#include <vector>

// A run log left as it was, and why.
struct RunLogNotEmptied {
    std::string name;    // printable
    const char* reason;  // "it is a symbolic link" and the like
};

// Truncates every /var/ramlog entry whose name begins "smsd_run_GSM". The directory belongs
// to smsd's user, so an entry is only truncated through a descriptor on a regular file of
// its own: a link, a FIFO or a device is skipped, and returned.
std::vector<RunLogNotEmptied> emptyRunLogs();

// A line of a run log where the modem answered smsd, told apart from every other such line by
// where it stands (the file and the offset) and what time it carries: a line not seen before is
// an answer given since, whatever time smsd printed on it.
struct RunLogAnswer {
    dev_t device = 0;
    ino_t inode = 0;
    off_t offset = 0;
    std::time_t time = 0;  // smsd's printed local time, for people
    bool operator==(const RunLogAnswer& other) const
    {
        return device == other.device && inode == other.inode && offset == other.offset && time == other.time;
    }
    bool operator!=(const RunLogAnswer& other) const { return !(*this == other); }
};

// The last line of port `port`'s run log that shows the modem answering smsd's regular command
// (a line ending "OK": "... GSM1: CMD: AT+CSQ: +CSQ: 20,0 OK"), which smsd sends every minute;
// none when it shows none. Only the file's last 4 KB are read, without following a link or
// blocking.
std::optional<RunLogAnswer> lastAnswer(int port);

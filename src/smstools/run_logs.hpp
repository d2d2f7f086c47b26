// Emptying smsd's per-port run logs while smsd is stopped.
#pragma once

#include <ctime>
#include <optional>
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

// When port `port`'s run log last shows the modem answering smsd's regular command (a line
// ending "OK": "... GSM1: CMD: AT+CSQ: +CSQ: 20,0 OK"), which smsd sends every minute; none when
// it shows none. Only the file's last 4 KB are read, without following a link or blocking.
std::optional<std::time_t> lastAnswerTime(int port);

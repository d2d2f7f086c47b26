// What smstools says: the ports in /etc/smsd.conf and the ports its status file shows.
#pragma once

#include "smstools/status_file.hpp"

#include <ctime>
#include <string>

// The configured port count: the lines of /etc/smsd.conf that match "GSM..=". -1 when
// the file does not exist, 0 when the counting command cannot be started.
int getsmsdcount();

// The shell pipeline that counts the ports of the configuration at `path`.
std::string configCountCommand(const char* path);

// What ModemsBlocked found of the status file.
struct StatusReading {
    enum Outcome { missing, unreadable, read } outcome = missing;
    PortStates states;              // with `missing`, receiving is the configured count
    struct timespec modified {};    // with `read`: when smsd last wrote it
};

// Reads smsd's status file into `reading` and returns the number of blocked ports. With no
// status file the receiving count is `configured` and 0 is returned; with one that cannot be
// read, 0. A status file longer than any smsd writes is read only so far (states.cut_short).
int ModemsBlocked(int configured, StatusReading& reading);

// Publishes the receiving count of `reading` in /mnt/ModemCount, with its activity-log lines;
// nothing when the status file could not be read (a partial count would report modems lost).
void publishModemCount(const StatusReading& reading);

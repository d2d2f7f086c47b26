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

// Publishes the number of receiving ports in /mnt/ModemCount and returns the number of
// blocked ones. With no status file, `configured` is published and 0 returned; with a
// status file that cannot be read, nothing is published and 0 returned. A status file longer
// than any smsd writes is read only so far, with one LOG_WARNING. What it read goes to
// `reading`.
int ModemsBlocked(int configured, StatusReading& reading);

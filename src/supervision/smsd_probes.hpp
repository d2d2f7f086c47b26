// What smstools says: the ports in /etc/smsd.conf and the port states in its status file.
#pragma once

#include <cstdio>
#include <string>

// The configured port count: the lines of /etc/smsd.conf that match "GSM..=". -1 when
// the file does not exist, 0 when the counting command cannot be started.
int getsmsdcount();

// The shell pipeline that counts the ports of the configuration at `path`.
std::string configCountCommand(const char* path);

// Publishes the number of receiving ports in /mnt/ModemCount and returns the number of
// blocked ones. With no status file, `configured` is published and 0 returned; with a
// status file that cannot be read, nothing is published and 0 returned.
int ModemsBlocked(int configured);

struct PortStates {
    int receiving = 0;
    int blocked = 0;
    bool read_error = false;
};

// Counts the lines of a status file that contain "GSM" and "Receiving," or "Blocked,".
// Lines may be of any length and hold any bytes; memory use stays constant.
PortStates countPortStates(FILE* status);

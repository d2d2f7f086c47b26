// What smstools says: the ports in /etc/smsd.conf and the port states in its status file.
#pragma once

#include "common/modem_slots.hpp"

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

// The configured port count: the lines of /etc/smsd.conf that match "GSM..=". -1 when
// the file does not exist, 0 when the counting command cannot be started.
int getsmsdcount();

// The shell pipeline that counts the ports of the configuration at `path`.
std::string configCountCommand(const char* path);

// Publishes the number of receiving ports in /mnt/ModemCount and returns the number of
// blocked ones. With no status file, `configured` is published and 0 returned; with a
// status file that cannot be read, nothing is published and 0 returned. What it read goes
// into daemon_state too: the counts and each present port's state word.
int ModemsBlocked(int configured);

struct PortStates {
    int receiving = 0;
    int blocked = 0;
    bool read_error = false;
    // Port n's state word (Receiving, Blocked, Idle, ...) in words[n - 1]; empty when the
    // file has no line for the port.
    std::array<std::string, kModemSlotCount> words;
};

// Counts the lines of a status file that contain "GSM" and "Receiving," or "Blocked,", and
// takes each port's state word from its line. Lines may be of any length and hold any
// bytes; memory use stays constant.
PortStates countPortStates(FILE* status);

// How much of a status line is looked at for the port's state.
constexpr size_t kPortLinePrefix = 128;

// Reads a port line of smsd's status file, "GSMn:<blanks>timestamp,<blanks>State,...": the
// port n (1 to 30, no leading zero) and the state word, blanks trimmed, at most 32 bytes,
// any byte outside printable ASCII shown as '?'. False for any other line.
bool parsePortStatusLine(std::string_view line, int& port, std::string& word);

// smsd's status file: where it is, how it is opened, and how its port lines read.
#pragma once

#include "common/modem_slots.hpp"
#include "common/unique_fd.hpp"

#include <array>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

struct PortStates {
    int receiving = 0;
    int blocked = 0;
    bool read_error = false;
    bool cut_short = false;  // the file goes on past the limit: only its start was read
    // Port n's state word (Receiving, Blocked, Idle, ...) in words[n - 1]; empty when the
    // file has no line for the port.
    std::array<std::string, kModemSlotCount> words;
    // Port n's signal, "ssi: -73 dBm" in its line, in signal_dbm[n - 1]; none when not given.
    std::array<std::optional<int>, kModemSlotCount> signal_dbm;
};

// Far beyond a real status file (a line per port, thousands of ports), and small enough that a
// pass ends in well under a second whatever smsd's user leaves at the path (15 TB, sparse).
constexpr size_t kStatusReadLimit = 1 << 20;

// Opens /var/spool/sms/stats/status for reading, not following a link at its last component,
// never blocking, and only when it is a regular file; null, with `error`, otherwise. `modified`
// is when smsd last wrote it.
file_ptr openStatusFile(int& error, struct timespec& modified);

// Counts the lines of a status file that contain "GSM" and "Receiving," or "Blocked,", and
// takes each port's state word from its line, reading at most `limit` bytes. Lines may be of
// any length and hold any bytes; memory use stays constant.
PortStates countPortStates(FILE* status, size_t limit = kStatusReadLimit);

// How much of a status line is looked at for the port's state.
constexpr size_t kPortLinePrefix = 128;

// Reads a port line of smsd's status file, "GSMn:<blanks>timestamp,<blanks>State,...": the
// port n (1 to 30, no leading zero) and the state word, blanks trimmed, at most 32 bytes,
// any byte outside printable ASCII shown as '?'. False for any other line.
bool parsePortStatusLine(std::string_view line, int& port, std::string& word);

// The signal a port line gives, "ssi: -73 dBm", in dBm; none when the line gives none.
std::optional<int> signalIn(std::string_view line);

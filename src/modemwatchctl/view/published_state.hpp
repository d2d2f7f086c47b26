// Reading back the state modemwatchd publishes after each pass.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct PublishedPort {
    int number = 0;  // n of GSMn
    std::string device;
    std::string target;
    std::string state;
    std::optional<bool> spool_directory;
    // Whether its modem answers smsd, and since when not; absent from older daemons' files.
    std::optional<bool> answering;
    std::optional<double> not_answering_since;
    std::optional<int> signal_dbm;
    // With healing on.
    std::optional<long> heals_answering;
    std::optional<long> heals_not_answering;
    std::optional<bool> heal_given_up;
    // What moved through it, and why it does not; absent from older daemons' files.
    std::optional<long> sent;
    std::optional<long> send_failures;
    std::optional<long> received;
    std::optional<double> last_sent_time;      // 0: none yet
    std::optional<double> last_received_time;  // 0: none yet
    std::string problem;                       // "rejected" and the like; empty for none
    std::string last_failure;                  // the modem's words
};

struct PublishedRestarts {
    std::string cause;  // first_pass, modem_count_changed, blocked_count_changed
    long count = 0;
};

struct PublishedState {
    std::string version;
    bool up = false;
    double start_time = 0;
    std::optional<double> start_boottime;  // CLOCK_BOOTTIME, where the daemon publishes it
    int pass_interval = 30;
    long passes = 0;
    double last_pass_end_time = 0;
    std::optional<double> last_pass_end_boottime;
    double last_pass_duration = 0;
    // Absent once the daemon has stopped; receiving and blocked also when smsd's status
    // file could not be read.
    std::optional<int> present;
    std::optional<int> configured;
    std::optional<int> receiving;
    std::optional<int> blocked;
    std::optional<bool> smsd_running;
    std::optional<bool> status_readable;
    std::optional<bool> healing;
    std::vector<PublishedPort> ports;  // in port order
    std::optional<long> messages_waiting;
    std::optional<bool> waiting_complete;
    std::optional<double> oldest_waiting_seconds;  // 0 with none waiting
    std::optional<bool> smsd_responding;
    std::vector<PublishedRestarts> restarts;
    std::optional<double> last_restart_time;
    std::string last_restart_cause;
};

// Parses the published text. Nothing, with `error` set, when it is not modemwatchd's state.
std::optional<PublishedState> parsePublishedState(const std::string& text, std::string& error);

// Reads and parses the file at `path`; `error` says why when it cannot.
std::optional<PublishedState> readPublishedState(const std::string& path, std::string& error);

// "first pass" for "first_pass": a cause as a person reads it.
std::string causeText(const std::string& cause);

// The time modemwatchctl judges ages at: the wall clock, and this box's CLOCK_BOOTTIME unless
// the time was given (--now), for a state file saved from elsewhere.
struct Now {
    double wall = 0;
    std::optional<double> boot;
};

// Seconds since the last pass ended: on the boot-time clock where both sides have it, which no
// step of the wall clock (NTP's first sync on a board without a real-time clock) moves. Negative
// for a pass that ended in the future.
double lastPassAge(const PublishedState& state, const Now& now);

// When the daemon started, on the wall clock as it reads now (a clock stepped since the start
// is not carried into the time shown).
double startedAt(const PublishedState& state, const Now& now);

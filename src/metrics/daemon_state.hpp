// What the daemon knows of the box after each pass, kept for the operator's tools.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

// Why smsd was restarted. The first pass restarts it whatever it measures.
enum class RestartCause {
    first_pass,
    modem_count_changed,
    blocked_count_changed,
    smsd_not_running,
    heal,
    smsd_not_responding
};
constexpr int kRestartCauseCount = 6;

// The name a cause has in the published state: "first_pass" and so on.
const char* restartCauseName(RestartCause cause);

// A port of the configuration smsd runs on.
struct PortState {
    std::string device;  // the /dev entry name its configuration gives
    std::string target;  // what that entry links to; empty when it is no link
    std::string state;   // smsd's word for the port; "unknown" until smsd has reported it
    bool spool_directory = false;
    // Whether its modem answers smsd, and since when it does not (seconds since the epoch).
    bool answering = true;
    double not_answering_since = 0;
    std::optional<int> signal_dbm;  // as smsd reports it, "ssi: -73 dBm"
    // Heals, with healing on.
    long heals_answering = 0;
    long heals_not_answering = 0;
    long heal_steps_done = 0, heal_steps_failed = 0, heal_steps_refused = 0, heal_steps_mode_switch = 0;
    std::string heal_last_step;  // "done", "failed: why", "refused: why", "mode_switch: why"; empty before any
    bool heal_given_up = false;
    std::string heal_given_up_why;
    // What moved through it since the daemon started, by smsd's log; times since the epoch, 0
    // before any.
    long sent = 0, send_failures = 0, received = 0;
    double last_sent_time = 0, last_received_time = 0;
    std::string problem;       // "not_answering", "sim", "network", "rejected", "storage_full"; "" for none
    std::string last_failure;  // the modem's words on the last refusal, printable
};

struct DaemonState {
    bool running = false;  // false once the daemon has stopped in order
    bool healing = false;  // --heal
    // Wall-clock times are for people; the boot-time ones (CLOCK_BOOTTIME, which no clock step
    // moves) are what ages are measured on.
    double start_time = 0;
    double start_boottime = 0;
    int pass_interval = 0;  // seconds of sleep after each pass
    long passes = 0;
    double last_pass_end_time = 0;
    double last_pass_end_boottime = 0;
    double last_pass_duration = 0;
    // As the last pass measured them.
    int present = 0;
    int configured = -1;
    bool smsd_running = false;
    bool status_readable = true;  // the status file was read, or did not exist
    // smsd has written its status file since it started: only then are the counts and the
    // ports' states its own, rather than a dead or replaced smsd's.
    bool status_known = false;
    int receiving = 0;
    int blocked = 0;
    std::vector<PortState> ports;  // the configuration in force, port by port
    // The messages waiting in the spool; counting stops at a bound (`waiting_complete` false).
    long messages_waiting = 0;
    double oldest_waiting_time = 0;  // the oldest's modification time; 0 with none
    bool waiting_complete = true;
    // smsd runs and writes its files (or has not been still for long): see kSmsdQuietSeconds.
    bool smsd_responding = true;
    std::array<long, kRestartCauseCount> restarts{};
    bool restart_owed = false;  // a restart with a new configuration is due and not done yet
    double last_restart_time = 0;
    RestartCause last_restart_cause = RestartCause::first_pass;
};

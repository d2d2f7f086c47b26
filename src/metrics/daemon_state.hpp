// What the daemon knows of the box after each pass, kept for the operator's tools.
#pragma once

#include "common/clock.hpp"
#include "common/modem_slots.hpp"

#include <array>
#include <string>

// Why smsd was restarted. The first pass restarts it whatever it measures.
enum class RestartCause { first_pass, modem_count_changed, blocked_count_changed };
constexpr int kRestartCauseCount = 3;

// The name a cause has in the published state: "first_pass" and so on.
const char* restartCauseName(RestartCause cause);

struct PortState {
    std::string device;  // the /dev entry name
    std::string target;  // what that entry links to; empty when it is no link
    std::string state;   // smsd's word for the port; "unknown" when its status file has none
    bool spool_directory = false;
};

struct DaemonState {
    bool running = false;  // false once the daemon has stopped in order
    double start_time = 0;
    int pass_interval = 0;  // seconds of sleep after each pass
    long passes = 0;
    double last_pass_end_time = 0;
    double last_pass_duration = 0;
    // As the last pass measured them.
    int present = 0;
    int configured = -1;
    bool status_read = false;  // the status file could be read (or did not exist)
    int receiving = 0;
    int blocked = 0;
    std::array<PortState, kModemSlotCount> ports;  // the first `present`
    std::array<long, kRestartCauseCount> restarts{};
    double last_restart_time = 0;
    RestartCause last_restart_cause = RestartCause::first_pass;
};

// Filled in by the process frame and the supervision pass, published after every pass.
extern DaemonState daemon_state;

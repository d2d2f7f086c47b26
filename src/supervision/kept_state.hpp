// What one supervision pass hands the next: the only state kept across passes.
#pragma once

#include "heal/heal.hpp"
#include "health/port_health.hpp"

struct KeptState {
    long passes = 0;  // passes finished
    bool first_pass = true;
    int last_blocked_count = 0;
    // The first pass restarts smstools whatever it measures; a restart that did not write its
    // configuration (no room for it, smsd that would not stop, a write that failed) is owed in the
    // same way until it has been done.
    bool restart_owed = true;
    // Restarts that left no smsd running, or brought back one that had died, since smsd was last
    // seen running at a pass that did not start it; and the pass from which on the next restart
    // for a dead smsd may run: a box whose smsd cannot start, or dies soon after each start, is
    // restarted after 1, 2, 4, ... up to 32 passes rather than every pass for ever.
    int failed_restarts = 0;
    long next_revival_pass = 0;
    // Restarts that ran without their configuration being written (a read-only /etc, say), and
    // the pass from which on the owed one may run again: after 1, 2, 4, ... up to 32 passes.
    int failed_writes = 0;
    long next_owed_pass = 0;
    // Restarts of an smsd that had stopped writing its files, since one last showed life after its
    // start; and the pass from which on the next such restart may run (1, 2, 4, ... 32 passes).
    int unresponsive_restarts = 0;
    long next_unresponsive_pass = 0;
    // smsd's newest sign of life as the last pass found it (its files' and its start's wall-clock
    // times), when on the boot-time clock a pass first found it so, and when the last pass ran: a
    // step of the wall clock (NTP on a board without a real-time clock steps it by months) must
    // not make smsd look still for that long.
    double smsd_newest_sign = 0;
    double smsd_sign_boottime = -1;  // -1: no pass yet
    double last_pass_boottime = -1;
    PortHealths health;  // whether each port's modem answers smsd
    HealState heals;     // with healing on: each port's heals and their outcomes
};

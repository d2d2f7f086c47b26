// One supervision pass: measure, decide, and restart smstools when it is out of line.
#include "supervision/supervision_pass.hpp"

#include "common/fatal_signals.hpp"
#include "common/modem_slots.hpp"
#include "log/activity_log.hpp"
#include "log/write_errors.hpp"
#include "common/clock.hpp"
#include "metrics/daemon_state.hpp"
#include "metrics/metrics_file.hpp"
#include "smstools/run_logs.hpp"
#include "smstools/smsd_conf.hpp"
#include "smstools/smstools_paths.hpp"
#include "smstools/smsd_process.hpp"
#include "smstools/smstools_service.hpp"
#include "supervision/dev_scan.hpp"
#include "supervision/pass_state.hpp"
#include "supervision/smsd_probes.hpp"
#include "heal/heal.hpp"
#include "health/port_health.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <syslog.h>
#include <chrono>
#include <thread>

namespace {

bool first_pass = true;
int last_blocked_count = 0;
// The first pass restarts smstools whatever it measures; a restart the disk had no room
// for is owed in the same way until it has been done.
bool restart_owed = true;

// Restarts that left no smsd running, or brought back one that had died, since smsd was last seen
// running at a pass that did not start it; and the pass from which on the next restart for a
// dead smsd may run: a box whose smsd cannot start, or dies soon after each start, is restarted
// after 1, 2, 4, ... up to 32 passes rather than every pass for ever.
int failed_restarts = 0;
long next_revival_pass = 0;
constexpr int kLongestBackoffShift = 5;

// The modem slot table of the pass under way; its names are released when it ends.
ModemSlots slots;

// All the operator's tools learn of the box: assembled by the pass, published once per pass.
DaemonState state;

// smsd is stopped for the whole rewrite, so it never reads a half-written file. Nothing is
// stopped when the new configuration has no room on the disk: smsd goes on with the old one.
bool restartSmstools(int present, const std::vector<HealTarget>& heal = {})
{
    SmsdConfRewrite conf;
    if (!prepareSmsdConf(slots, present, conf)) {
        const int error = errno;
        reportWriteError(kSmsdConfPath, error);
        logLine("Not restarting smstools: no room for a new /etc/smsd.conf (%s)", std::strerror(error));
        return false;
    }
    // A kill between stop and start would leave the box without smsd: such signals wait
    // until smsd runs again.
    const FatalSignalsHeld held;
    logLine("Stopping smstools...");
    // smstools' init script acts as root on whatever smsd's pid file names.
    mendSmsdPidFiles();
    stopSmstools();
    smsdRestarted();
    emptyRunLogs();
    healPorts(heal);
    createsmsd(conf);
    logLine("Starting smstools...");
    mendSmsdPidFiles();
    startSmstools();
    if (held.anyPending()) {
        // The process ends as the hold does; the pass's lines need not go with it.
        flushLogBeforeExit();
    }
    return true;
}

// The init script may return before smsd has written its pid file: give it a moment.
SmsdProcess smsdAfterStart()
{
    SmsdProcess smsd = findSmsd();
    for (int tries = 0; !smsd.running && tries < 15; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        smsd = findSmsd();
    }
    return smsd;
}

// The ports of the configuration in force as healing needs them.
std::vector<PortObservation> observePorts(const std::vector<std::string>& devices, const StatusReading& status,
                                          const SmsdProcess& smsd)
{
    const bool words_fresh = status.outcome == StatusReading::read && notBefore(status.modified, smsd.started);
    std::vector<PortObservation> ports(devices.size());
    if (!healingEnabled()) {
        return ports;
    }
    for (size_t k = 0; k < devices.size(); ++k) {
        ports[k].device = devices[k];
        ports[k].health = portHealth(devices[k]);
        ports[k].blocked = words_fresh && k < status.states.words.size() && status.states.words[k] == "Blocked";
        ports[k].usb_address = devices[k].empty() ? std::string() : usbAddressOf(devices[k]);
    }
    return ports;
}

// Why this pass restarts smsd: the first pass (or a restart owed since) whatever it measured,
// else the port counts before the blocked count, and a dead smsd when nothing else is to mend.
RestartCause causeOf(bool changed, bool owed, int configured, int present)
{
    if (changed && !first_pass) {
        return configured != present ? RestartCause::modem_count_changed : RestartCause::blocked_count_changed;
    }
    return first_pass || owed ? RestartCause::first_pass : RestartCause::smsd_not_running;
}

void recordRestart(RestartCause cause)
{
    ++state.restarts[static_cast<size_t>(cause)];
    state.last_restart_time = wallClockSeconds();
    state.last_restart_cause = cause;
}

} // namespace

void supervisionStarted(int pass_interval)
{
    state.running = true;
    state.start_time = wallClockSeconds();
    state.start_boottime = clockSeconds(CLOCK_BOOTTIME);
    state.pass_interval = pass_interval;
}

void supervisionStopped()
{
    state.running = false;
    publishDaemonState(state);
}

bool checkmodemstatus()
{
    const double started = clockSeconds(CLOCK_MONOTONIC);
    logLine("Checking modemstatus");
    const int configured = getsmsdcount();
    clearSlots(slots);
    if (!getallgsmmodemfolders(slots)) {
        clearSlots(slots);
        return false;
    }
    const int present = inUse(slots, kModemSlotCount);
    StatusReading status;
    const int blocked = ModemsBlocked(configured, status);
    SmsdProcess smsd = findSmsd();
    // What smsd said of the ports of the configuration it runs on.
    const std::vector<std::string> devices = configuredDevices();
    judgePorts(devices);

    const bool changed = blocked != last_blocked_count || configured != present;
    if (changed && !first_pass) {
        // Log scrapers on deployed boxes match this wording, "diffrent" included; it is
        // also the line for a change in the blocked count alone.
        logLine("%s%d%s%d)", "Number of GSM ports in smsd.conf(", configured,
                ") is diffrent from actual count(", present);
    }
    // Modems to serve and no smsd serving them: smsd died, or never came up after a restart.
    const bool revive = !changed && !restart_owed && present > 0 && !smsd.running && state.passes >= next_revival_pass;
    if (revive) {
        syslog(LOG_WARNING, "smsd is not running: restarting smstools");
    }
    // A modem that stopped answering (or stays blocked), where the admin allows healing: a
    // restart of its own, in a pass that has none for anything else.
    std::vector<HealTarget> heal;
    if (!changed && !restart_owed && !revive && smsd.running) {
        heal = portsToHeal(observePorts(devices, status, smsd), wallClockSeconds() - timespecSeconds(smsd.started),
                           clockSeconds(CLOCK_BOOTTIME), std::time(nullptr));
    }
    bool restarted = false;
    if (!heal.empty()) {
        restarted = restartSmstools(present, heal);
        if (restarted) {
            last_blocked_count = blocked;
            recordRestart(RestartCause::heal);
            smsd = smsdAfterStart();
        }
    } else if (changed || restart_owed || revive) {
        // A restart not done leaves the change unhandled, so the next pass tries again.
        const bool owed = restart_owed;
        restarted = restartSmstools(present);
        restart_owed = (changed || owed) && !restarted;
        if (restarted) {
            last_blocked_count = blocked;
            recordRestart(causeOf(changed, owed, configured, present));
            smsd = smsdAfterStart();
            // An smsd brought back from the dead has not come back until it lives to a pass of
            // its own: one that dies seconds after each start looks alive right after it.
            if (revive || !smsd.running) {
                next_revival_pass = state.passes + (1L << std::min(failed_restarts, kLongestBackoffShift));
                ++failed_restarts;
            }
        }
    }
    if (smsd.running && !restarted) {
        failed_restarts = 0;
        next_revival_pass = 0;
    }
    clearSlots(slots);
    first_pass = false;

    recordPass(state, {configured, present, status, smsd, restarted});
    ++state.passes;
    state.last_pass_end_time = wallClockSeconds();
    state.last_pass_end_boottime = clockSeconds(CLOCK_BOOTTIME);
    state.last_pass_duration = clockSeconds(CLOCK_MONOTONIC) - started;
    publishDaemonState(state);
    return true;
}

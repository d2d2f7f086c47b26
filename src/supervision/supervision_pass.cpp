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
#include "smstools/smsd_stop.hpp"
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
// The first pass restarts smstools whatever it measures; a restart that did not write its
// configuration (no room for it, smsd that would not stop, a write that failed) is owed in the
// same way until it has been done.
bool restart_owed = true;

// Restarts that left no smsd running, or brought back one that had died, since smsd was last seen
// running at a pass that did not start it; and the pass from which on the next restart for a
// dead smsd may run: a box whose smsd cannot start, or dies soon after each start, is restarted
// after 1, 2, 4, ... up to 32 passes rather than every pass for ever.
int failed_restarts = 0;
long next_revival_pass = 0;
constexpr int kLongestBackoffShift = 5;
// Restarts that ran without their configuration being written (a read-only /etc, say), and the
// pass from which on the owed one may run again: after 1, 2, 4, ... up to 32 passes.
int failed_writes = 0;
long next_owed_pass = 0;

// The modem slot table of the pass under way; its names are released when it ends.
ModemSlots slots;

// All the operator's tools learn of the box: assembled by the pass, published once per pass.
DaemonState state;

// What a restart did: whether smsd was stopped and started (`ran`), and whether the new
// configuration went in (`written`): only then is it the restart the pass owed.
struct RestartDone {
    bool ran = false;
    bool written = false;
};

// smsd is stopped for the whole rewrite, so it never reads a half-written file. Nothing is
// stopped when the new configuration has no room on the disk (smsd goes on with the old one), when
// smstools' init script could be handed a pid file smsd's user wrote, or when smsd does not end.
RestartDone restartSmstools(int present, const std::vector<HealTarget>& heal = {})
{
    RestartDone done;
    SmsdConfRewrite conf;
    if (!prepareSmsdConf(slots, present, conf)) {
        const int error = errno;
        reportWriteError(kSmsdConfPath, error);
        logLine("Not restarting smstools: no room for a new /etc/smsd.conf (%s)", std::strerror(error));
        return done;
    }
    // A kill between stop and start would leave the box without smsd: such signals wait
    // until smsd runs again.
    const FatalSignalsHeld held;
    std::vector<pid_t> stopped;
    {
        // The init script stops whatever its pid file names, and smsd's user writes that file:
        // the script is shown an empty directory instead, and smsd is stopped here.
        const SmsdRunDirectoryHidden hidden;
        if (hidden.error != 0) {
            syslog(LOG_ERR, "Can not hide %s from smstools' init script: %s", kSmsdRunDirectory,
                   std::strerror(hidden.error));
            logLine("Not restarting smstools: %s cannot be hidden from its init script (%s)", kSmsdRunDirectory,
                    std::strerror(hidden.error));
            return done;
        }
        logLine("Stopping smstools...");
        const SmsdStopped smsd = stopSmsdProcesses();
        if (!smsd.survivors.empty()) {
            syslog(LOG_ERR, "smsd (pid %d) did not end on SIGKILL: smstools is not restarted",
                   static_cast<int>(smsd.survivors.front()));
            logLine("Not restarting smstools: smsd (pid %d) did not end", static_cast<int>(smsd.survivors.front()));
            return done;
        }
        stopSmstools();
        stopped = smsd.stopped;
    }
    // In smsd's own directory, back in place: the pid file of the smsd stopped here.
    forgetPidFilesOf(stopped);
    done.ran = true;
    smsdRestarted();
    emptyRunLogs();
    healPorts(heal);
    done.written = createsmsd(conf);
    logLine("Starting smstools...");
    // smstools' start blocks on a FIFO at its pid file's path, and a pid left there is believed.
    mendSmsdPidFiles();
    startSmstools();
    if (held.anyPending()) {
        // The process ends as the hold does; the pass's lines need not go with it.
        flushLogBeforeExit();
    }
    return done;
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
    // Changes, and a restart owed, need the configuration rewritten; a revival and a heal need smsd
    // started again, and the configuration they write is the one in force.
    const bool needs_config = changed || restart_owed;
    const bool owed_due = restart_owed && state.passes >= next_owed_pass;
    RestartDone done;
    const bool attempted = !heal.empty() || changed || owed_due || revive;
    if (attempted) {
        done = restartSmstools(present, heal);
    }
    const bool counted = done.ran && (done.written || !needs_config);
    if (done.ran) {
        last_blocked_count = blocked;
        smsd = smsdAfterStart();
    }
    if (counted) {
        recordRestart(heal.empty() ? causeOf(changed, restart_owed, configured, present) : RestartCause::heal);
        // An smsd brought back from the dead has not come back until it lives to a pass of
        // its own: one that dies seconds after each start looks alive right after it.
        if (heal.empty() && (revive || !smsd.running)) {
            next_revival_pass = state.passes + (1L << std::min(failed_restarts, kLongestBackoffShift));
            ++failed_restarts;
        }
    }
    if (attempted && needs_config) {
        // A configuration not written leaves the change unhandled: the next pass tries again,
        // and after a restart that ran without it, ever less often.
        restart_owed = !done.written;
        if (done.written) {
            failed_writes = 0;
            next_owed_pass = 0;
        } else if (done.ran) {
            next_owed_pass = state.passes + (1L << std::min(failed_writes, kLongestBackoffShift));
            ++failed_writes;
        }
    }
    if (smsd.running && !done.ran) {
        failed_restarts = 0;
        next_revival_pass = 0;
    }
    clearSlots(slots);
    first_pass = false;

    recordPass(state, {configured, present, status, smsd, done.ran});
    state.restart_owed = restart_owed;
    ++state.passes;
    state.last_pass_end_time = wallClockSeconds();
    state.last_pass_end_boottime = clockSeconds(CLOCK_BOOTTIME);
    state.last_pass_duration = clockSeconds(CLOCK_MONOTONIC) - started;
    publishDaemonState(state);
    return true;
}

// One supervision pass: measure, decide, and restart smstools when it is out of line.
#include "supervision/supervision_pass.hpp"

#include "common/fatal_signals.hpp"
#include "common/modem_slots.hpp"
#include "common/write_file.hpp"
#include "log/activity_log.hpp"
#include "metrics/daemon_state.hpp"
#include "metrics/metrics_file.hpp"
#include "smstools/run_logs.hpp"
#include "smstools/smsd_conf.hpp"
#include "smstools/smstools_paths.hpp"
#include "smstools/smstools_service.hpp"
#include "supervision/dev_scan.hpp"
#include "supervision/smsd_probes.hpp"

#include <cerrno>
#include <cstring>

namespace {

bool first_pass = true;
int last_blocked_count = 0;
// The first pass restarts smstools whatever it measures; a restart the disk had no room
// for is owed in the same way until it has been done.
bool restart_owed = true;

// The modem slot table of the pass under way; its names are released when it ends.
ModemSlots slots;

// smsd is stopped for the whole rewrite, so it never reads a half-written file. Nothing is
// stopped when the new configuration has no room on the disk: smsd goes on with the old one.
bool restartSmstools(int present)
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
    stopSmstools();
    emptyRunLogs();
    createsmsd(conf);
    logLine("Starting smstools...");
    startSmstools();
    if (held.anyPending()) {
        // The process ends as the hold does; the pass's lines need not go with it.
        static_cast<void>(std::fflush(log_stream));
    }
    return true;
}

// Why this pass restarts smsd: the first pass (or a restart owed since) whatever it measured,
// else the port counts before the blocked count.
RestartCause causeOf(bool changed, int configured, int present)
{
    if (first_pass || !changed) {
        return RestartCause::first_pass;
    }
    return configured != present ? RestartCause::modem_count_changed : RestartCause::blocked_count_changed;
}

void recordRestart(RestartCause cause)
{
    ++daemon_state.restarts[static_cast<size_t>(cause)];
    daemon_state.last_restart_time = wallClockSeconds();
    daemon_state.last_restart_cause = cause;
}

} // namespace

void checkmodemstatus()
{
    const double started = clockSeconds(CLOCK_MONOTONIC);
    logLine("Checking modemstatus");
    const int configured = getsmsdcount();
    clearSlots(slots);
    getallgsmmodemfolders(slots);
    const int present = inUse(slots, kModemSlotCount);
    const int blocked = ModemsBlocked(configured);

    const bool changed = blocked != last_blocked_count || configured != present;
    if (changed && !first_pass) {
        // Log scrapers on deployed boxes match this wording, "diffrent" included; it is
        // also the line for a change in the blocked count alone.
        logLine("%s%d%s%d)", "Number of GSM ports in smsd.conf(", configured,
                ") is diffrent from actual count(", present);
    }
    if (changed || restart_owed) {
        // A restart not done leaves the change unhandled, so the next pass tries again.
        restart_owed = !restartSmstools(present);
        if (!restart_owed) {
            last_blocked_count = blocked;
            recordRestart(causeOf(changed, configured, present));
        }
    }
    clearSlots(slots);
    first_pass = false;

    daemon_state.configured = configured;
    daemon_state.present = present;
    ++daemon_state.passes;
    daemon_state.last_pass_end_time = wallClockSeconds();
    daemon_state.last_pass_duration = clockSeconds(CLOCK_MONOTONIC) - started;
    publishDaemonState();
}

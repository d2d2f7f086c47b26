// A pass's third step: carrying out what was decided, in the one order a restart may take.
#include "supervision/act.hpp"

#include "common/fatal_signals.hpp"
#include "log/activity_log.hpp"
#include "heal/heal_steps.hpp"
#include "smstools/run_logs.hpp"
#include "smstools/smsd_conf.hpp"
#include "smstools/smsd_log.hpp"
#include "smstools/smsd_stop.hpp"
#include "smstools/smstools_paths.hpp"
#include "smstools/smstools_service.hpp"
#include "supervision/pass_reports.hpp"
#include "supervision/port_spools.hpp"

#include <cerrno>
#include <chrono>
#include <syslog.h>
#include <thread>

namespace {

// smsd is stopped for the whole rewrite, so it never reads a half-written file. Nothing is
// stopped when the new configuration has no room on the disk (smsd goes on with the old one), when
// smstools' init script could be handed a pid file smsd's user wrote, or when smsd does not end.
void restartSmstools(const Measurements& seen, const std::vector<HealTarget>& heal, Acted& acted)
{
    SmsdConfRewrite conf;
    if (!prepareSmsdConf(seen.slots, seen.present, conf)) {
        reportRefusal({RestartRefusal::no_room, errno, 0});
        return;
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
            reportRefusal({RestartRefusal::not_hidden, hidden.error, 0});
            return;
        }
        logLine("Stopping smstools...");
        const SmsdStopped smsd = stopSmsdProcesses();
        if (!smsd.survivors.empty()) {
            reportRefusal({RestartRefusal::survivor, 0, smsd.survivors.front()});
            return;
        }
        reportKilled(smsd.killed);
        stopSmstools();
        stopped = smsd.stopped;
    }
    // In smsd's own directory, back in place: the pid file of the smsd stopped here.
    forgetPidFilesOf(stopped);
    acted.ran = true;
    // What smsd said before the restart is no word on the ports of the configuration after it.
    skipSmsdLog();
    reportRunLogsNotEmptied(emptyRunLogs());
    for (size_t k = 0; k < heal.size(); ++k) {
        acted.heals[k] = healPort(heal[k]);
    }
    acted.written = createsmsd(conf);
    logLine("Starting smstools...");
    // smstools' start blocks on a FIFO at its pid file's path, and a pid left there is believed.
    reportPidFilesRemoved(mendSmsdPidFiles());
    startSmstools();
    if (held.anyPending()) {
        // The process ends as the hold does; the pass's lines need not go with it.
        flushLogBeforeExit();
    }
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

} // namespace

Acted act(const Decision& decision, const Measurements& seen)
{
    Acted acted;
    acted.smsd = seen.smsd;
    acted.heals.resize(decision.heal.size());
    acted.spool_directories.reserve(kModemSlotCount);
    const std::vector<int> spool_errors = makePortSpoolDirectories(seen.present);
    reportSpoolDirectories(spool_errors);
    for (const int error : spool_errors) {
        acted.spool_directories.push_back(error == 0);
    }
    publishModemCount(seen.status);
    if (decision.mismatch_line) {
        // Log scrapers on deployed boxes match this wording, "diffrent" included; it is
        // also the line for a change in the blocked count alone.
        logLine("%s%d%s%d)", "Number of GSM ports in smsd.conf(", seen.configured,
                ") is diffrent from actual count(", seen.present);
    }
    if (decision.revive) {
        syslog(LOG_WARNING, "smsd is not running: restarting smstools");
    }
    reportGivenUp(decision.given_up);
    reportWithheld(decision.withheld);
    if (decision.unresponsive_restart) {
        reportUnresponsive(decision.smsd_quiet_for);
    }
    if (decision.restart) {
        restartSmstools(seen, decision.heal, acted);
    }
    if (acted.ran) {
        acted.smsd = smsdAfterStart();
    }
    return acted;
}

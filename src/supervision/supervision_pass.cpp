// One supervision pass: measure, decide, and restart smstools when it is out of line.
#include "supervision/supervision_pass.hpp"

#include "common/modem_slots.hpp"
#include "log/activity_log.hpp"
#include "smstools/run_logs.hpp"
#include "smstools/smsd_conf.hpp"
#include "smstools/smstools_service.hpp"
#include "supervision/dev_scan.hpp"
#include "supervision/smsd_probes.hpp"

namespace {

bool first_pass = true;
int last_blocked_count = 0;

// The modem slot table of the pass under way; its names are released when it ends.
ModemSlots slots;

// smsd is stopped for the whole rewrite, so it never reads a half-written file.
void restartSmstools(int present)
{
    logLine("Stopping smstools...");
    stopSmstools();
    emptyRunLogs();
    createsmsd(slots, present);
    logLine("Starting smstools...");
    startSmstools();
}

} // namespace

void checkmodemstatus()
{
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
    if (changed || first_pass) {
        restartSmstools(present);
        last_blocked_count = blocked;
    }
    clearSlots(slots);
    first_pass = false;
}

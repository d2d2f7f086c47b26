// What a pass tells the operator about what went wrong or was mended, all in one place.
#include "supervision/pass_reports.hpp"

#include "common/modem_slots.hpp"
#include "common/port_name.hpp"
#include "log/activity_log.hpp"
#include "log/write_errors.hpp"
#include "metrics/metrics_names.hpp"
#include "smstools/smsd_stop.hpp"
#include "smstools/smstools_paths.hpp"
#include "smstools/status_file.hpp"

#include <array>
#include <cstring>
#include <syslog.h>

namespace {

// Per port: its spool directory could not be made and that has been said. Cleared once the
// directory is there, so a box that loses it again says so again, but not every pass.
std::array<bool, kModemSlotCount> spool_failure_reported{};
// Set while the status file is longer than any smsd writes.
bool cut_short_reported = false;
// Set while publishing fails, so that a full or read-only /run is reported once.
bool publish_failure_reported = false;

} // namespace

void reportRefusal(const RestartRefusal& refusal)
{
    const char* error = std::strerror(refusal.error);
    switch (refusal.reason) {
    case RestartRefusal::none:
        return;
    case RestartRefusal::no_room:
        reportWriteError(kSmsdConfPath, refusal.error);
        logLine("Not restarting smstools: no room for a new /etc/smsd.conf (%s)", error);
        return;
    case RestartRefusal::not_hidden:
        syslog(LOG_ERR, "Can not hide %s from smstools' init script: %s", kSmsdRunDirectory, error);
        logLine("Not restarting smstools: %s cannot be hidden from its init script (%s)", kSmsdRunDirectory, error);
        return;
    case RestartRefusal::survivor:
        syslog(LOG_ERR, "smsd (pid %d) did not end on SIGKILL: smstools is not restarted", static_cast<int>(refusal.pid));
        logLine("Not restarting smstools: smsd (pid %d) did not end", static_cast<int>(refusal.pid));
        return;
    }
}

void reportRunLogsNotEmptied(const std::vector<RunLogNotEmptied>& skipped)
{
    for (const RunLogNotEmptied& entry : skipped) {
        syslog(LOG_WARNING, "Not emptying %s/%s: %s", kRunLogDirectory, entry.name.c_str(), entry.reason);
    }
}

void reportPidFilesRemoved(const std::vector<PidFileRemoved>& removed)
{
    for (const PidFileRemoved& file : removed) {
        syslog(LOG_WARNING, "Removed %s before it reached smstools' init script: %s", file.path, file.why);
    }
}

void reportGivenUp(const std::vector<HealGivenUp>& ports)
{
    for (const HealGivenUp& port : ports) {
        const std::string why =
            port.why.empty() ? std::to_string(port.failures) + " heals in a day did not bring it back" : port.why;
        logLine("Giving up on %s: %s; left alone until it has answered for an hour or is replugged", port.device.c_str(),
                why.c_str());
        syslog(LOG_WARNING, "Giving up on healing %s: %s", port.device.c_str(), why.c_str());
    }
}

void reportWithheld(const std::vector<HealWithheld>& ports)
{
    for (const HealWithheld& port : ports) {
        logLine("Not healing %s: %s", port.device.c_str(), port.why.c_str());
        syslog(LOG_NOTICE, "Not healing %s: %s", port.device.c_str(), port.why.c_str());
    }
}

void reportUnresponsive(double quiet_for)
{
    syslog(LOG_WARNING, "smsd is not responding: it has written none of its files for %ld s; restarting smstools",
           static_cast<long>(quiet_for));
}

void reportKilled(const std::vector<pid_t>& killed)
{
    if (!killed.empty()) {
        syslog(LOG_WARNING, "smsd did not end within %d s of SIGTERM: %zu of its processes killed", kSmsdTermWaitMs / 1000,
               killed.size());
    }
}

void reportSpoolDirectories(const std::vector<int>& errors)
{
    for (size_t k = 0; k < errors.size() && k < spool_failure_reported.size(); ++k) {
        if (errors[k] != 0 && !spool_failure_reported[k]) {
            syslog(LOG_WARNING, "Can not make spool directory %s/%s, error: %s", kSpoolDirectory,
                   portName(static_cast<int>(k) + 1).c_str(), std::strerror(errors[k]));
        }
        spool_failure_reported[k] = errors[k] != 0;
    }
}

void reportStatusFileCutShort(bool cut_short)
{
    if (cut_short && !cut_short_reported) {
        syslog(LOG_WARNING, "%s is longer than %zu bytes: only its start is read", kStatusFilePath, kStatusReadLimit);
    }
    cut_short_reported = cut_short;
}

void reportPublished(int error)
{
    if (error != 0 && !publish_failure_reported) {
        syslog(LOG_ERR, "Can not publish %s, error: %s", kMetricsPath, std::strerror(error));
    }
    publish_failure_reported = error != 0;
}

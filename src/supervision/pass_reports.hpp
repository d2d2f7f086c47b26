// What a pass tells the operator about what went wrong or was mended: every such text, its
// syslog priority and whether it also goes to the activity log, in one place. The helpers that
// meet the trouble return it; the pass hands it here, once.
#pragma once

#include "heal/heal.hpp"
#include "smstools/run_logs.hpp"
#include "smstools/smsd_process.hpp"

#include <sys/types.h>
#include <vector>

// Why a restart stopped nothing.
struct RestartRefusal {
    enum Reason { none, no_room, not_hidden, survivor } reason = none;
    int error = 0;
    pid_t pid = 0;
};

void reportRefusal(const RestartRefusal& refusal);
void reportRunLogsNotEmptied(const std::vector<RunLogNotEmptied>& skipped);
void reportPidFilesRemoved(const std::vector<PidFileRemoved>& removed);
void reportGivenUp(const std::vector<HealGivenUp>& ports);
void reportWithheld(const std::vector<HealWithheld>& ports);
void reportUnresponsive(double quiet_for);
void reportKilled(const std::vector<pid_t>& killed);

// These say a lasting trouble once, and again only after it has gone away and come back.
void reportSpoolDirectories(const std::vector<int>& errors);  // errors[k]: port k + 1's
void reportStatusFileCutShort(bool cut_short);
void reportPublished(int error);

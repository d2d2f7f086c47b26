// A pass's third step: carrying out what was decided, in the one order a restart may take.
#pragma once

#include "smstools/smsd_process.hpp"
#include "supervision/decide.hpp"
#include "supervision/measure.hpp"

#include <vector>

struct Acted {
    bool ran = false;      // smsd was stopped and started
    bool written = false;  // with its new configuration in place of /etc/smsd.conf
    SmsdProcess smsd;      // smsd as it runs at the end of the pass
    std::vector<bool> spool_directories;  // port k + 1 of those present has its spool directory
    std::vector<HealOutcome> heals;        // of each heal the decision asked for
};

// Makes the present ports' spool directories, publishes /mnt/ModemCount, says what the decision
// says, and restarts smstools if it is to be: the new configuration written aside, smsd stopped
// by the daemon with its pid files out of the init script's reach, `service smstools stop`, the
// run logs emptied and smsd's log skipped (nothing said before is a word on the new ports), the
// heals, the configuration renamed into place, `service smstools start`. Fatal signals wait
// while smsd is stopped. When the restart cannot be done safely nothing is stopped, and why is
// logged.
Acted act(const Decision& decision, const Measurements& seen);

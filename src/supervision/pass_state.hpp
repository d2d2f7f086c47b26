// Turning what one pass found into the state the operator's tools are shown.
#pragma once

#include "metrics/daemon_state.hpp"
#include "smstools/smsd_process.hpp"
#include "supervision/smsd_probes.hpp"

struct PassFindings {
    int configured = -1;
    int present = 0;
    StatusReading status;  // as read before any restart of this pass
    SmsdProcess smsd;      // as it runs at the end of the pass
    bool restarted = false;
};

// Fills the measurements of `state` from `found`. The ports are those of the configuration in
// force, read back from /etc/smsd.conf, so a port is always named by the device smsd serves on
// it. smsd's counts and words are taken only from a status file written since the running smsd
// started: one left by a dead smsd, or read before this pass restarted it, is nobody's word on
// the ports now, and they are "unknown".
void recordPass(DaemonState& state, const PassFindings& found);

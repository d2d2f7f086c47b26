// A pass's last step: the state the operator's tools are shown, from what the pass measured
// and did, never measured again.
#pragma once

#include "metrics/daemon_state.hpp"
#include "supervision/act.hpp"
#include "supervision/decide.hpp"
#include "supervision/kept_state.hpp"
#include "supervision/measure.hpp"

// Fills `state` from the pass and publishes it. The ports are those of the configuration in
// force at the end of the pass: the modems present when this pass wrote one, else those of
// /etc/smsd.conf as measured. smsd's counts and words are taken only from a status file written
// since the running smsd started: one left by a dead smsd, or read before this pass restarted
// it, is nobody's word on the ports now, and they are "unknown".
void publishPass(DaemonState& state, const Measurements& seen, const Decision& decision, const Acted& acted,
                 const KeptState& kept, double started);

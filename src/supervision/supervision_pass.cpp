// One supervision pass, in four steps on plain values: measure the box, decide what to do,
// act on it, publish what was seen and done.
#include "supervision/supervision_pass.hpp"

#include "common/clock.hpp"
#include "metrics/daemon_state.hpp"
#include "metrics/metrics_file.hpp"
#include "supervision/act.hpp"
#include "supervision/decide.hpp"
#include "supervision/kept_state.hpp"
#include "supervision/measure.hpp"
#include "supervision/pass_reports.hpp"
#include "supervision/publish_pass.hpp"

namespace {

// What one pass hands the next.
KeptState kept;

// All the operator's tools learn of the box: assembled by the passes, published once per pass.
DaemonState state;

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
    reportPublished(publishDaemonState(state));
}

bool checkmodemstatus()
{
    const double started = clockSeconds(CLOCK_MONOTONIC);
    Measurements seen;
    if (!measure(seen)) {
        return false;
    }
    const Decision decision = decide(seen, kept);
    const Acted acted = act(decision, seen);
    std::vector<HealGivenUp> given_up;
    kept = rememberPass(std::move(kept), seen, decision, acted, given_up);
    reportGivenUp(given_up);
    publishPass(state, seen, decision, acted, kept, started);
    return true;
}

// A pass's second step: what to do about what it measured, decided without touching the box.
#pragma once

#include "heal/heal.hpp"
#include "metrics/daemon_state.hpp"
#include "supervision/kept_state.hpp"
#include "supervision/measure.hpp"

#include <vector>

struct Decision {
    // The counts disagree, or the blocked count moved since the last restart.
    bool changed = false;
    // Changed past the first pass: "Number of GSM ports in smsd.conf(...) is diffrent ...".
    bool mismatch_line = false;
    // Modems to serve and no smsd serving them: smsd died, or never came up after a restart.
    bool revive = false;
    // smsd runs, has ports to serve, and has written none of its files for longer than an idle
    // healthy smsd ever stays still: it is restarted as a dead one is, and said so.
    bool responding = true;
    double smsd_quiet_for = 0;  // seconds since smsd's last sign of life (or its start)
    bool unresponsive_restart = false;
    // smstools is to be restarted in this pass, and why.
    bool restart = false;
    RestartCause cause = RestartCause::first_pass;
    // The restart is the one owed only when it writes a new configuration; a revival and a
    // heal need smsd started again on the configuration in force.
    bool needs_config = false;
    // With healing on: the ports healed in the restart, and those given up on now.
    std::vector<HealTarget> heal;
    std::vector<HealGivenUp> given_up;
    std::vector<HealWithheld> withheld;  // ports not healed for their cause, said once
    // `kept`'s health and heals brought up to date by this pass's measurements.
    PortHealths health;
    HealState heals;
};

// The restart and the heals this pass calls for: a pure function of what the pass measured and
// what earlier passes kept.
Decision decide(const Measurements& seen, const KeptState& kept);

// An idle healthy smsd writes the run log of each port it talks to every minute
// (regular_run_interval = 60, its longest stillness measured with Debian's smsd): three times
// that, and it is not working. With every modem hung it writes a line every two minutes; such an
// smsd, one whose ports are all blocked, or one that has written no run log since its start, is
// not judged at all.
constexpr double kSmsdQuietSeconds = 180;
// After its start, smsd has shown it works once it writes a file this much later.
constexpr double kSmsdSettleSeconds = 60;

struct Acted;

// Whether what was done is the restart the decision called for: smsd stopped and started, with
// its new configuration where one was needed.
bool restartCounted(const Decision& decision, const Acted& acted);

// What the next pass starts from, given what this one decided and what was done of it; the
// ports given up on by what the heal's step came to go to `given_up`.
KeptState rememberPass(KeptState kept, const Measurements& seen, const Decision& decision, const Acted& acted,
                       std::vector<HealGivenUp>& given_up);

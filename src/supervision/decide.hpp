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
    // smstools is to be restarted in this pass, and why.
    bool restart = false;
    RestartCause cause = RestartCause::first_pass;
    // The restart is the one owed only when it writes a new configuration; a revival and a
    // heal need smsd started again on the configuration in force.
    bool needs_config = false;
    // With healing on: the ports healed in the restart, and those given up on now.
    std::vector<HealTarget> heal;
    std::vector<HealGivenUp> given_up;
    // `kept`'s health and heals brought up to date by this pass's measurements.
    PortHealths health;
    HealState heals;
};

// The restart and the heals this pass calls for: a pure function of what the pass measured and
// what earlier passes kept.
Decision decide(const Measurements& seen, const KeptState& kept);

struct Acted;

// Whether what was done is the restart the decision called for: smsd stopped and started, with
// its new configuration where one was needed.
bool restartCounted(const Decision& decision, const Acted& acted);

// What the next pass starts from, given what this one decided and what was done of it; the
// ports given up on by what the heal's step came to go to `given_up`.
KeptState rememberPass(KeptState kept, const Measurements& seen, const Decision& decision, const Acted& acted,
                       std::vector<HealGivenUp>& given_up);

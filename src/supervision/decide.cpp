// A pass's second step: what to do about what it measured, decided without touching the box.
#include "supervision/decide.hpp"

#include "common/clock.hpp"
#include "supervision/act.hpp"

#include <algorithm>
#include <iterator>

namespace {

constexpr int kLongestBackoffShift = 5;

// Why this pass restarts smsd: the first pass (or a restart owed since) whatever it measured,
// else the port counts before the blocked count, and a dead smsd when nothing else is to mend.
RestartCause causeOf(const Decision& decision, const Measurements& seen, const KeptState& kept)
{
    if (!decision.heal.empty()) {
        return RestartCause::heal;
    }
    if (decision.unresponsive_restart) {
        return RestartCause::smsd_not_responding;
    }
    if (decision.changed && !kept.first_pass) {
        return seen.configured != seen.present ? RestartCause::modem_count_changed
                                               : RestartCause::blocked_count_changed;
    }
    return kept.first_pass || kept.restart_owed ? RestartCause::first_pass : RestartCause::smsd_not_running;
}

// The ports of the configuration in force as healing judges them.
std::vector<PortObservation> observePorts(const Measurements& seen, const PortHealths& health)
{
    const StatusReading& status = seen.status;
    const bool words_fresh = status.outcome == StatusReading::read && notBefore(status.modified, seen.smsd.started);
    std::vector<PortObservation> ports(seen.ports.size());
    for (size_t k = 0; k < seen.ports.size(); ++k) {
        const PortSeen& port = seen.ports[k];
        ports[k].device = port.device;
        ports[k].health = portHealth(health, port.device);
        ports[k].blocked = words_fresh && k < status.states.words.size() && status.states.words[k] == "Blocked";
        ports[k].usb = port.usb;
        ports[k].no_usb_why = port.no_usb_why;
        ports[k].bridge = port.bridge;
        ports[k].no_power_cycle_why = port.no_power_cycle_why;
        const PortHealth& judged = ports[k].health;
        ports[k].cause = portCause(judged);
        ports[k].cause_for = judged.refusal != PortCause::none ? seen.boottime - judged.refusal_since : 0;
    }
    return ports;
}

// Whether some port has a modem smsd talks to: answering, and not blocked. smsd serving none
// has nothing to write (a hung modem gets a line in its log every two minutes, a port whose
// device is gone none at all), and its stillness says nothing of smsd.
bool servesAModem(const Measurements& seen, const PortHealths& health)
{
    const auto& words = seen.status.states.words;
    for (size_t k = 0; k < seen.ports.size(); ++k) {
        const bool blocked = seen.status.outcome == StatusReading::read && k < words.size() && words[k] == "Blocked";
        if (!seen.ports[k].device.empty() && !blocked && portHealth(health, seen.ports[k].device).answering) {
            return true;
        }
    }
    return false;
}

// smsd's newest sign of life: the newest of its files' modification times, or its start.
double newestSign(const Measurements& seen)
{
    return std::max(seen.smsd_signs.newest, timespecSeconds(seen.smsd.started));
}

} // namespace

Decision decide(const Measurements& seen, const KeptState& kept)
{
    Decision decision;
    decision.health = kept.health;
    std::vector<std::optional<RunLogAnswer>> answers;
    answers.reserve(kModemSlotCount);
    std::transform(seen.ports.begin(), seen.ports.end(), std::back_inserter(answers),
                   [](const PortSeen& port) { return port.answer; });
    judgePorts(devicesOf(seen.ports), seen.smsd_said, answers, seen.boottime, decision.health);
    decision.heals = kept.heals;

    decision.changed = seen.blocked != kept.last_blocked_count || seen.configured != seen.present;
    decision.mismatch_line = decision.changed && !kept.first_pass;
    const bool settled = !decision.changed && !kept.restart_owed;
    decision.revive = settled && seen.present > 0 && !seen.smsd.running && kept.passes >= kept.next_revival_pass;
    const double started = timespecSeconds(seen.smsd.started);
    const double newest_sign = newestSign(seen);
    decision.smsd_quiet_for = seen.wall - newest_sign;
    if (kept.last_pass_boottime >= 0) {
        // No stiller than the boot-time clock tells since a pass first found this sign, or since
        // the last pass where it is new.
        const double since = newest_sign == kept.smsd_newest_sign ? kept.smsd_sign_boottime : kept.last_pass_boottime;
        decision.smsd_quiet_for = std::min(decision.smsd_quiet_for, seen.boottime - since);
    }
    // Only an smsd that has written a run log since its start is judged: where the run logs
    // cannot be written, an idle healthy smsd writes nothing at all.
    decision.responding = !seen.smsd.running || decision.smsd_quiet_for <= kSmsdQuietSeconds ||
                          seen.smsd_signs.newest_run_log <= started || !servesAModem(seen, decision.health);
    decision.unresponsive_restart = settled && !decision.responding && kept.passes >= kept.next_unresponsive_pass;
    // A modem that stopped answering (or stays blocked), where the admin allows healing: a
    // restart of its own, in a pass that has none for anything else.
    if (settled && !decision.revive && decision.responding && seen.smsd.running && seen.healing) {
        decision.heal = portsToHeal(observePorts(seen, decision.health), seen.wall - started, seen.boottime,
                                    decision.heals, decision.given_up, decision.withheld);
    }
    decision.needs_config = decision.changed || kept.restart_owed;
    const bool owed_due = kept.restart_owed && kept.passes >= kept.next_owed_pass;
    decision.restart =
        !decision.heal.empty() || decision.changed || owed_due || decision.revive || decision.unresponsive_restart;
    decision.cause = causeOf(decision, seen, kept);
    return decision;
}

bool restartCounted(const Decision& decision, const Acted& acted)
{
    return acted.ran && (acted.written || !decision.needs_config);
}

KeptState rememberPass(KeptState kept, const Measurements& seen, const Decision& decision, const Acted& acted,
                       std::vector<HealGivenUp>& given_up)
{
    const long pass = kept.passes;
    kept.health = decision.health;
    kept.heals = decision.heals;
    for (size_t k = 0; k < decision.heal.size() && k < acted.heals.size(); ++k) {
        healStepRan(kept.heals, decision.heal[k].device, acted.heals[k], given_up);
    }
    if (acted.ran) {
        kept.last_blocked_count = seen.blocked;
    }
    // An smsd brought back from the dead has not come back until it lives to a pass of its own:
    // one that dies seconds after each start looks alive right after it.
    if (restartCounted(decision, acted) && decision.heal.empty() && (decision.revive || !acted.smsd.running)) {
        kept.next_revival_pass = pass + (1L << std::min(kept.failed_restarts, kLongestBackoffShift));
        ++kept.failed_restarts;
    }
    if (decision.restart && decision.needs_config) {
        // A configuration not written leaves the change unhandled: the next pass tries again,
        // and after a restart that ran without it, ever less often.
        kept.restart_owed = !acted.written;
        if (acted.written) {
            kept.failed_writes = 0;
            kept.next_owed_pass = 0;
        } else if (acted.ran) {
            kept.next_owed_pass = pass + (1L << std::min(kept.failed_writes, kLongestBackoffShift));
            ++kept.failed_writes;
        }
    }
    if (acted.smsd.running && !acted.ran) {
        kept.failed_restarts = 0;
        kept.next_revival_pass = 0;
    }
    // A restart for an smsd gone still is paid for with the same backoff; it is over once smsd
    // writes something a while after a start (it writes its log as it starts, working or not).
    if (decision.unresponsive_restart && restartCounted(decision, acted)) {
        kept.next_unresponsive_pass = pass + (1L << std::min(kept.unresponsive_restarts, kLongestBackoffShift));
        ++kept.unresponsive_restarts;
    } else if (seen.smsd.running && seen.smsd_signs.newest > timespecSeconds(seen.smsd.started) + kSmsdSettleSeconds) {
        kept.unresponsive_restarts = 0;
        kept.next_unresponsive_pass = 0;
    }
    const double newest_sign = newestSign(seen);
    if (newest_sign != kept.smsd_newest_sign || kept.smsd_sign_boottime < 0) {
        kept.smsd_newest_sign = newest_sign;
        kept.smsd_sign_boottime = seen.boottime;
    }
    kept.last_pass_boottime = seen.boottime;
    kept.first_pass = false;
    ++kept.passes;
    return kept;
}

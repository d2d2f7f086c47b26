// Healing a modem that stopped answering: which port, when, how hard, when to give up.
#include "heal/heal.hpp"

#include "common/local_time.hpp"
#include "heal/heal_limits.hpp"

#include <algorithm>

namespace {

bool enabled = false;  // Default: disabled

constexpr const HealLimits& kLimits = kHealLimits;

UsbResetStep harder(UsbResetStep step)
{
    return step == UsbResetStep::reset ? UsbResetStep::reauthorize : UsbResetStep::power_cycle;
}

// Why a port with this cause is never healed; null when it may be. No USB step gives a SIM, tops
// one up, or empties a message store.
const char* neverHealedFor(PortCause cause)
{
    switch (cause) {
    case PortCause::sim: return "its SIM is refused";
    case PortCause::rejected: return "the network refuses its messages";
    case PortCause::storage_full: return "its message store is full";
    default: return nullptr;
    }
}

void forgetOlderThanADay(std::deque<double>& times, double now)
{
    while (!times.empty() && now - times.front() > kLimits.day_seconds) {
        times.pop_front();
    }
}

void giveUp(const std::string& device, PortHeals& port, const std::string& why, std::vector<HealGivenUp>& given_up)
{
    port.phase = HealPhase::given_up;
    port.record.given_up = true;
    port.record.given_up_why = why;
    port.answering_since = -1;
    given_up.push_back({device, port.failures.size(), why});
}

// A step that failed, or after which the modem did not answer: the next is harder and later,
// and enough of them in a day end the healing of the port.
void failed(const std::string& device, PortHeals& port, double now, std::vector<HealGivenUp>& given_up)
{
    port.phase = HealPhase::watching;
    port.failures.push_back(now);
    forgetOlderThanADay(port.failures, now);
    const int shift = std::min(static_cast<int>(port.failures.size()), kLimits.longest_backoff_shift);
    port.next_allowed = now + kLimits.backoff_seconds * static_cast<double>(1 << shift);
    if (port.failures.size() >= kLimits.failures_to_give_up) {
        giveUp(device, port, std::string(), given_up);
    } else if (port.step == UsbResetStep::power_cycle) {
        giveUp(device, port, "the power cycle, its last step, did not bring it back", given_up);
    } else {
        port.step = harder(port.step);
    }
}

// The step being judged: the modem answered smsd after it (read by a later pass, whatever smsd
// said while the modem started up), or the window closed without an answer.
void judge(const PortObservation& observed, PortHeals& port, double now, std::vector<HealGivenUp>& given_up)
{
    if (observed.health.answer_read > port.step_at) {
        ++port.record.answering;
        port.phase = HealPhase::watching;
        port.failures.clear();
        port.step = UsbResetStep::reset;
    } else if (now - port.step_at >= kLimits.judge_seconds) {
        ++port.record.not_answering;
        failed(observed.device, port, now, given_up);
    }
}

// Given up: watched again once the modem has answered for a while.
void watchAgainOnceAnswering(const PortObservation& observed, PortHeals& port, double now)
{
    if (!observed.health.answering) {
        port.answering_since = -1;
        return;
    }
    if (port.answering_since < 0) {
        port.answering_since = now;
    }
    if (now - port.answering_since >= kLimits.answering_to_lift_seconds) {
        port.phase = HealPhase::watching;
        port.record.given_up = false;
        port.record.given_up_why.clear();
        port.failures.clear();
        port.step = UsbResetStep::reset;
    }
}

// What tells one modem from another of the same USB path: its ids and serial number.
std::string modelOf(const UsbDevice& usb)
{
    return usb.vendor + ":" + usb.product + " " + usb.serial;
}

} // namespace

void enableHealing()
{
    enabled = true;
}

bool healingEnabled()
{
    return enabled;
}

const char* healOutcomeName(HealOutcome::Kind kind)
{
    switch (kind) {
    case HealOutcome::done:
        return "done";
    case HealOutcome::failed:
        return "failed";
    case HealOutcome::refused:
        return "refused";
    case HealOutcome::mode_switch:
        return "mode_switch";
    case HealOutcome::not_run:
        break;
    }
    return "not_run";
}

std::string usbAddressOf(const UsbDevice& usb)
{
    return usb.name + "@" + std::to_string(usb.bus) + ":" + std::to_string(usb.address);
}

std::vector<HealTarget> portsToHeal(const std::vector<PortObservation>& ports, double smsd_running_for, double now,
                                    HealState& heals, std::vector<HealGivenUp>& given_up,
                                    std::vector<HealWithheld>& withheld)
{
    std::vector<HealTarget> targets;
    HealState kept;
    for (size_t k = 0; k < ports.size(); ++k) {
        const PortObservation& observed = ports[k];
        if (observed.device.empty()) {
            continue;
        }
        PortHeals& port = kept[observed.device] = heals[observed.device];
        const std::string usb = observed.usb ? usbAddressOf(*observed.usb) : std::string();
        const std::string model = observed.usb ? modelOf(*observed.usb) : std::string();
        if (!usb.empty() && usb != port.usb_address) {
            // Another device in its place: a new start, its record kept, and only an answer from
            // the new device shows it is a modem. (A device the daemon found there at its start
            // has been plugged in since before: any answer of its counts.) Not the same model
            // while a step is judged: the step itself made the kernel enumerate the modem anew (a
            // power cycle, a reset that found it changed, a stick switched back from storage
            // mode); another model was plugged in by a hand.
            if (port.phase != HealPhase::judging || model != port.usb_model) {
                const bool replugged = !port.usb_address.empty();
                const HealRecord record = port.record;
                port = PortHeals{};
                port.record = record;
                port.record.given_up = false;
                port.record.given_up_why.clear();
                port.usb_seen = replugged ? now : 0;
            }
            port.usb_address = usb;
            port.usb_model = model;
        }
        const PortHealth& health = observed.health;
        switch (port.phase) {
        case HealPhase::judging:
            judge(observed, port, now, given_up);
            break;
        case HealPhase::given_up:
            watchAgainOnceAnswering(observed, port, now);
            break;
        case HealPhase::watching:
            // An answer after the last failure: whatever failed before is over.
            if (!port.failures.empty() && health.answer_read > port.failures.back()) {
                port.failures.clear();
                port.step = UsbResetStep::reset;
            }
            break;
        }
        forgetOlderThanADay(port.steps, now);
        const bool network_lasting =
            observed.cause == PortCause::network && observed.cause_for >= kLimits.network_seconds;
        const bool wanted = !health.answering || observed.blocked || network_lasting;
        if (const char* why = neverHealedFor(observed.cause)) {
            if (port.withheld != observed.cause) {
                withheld.push_back({observed.device, why + (": " + health.last_failure)});
            }
            port.withheld = observed.cause;
            continue;
        }
        port.withheld = PortCause::none;
        if (observed.cause == PortCause::network && !network_lasting) {
            continue;
        }
        if (!wanted || port.phase != HealPhase::watching || now < port.next_allowed ||
            smsd_running_for < kLimits.grace_seconds || port.steps.size() >= kLimits.steps_a_day) {
            continue;
        }
        // Healing reaches only a modem that has shown it is one, on its own USB device.
        if (!observed.usb || usb.empty() || health.answer_read < 0 || health.answer_read < port.usb_seen) {
            continue;
        }
        if (observed.bridge) {
            ++port.record.refused;
            port.record.last_outcome = "refused: a USB-serial bridge; healing cannot reach the modem behind it";
            giveUp(observed.device, port, "it is behind a USB-serial bridge, which healing cannot reach through",
                   given_up);
            continue;
        }
        if (port.step == UsbResetStep::power_cycle && !observed.no_power_cycle_why.empty()) {
            ++port.record.refused;
            port.record.last_outcome = "refused: " + observed.no_power_cycle_why;
            giveUp(observed.device, port, "no power cycle: " + observed.no_power_cycle_why, given_up);
            continue;
        }
        // One step a pass. A give-up above takes none, so another port's step does not hold it
        // back: that step restarts smsd, which would count the silent port's timeouts anew.
        if (!targets.empty()) {
            continue;
        }
        HealTarget target;
        target.port = static_cast<int>(k) + 1;
        target.device = observed.device;
        target.why = network_lasting ? "no network for " + std::to_string(static_cast<long>(observed.cause_for / 60)) + " min"
                     : health.answering ? "blocked"
                                        : "not answering since " + localTimeText(health.not_answering_since);
        target.step = port.step;
        target.usb = *observed.usb;
        targets.push_back(target);
    }
    heals = std::move(kept);
    return targets;
}

void healStepRan(HealState& heals, const std::string& device, const HealOutcome& outcome,
                 std::vector<HealGivenUp>& given_up)
{
    const auto found = heals.find(device);
    if (found == heals.end() || outcome.kind == HealOutcome::not_run) {
        return;
    }
    PortHeals& port = found->second;
    port.record.last_outcome = healOutcomeName(outcome.kind);
    if (!outcome.why.empty()) {
        port.record.last_outcome += ": " + outcome.why;
    }
    switch (outcome.kind) {
    case HealOutcome::done:
        ++port.record.done;
        port.steps.push_back(outcome.at);
        port.phase = HealPhase::judging;
        port.step_at = outcome.at;
        port.next_allowed = outcome.at + kLimits.backoff_seconds;
        break;
    case HealOutcome::failed:
        ++port.record.failed;
        port.steps.push_back(outcome.at);
        failed(device, port, outcome.at, given_up);
        break;
    case HealOutcome::mode_switch:
        ++port.record.mode_switch;
        port.steps.push_back(outcome.at);
        failed(device, port, outcome.at, given_up);
        break;
    case HealOutcome::refused:
        ++port.record.refused;
        giveUp(device, port, outcome.why, given_up);
        break;
    case HealOutcome::not_run:
        break;
    }
}

HealRecord healRecord(const HealState& heals, const std::string& device)
{
    const auto found = heals.find(device);
    return found == heals.end() ? HealRecord{} : found->second.record;
}

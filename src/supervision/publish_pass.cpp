// A pass's last step: the state the operator's tools are shown.
#include "supervision/publish_pass.hpp"

#include "common/clock.hpp"
#include "common/printable_name.hpp"
#include "metrics/metrics_file.hpp"
#include "supervision/pass_reports.hpp"

namespace {

// Port k + 1 of the configuration in force at the end of the pass.
PortState portState(const DaemonState& state, const Measurements& seen, const Acted& acted, const KeptState& kept,
                    size_t k)
{
    PortState port;
    const bool rewritten = acted.written;
    const std::string device = rewritten ? seen.slots[k] : seen.ports[k].device;
    port.device = printableName(device);
    port.target = rewritten ? seen.modem_targets[k] : seen.ports[k].target;
    const std::string& word = k < seen.status.states.words.size() ? seen.status.states.words[k] : std::string();
    port.state = state.status_known && !word.empty() ? word : "unknown";
    port.spool_directory = k < acted.spool_directories.size() ? acted.spool_directories[k]
                                                              : k < seen.ports.size() && seen.ports[k].spool_directory;
    const PortHealth health = portHealth(kept.health, device);
    port.answering = health.answering;
    port.not_answering_since = static_cast<double>(health.not_answering_since);
    port.signal_dbm = state.status_known && k < seen.status.states.signal_dbm.size() ? seen.status.states.signal_dbm[k]
                                                                                      : std::nullopt;
    const HealRecord heals = healRecord(kept.heals, device);
    port.heals_answering = heals.answering;
    port.heals_not_answering = heals.not_answering;
    port.heal_steps_done = heals.done;
    port.heal_steps_failed = heals.failed;
    port.heal_steps_refused = heals.refused;
    port.heal_steps_mode_switch = heals.mode_switch;
    port.heal_last_step = heals.last_outcome;
    port.heal_given_up = heals.given_up;
    port.heal_given_up_why = heals.given_up_why;
    port.sent = health.sent;
    port.send_failures = health.send_failures;
    port.received = health.received;
    port.last_sent_time = static_cast<double>(health.last_sent);
    port.last_received_time = static_cast<double>(health.last_received);
    port.problem = portCauseName(portCause(health));
    port.last_failure = printableName(health.last_failure);
    return port;
}

} // namespace

void publishPass(DaemonState& state, const Measurements& seen, const Decision& decision, const Acted& acted,
                 const KeptState& kept, double started)
{
    state.configured = seen.configured;
    state.healing = seen.healing;
    state.present = seen.present;
    state.smsd_running = acted.smsd.running;
    state.status_readable = seen.status.outcome != StatusReading::unreadable;
    state.status_known = seen.status.outcome == StatusReading::read && acted.smsd.running && !acted.ran &&
                         notBefore(seen.status.modified, acted.smsd.started);
    state.receiving = state.status_known ? seen.status.states.receiving : 0;
    state.blocked = state.status_known ? seen.status.states.blocked : 0;
    const size_t ports = acted.written ? static_cast<size_t>(seen.present) : seen.ports.size();
    state.ports.clear();
    for (size_t k = 0; k < ports; ++k) {
        state.ports.push_back(portState(state, seen, acted, kept, k));
    }
    if (restartCounted(decision, acted)) {
        ++state.restarts[static_cast<size_t>(decision.cause)];
        state.last_restart_time = wallClockSeconds();
        state.last_restart_cause = decision.cause;
    }
    state.messages_waiting = seen.queue.waiting;
    state.oldest_waiting_time = static_cast<double>(seen.queue.oldest);
    state.waiting_complete = seen.queue.complete;
    // As the pass found it: after a restart for it, until the next pass judges the new smsd.
    state.smsd_responding = decision.responding;
    state.restart_owed = kept.restart_owed;
    state.passes = kept.passes;
    state.last_pass_end_time = wallClockSeconds();
    state.last_pass_end_boottime = clockSeconds(CLOCK_BOOTTIME);
    state.last_pass_duration = clockSeconds(CLOCK_MONOTONIC) - started;
    reportPublished(publishDaemonState(state));
}

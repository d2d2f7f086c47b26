// Publishing the daemon's state in the Prometheus text format, for the node exporter and
// modemwatchctl.
#include "metrics/metrics_file.hpp"

#include "common/port_name.hpp"
#include "common/replace_file.hpp"
#include "common/unique_fd.hpp"
#include "metrics/metrics_names.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef MODEMWATCHD_VERSION
#define MODEMWATCHD_VERSION "unknown"
#endif

namespace {

constexpr char kTemporaryName[] = ".modemwatchd.prom.new";
constexpr char kFileName[] = "modemwatchd.prom";

void family(std::string& text, const char* name, const char* type, const char* help)
{
    text.append("# HELP ").append(name).append(" ").append(help).append("\n");
    text.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

std::string number(double value)
{
    char buffer[32];
    static_cast<void>(std::snprintf(buffer, sizeof buffer, "%.6f", value));
    return buffer;
}

void sample(std::string& text, const char* name, const std::string& labels, const std::string& value)
{
    text.append(name);
    if (!labels.empty()) {
        text.append("{").append(labels).append("}");
    }
    text.append(" ").append(value).append("\n");
}

std::string label(const char* name, const std::string& value)
{
    return std::string(name) + "=\"" + escapeLabelValue(value) + "\"";
}

void gauge(std::string& text, const char* name, const char* help, const std::string& value)
{
    family(text, name, "gauge", help);
    sample(text, name, "", value);
}

std::string portLabel(size_t k)
{
    return label("port", portName(static_cast<int>(k) + 1));
}

// Whether each port's modem answers smsd, its signal, and its heals.
void portHealth(std::string& text, const DaemonState& state)
{
    const std::vector<PortState>& ports = state.ports;
    family(text, kPortAnswering, "gauge",
           "0 once smsd says the port's modem does not answer, 1 again once it answers smsd's regular command.");
    for (size_t k = 0; k < ports.size(); ++k) {
        sample(text, kPortAnswering, portLabel(k), ports[k].answering ? "1" : "0");
    }
    if (std::any_of(ports.begin(), ports.end(), [](const PortState& port) { return !port.answering; })) {
        family(text, kPortNotAnsweringSince, "gauge",
               "When smsd first said the port's modem does not answer, in seconds since the epoch.");
        for (size_t k = 0; k < ports.size(); ++k) {
            if (!ports[k].answering) {
                sample(text, kPortNotAnsweringSince, portLabel(k), number(ports[k].not_answering_since));
            }
        }
    }
    if (std::any_of(ports.begin(), ports.end(), [](const PortState& port) { return port.signal_dbm.has_value(); })) {
        family(text, kPortSignal, "gauge", "The signal smsd's status file gives for the port (ssi), in dBm.");
        for (size_t k = 0; k < ports.size(); ++k) {
            if (ports[k].signal_dbm) {
                sample(text, kPortSignal, portLabel(k), std::to_string(*ports[k].signal_dbm));
            }
        }
    }
    if (!state.healing) {
        return;
    }
    family(text, kPortHeals, "counter",
           "Heals of the port's modem through its USB device, by whether it answered smsd after them.");
    for (size_t k = 0; k < ports.size(); ++k) {
        sample(text, kPortHeals, portLabel(k) + "," + label("outcome", "answering"),
               std::to_string(ports[k].heals_answering));
        sample(text, kPortHeals, portLabel(k) + "," + label("outcome", "not_answering"),
               std::to_string(ports[k].heals_not_answering));
    }
    family(text, kPortHealGivenUp, "gauge",
           "1 when healing gave up on the port: left alone until its modem has answered for an hour or is replugged.");
    for (size_t k = 0; k < ports.size(); ++k) {
        sample(text, kPortHealGivenUp, portLabel(k), ports[k].heal_given_up ? "1" : "0");
    }
    family(text, kPortHealSteps, "counter",
           "Steps of healing run on the port's USB device, by outcome: done, failed, refused (not safe or not possible), or "
           "mode_switch (the modem came back from the step in storage mode and was not switched to a modem in time).");
    for (size_t k = 0; k < ports.size(); ++k) {
        sample(text, kPortHealSteps, portLabel(k) + "," + label("outcome", "done"), std::to_string(ports[k].heal_steps_done));
        sample(text, kPortHealSteps, portLabel(k) + "," + label("outcome", "failed"),
               std::to_string(ports[k].heal_steps_failed));
        sample(text, kPortHealSteps, portLabel(k) + "," + label("outcome", "refused"),
               std::to_string(ports[k].heal_steps_refused));
        sample(text, kPortHealSteps, portLabel(k) + "," + label("outcome", "mode_switch"),
               std::to_string(ports[k].heal_steps_mode_switch));
    }
    if (std::any_of(ports.begin(), ports.end(), [](const PortState& port) { return !port.heal_last_step.empty(); })) {
        family(text, kPortHealLastStep, "gauge", "1, labelled with the outcome of the last step of healing on the port.");
        for (size_t k = 0; k < ports.size(); ++k) {
            if (!ports[k].heal_last_step.empty()) {
                sample(text, kPortHealLastStep, portLabel(k) + "," + label("outcome", ports[k].heal_last_step), "1");
            }
        }
    }
}

// What moved through each port, and why it does not.
void portMessages(std::string& text, const std::vector<PortState>& ports)
{
    const auto perPort = [&](const char* name, const char* type, const char* help, auto value) {
        family(text, name, type, help);
        for (size_t k = 0; k < ports.size(); ++k) {
            sample(text, name, portLabel(k), value(ports[k]));
        }
    };
    perPort(kPortSent, "counter", "Messages smsd sent through the port since the daemon started.",
            [](const PortState& port) { return std::to_string(port.sent); });
    perPort(kPortSendFailures, "counter", "Messages smsd gave up sending through the port since the daemon started.",
            [](const PortState& port) { return std::to_string(port.send_failures); });
    perPort(kPortReceived, "counter", "Messages smsd received through the port since the daemon started.",
            [](const PortState& port) { return std::to_string(port.received); });
    perPort(kPortLastSent, "gauge", "When smsd last sent a message through the port, in seconds since the epoch; 0 before any.",
            [](const PortState& port) { return number(port.last_sent_time); });
    perPort(kPortLastReceived, "gauge",
            "When smsd last received a message through the port, in seconds since the epoch; 0 before any.",
            [](const PortState& port) { return number(port.last_received_time); });
    family(text, kPortProblem, "gauge",
           "1 for the port's current problem: its modem not answering, its SIM, no network, messages the network "
           "rejects, or a full message store; until the port sends or receives again.");
    for (size_t k = 0; k < ports.size(); ++k) {
        for (const char* cause : kPortProblemCauses) {
            sample(text, kPortProblem, portLabel(k) + "," + label("cause", cause), ports[k].problem == cause ? "1" : "0");
        }
    }
    if (std::any_of(ports.begin(), ports.end(), [](const PortState& port) { return !port.last_failure.empty(); })) {
        family(text, kPortLastFailure, "gauge", "1, labelled with the modem's words on the port's last refusal.");
        for (size_t k = 0; k < ports.size(); ++k) {
            if (!ports[k].last_failure.empty()) {
                sample(text, kPortLastFailure, portLabel(k) + "," + label("words", ports[k].last_failure), "1");
            }
        }
    }
}

// The messages waiting, and whether smsd works through them.
void queue(std::string& text, const DaemonState& state, double now)
{
    gauge(text, kMessagesWaiting, "Messages waiting in smsd's spool (outgoing, checked and the queues).",
          std::to_string(state.messages_waiting));
    gauge(text, kMessagesWaitingComplete,
          "0 when the spool held more entries than a pass looks at: the count is then a lower bound.",
          state.waiting_complete ? "1" : "0");
    gauge(text, kOldestWaiting, "How long the oldest message waiting has waited; 0 with none.",
          number(state.oldest_waiting_time > 0 ? std::max(0.0, now - state.oldest_waiting_time) : 0));
    gauge(text, kSmsdResponding,
          "0 while smsd runs with ports to serve but has written none of its files for longer than it ever stays still.",
          state.smsd_responding ? "1" : "0");
}

void measurements(std::string& text, const DaemonState& state)
{
    gauge(text, kModemsPresent, "Modems (gsmmodem entries of /dev) the last pass served.",
          std::to_string(state.present));
    gauge(text, kPortsConfigured, "Ports the last pass counted in /etc/smsd.conf; -1 when there is none.",
          std::to_string(state.configured));
    gauge(text, kSmsdRunning, "1 when smsd ran at the end of the last pass (its pid file names a live process).",
          state.smsd_running ? "1" : "0");
    gauge(text, kStatusReadable, "0 when smsd's status file exists but cannot be read (not a regular file, say).",
          state.status_readable ? "1" : "0");
    queue(text, state, state.last_pass_end_time);
    if (state.status_known) {
        gauge(text, kPortsReceiving, "Ports smsd's status file showed receiving, written since smsd started.",
              std::to_string(state.receiving));
        gauge(text, kPortsBlocked, "Ports smsd's status file showed blocked, written since smsd started.",
              std::to_string(state.blocked));
    }
    if (state.ports.empty()) {
        return;
    }
    family(text, kPortState, "gauge",
           "One series per port of /etc/smsd.conf: its /dev name, what that links to, and smsd's state for it.");
    for (size_t k = 0; k < state.ports.size(); ++k) {
        const PortState& port = state.ports[k];
        const std::string name = portName(static_cast<int>(k) + 1);
        sample(text, kPortState,
               label("port", name) + "," + label("device", port.device) + "," + label("target", port.target) + "," +
                   label("state", port.state),
               "1");
    }
    family(text, kPortSpool, "gauge", "Whether the port's spool directory /mnt/flash/spool/GSMn exists.");
    for (size_t k = 0; k < state.ports.size(); ++k) {
        sample(text, kPortSpool, label("port", portName(static_cast<int>(k) + 1)),
               state.ports[k].spool_directory ? "1" : "0");
    }
    portHealth(text, state);
    portMessages(text, state.ports);
}

// Writes `text` to a file beside the published one, then renames it into place. /run is RAM:
// nothing to make durable.
int publish(const std::string& text)
{
    if (mkdir(kMetricsDirectory, 0755) != 0 && errno != EEXIST) {
        return errno;
    }
    unique_fd directory(open(kMetricsDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid()) {
        return errno;
    }
    return replaceFileAt(directory.get(), kFileName, kTemporaryName, text, 0644, false);
}

} // namespace

std::string escapeLabelValue(const std::string& value)
{
    std::string escaped;
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string metricsText(const DaemonState& state)
{
    std::string text;
    text.reserve(4096);
    family(text, kBuildInfo, "gauge", "The running modemwatchd's version.");
    sample(text, kBuildInfo, label("version", MODEMWATCHD_VERSION), "1");
    gauge(text, kUp, "1 while the daemon makes its passes, 0 once it has stopped in order.",
          state.running ? "1" : "0");
    gauge(text, kStartTime, "When the daemon started, in seconds since the epoch.", number(state.start_time));
    gauge(text, kStartBoottime, "When the daemon started, in seconds since boot (CLOCK_BOOTTIME).",
          number(state.start_boottime));
    gauge(text, kPassInterval, "The sleep after each pass.", std::to_string(state.pass_interval));
    family(text, kPasses, "counter", "Passes made since the daemon started.");
    sample(text, kPasses, "", std::to_string(state.passes));
    gauge(text, kLastPassEnd, "When the last pass ended, in seconds since the epoch.",
          number(state.last_pass_end_time));
    gauge(text, kLastPassEndBoottime, "When the last pass ended, in seconds since boot (CLOCK_BOOTTIME).",
          number(state.last_pass_end_boottime));
    gauge(text, kLastPassDuration, "How long the last pass took.", number(state.last_pass_duration));
    gauge(text, kHealing, "1 when the daemon heals modems that stop answering (--heal).", state.healing ? "1" : "0");
    if (state.running) {
        measurements(text, state);
    }
    family(text, kRestarts, "counter", "smsd restarts since the daemon started, by cause.");
    for (int cause = 0; cause < kRestartCauseCount; ++cause) {
        sample(text, kRestarts, label("cause", restartCauseName(static_cast<RestartCause>(cause))),
               std::to_string(state.restarts[static_cast<size_t>(cause)]));
    }
    gauge(text, kRestartOwed,
          "1 while smsd needs a restart with a new configuration that has not been done: no room for it, "
          "a write that failed, or smsd that would not stop.",
          state.restart_owed ? "1" : "0");
    if (state.last_restart_time > 0) {
        family(text, kLastRestart, "gauge",
               "When smsd was last restarted, in seconds since the epoch, with the cause.");
        sample(text, kLastRestart, label("cause", restartCauseName(state.last_restart_cause)),
               number(state.last_restart_time));
    }
    return text;
}

int publishDaemonState(const DaemonState& state)
{
    return publish(metricsText(state));
}

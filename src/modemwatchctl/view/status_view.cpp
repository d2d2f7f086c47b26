// `modemwatchctl status`: the published state as a screen a person takes in at a glance, or
// as one JSON object for scripts.
#include "modemwatchctl/view/status_view.hpp"

#include "common/concat.hpp"
#include "common/local_time.hpp"
#include "common/port_name.hpp"
#include "common/text_escape.hpp"
#include "common/text_table.hpp"

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

constexpr char kGreen[] = "\033[32m";
constexpr char kRed[] = "\033[31m";
constexpr char kYellow[] = "\033[33m";
constexpr char kPlain[] = "\033[0m";

std::string localTime(double seconds)
{
    return localTimeText(static_cast<std::time_t>(seconds));
}

std::string orDash(const std::string& text)
{
    return text.empty() ? "-" : text;
}

std::string count(const std::optional<int>& value)
{
    return value ? std::to_string(*value) : "unknown";
}

const char* stateColour(const std::string& state)
{
    if (state == "Receiving") {
        return kGreen;
    }
    return state == "Blocked" ? kRed : kYellow;
}

std::string spoolText(const std::optional<bool>& spool)
{
    if (!spool) {
        return "-";
    }
    return *spool ? "yes" : "missing";
}

std::string jsonNumber(double value)
{
    char text[32];
    static_cast<void>(std::snprintf(text, sizeof text, "%.3f", value));
    return text;
}

std::string jsonCount(const std::optional<int>& value)
{
    return value ? std::to_string(*value) : "null";
}

std::string jsonOptional(const std::optional<long>& value)
{
    return value ? std::to_string(*value) : "null";
}

std::string jsonOptional(const std::optional<double>& value)
{
    return value ? jsonNumber(*value) : "null";
}

std::string jsonOptional(const std::optional<bool>& value)
{
    return value ? (*value ? "true" : "false") : "null";
}

std::string countText(const std::optional<long>& value)
{
    return value ? std::to_string(*value) : "-";
}

// Per port, what moved and why it does not, where the daemon publishes it.
std::string messagesTable(const PublishedState& state)
{
    if (std::none_of(state.ports.begin(), state.ports.end(), [](const PublishedPort& port) { return port.sent; })) {
        return "";
    }
    std::vector<std::vector<std::string>> rows = {{"PORT", "SENT", "FAILED", "RECEIVED", "PROBLEM"}};
    std::transform(state.ports.begin(), state.ports.end(), std::back_inserter(rows), [](const PublishedPort& port) {
        return std::vector<std::string>{portName(port.number), countText(port.sent), countText(port.send_failures),
                                        countText(port.received), orDash(problemText(port))};
    });
    return "\n" + alignedTable(rows, [](size_t, size_t) { return nullptr; });
}

// "GSM1 (gsmmodem-1-1.2): USB device 1-1.2 (12d1:1f01 HUAWEI Mobile) in storage mode: ...": a
// modem that is its own CD-ROM has no port for smsd until usb_modeswitch switches it.
std::string storageModeText(const PublishedState& state, const ModemWithoutAt& modem)
{
    std::string text;
    for (const PublishedPort& port : state.ports) {
        if (port.device == "gsmmodem-" + modem.usb_path) {
            text = portName(port.number) + " (" + printable(port.device) + "): ";
        }
    }
    return text + "USB device " + printable(modem.usb_path) + " (" +
           printable(spaced({modem.vendor + ":" + modem.product, modem.manufacturer, modem.product_name})) + ") in " +
           printable(modem.state) + "\n";
}

} // namespace

std::string problemText(const PublishedPort& port)
{
    static const std::pair<const char*, const char*> kTexts[] = {
        {"not_answering", "not answering"}, {"sim", "SIM refused"}, {"network", "no network"},
        {"rejected", "messages rejected"}, {"storage_full", "message store full"}};
    for (const auto& [cause, text] : kTexts) {
        if (port.problem == cause) {
            return text + (port.last_failure.empty() || port.problem == "not_answering"
                               ? std::string()
                               : " (" + printable(port.last_failure) + ")");
        }
    }
    return port.problem.empty() ? "" : printable(port.problem);
}

std::string waitingText(const PublishedState& state)
{
    if (!state.messages_waiting) {
        return "";
    }
    const long waiting = *state.messages_waiting;
    std::string text = std::to_string(waiting) + (state.waiting_complete == false ? " or more" : "") +
                       (waiting == 1 ? " message" : " messages") + " waiting";
    if (waiting > 0 && state.oldest_waiting_seconds) {
        text += ", the oldest " + ageText(*state.oldest_waiting_seconds);
    }
    return text;
}

std::string ageText(double seconds)
{
    const long whole = seconds < 0 ? 0 : static_cast<long>(seconds);
    if (whole < 120) {
        return std::to_string(whole) + " s";
    }
    if (whole < 2L * 3600) {
        return std::to_string(whole / 60) + " min";
    }
    if (whole < 2L * 86400) {
        return std::to_string(whole / 3600) + " h";
    }
    return std::to_string(whole / 86400) + " d";
}

std::string statusTable(const PublishedState& state, const Now& now, bool colour,
                        const std::vector<ModemWithoutAt>& storage)
{
    std::string text = "modemwatchd " + orDash(printable(state.version)) + " ";
    if (state.up) {
        text += colour ? std::string(kGreen) + "running" + kPlain : "running";
        text += " since ";
    } else {
        text += colour ? std::string(kRed) + "stopped" + kPlain : "stopped";
        text += " in order, started ";
    }
    text += localTime(startedAt(state, now)) + "; last pass " + ageText(lastPassAge(state, now)) + " ago, every " +
            std::to_string(state.pass_interval) + " s\n\n";

    if (!state.up) {
        text += "No ports: the daemon stopped in order and measures nothing.\n";
    } else if (state.ports.empty()) {
        text += "No modems present.\n";
    } else {
        std::vector<std::vector<std::string>> rows = {{"PORT", "DEVICE", "LINKS TO", "SMSD STATE", "SPOOL"}};
        std::transform(state.ports.begin(), state.ports.end(), std::back_inserter(rows), [](const PublishedPort& port) {
            return std::vector<std::string>{portName(port.number), printable(port.device),
                                            orDash(printable(port.target)), printable(port.state),
                                            spoolText(port.spool_directory)};
        });
        // smsd's state word in the colour of what it means.
        text += alignedTable(rows, [&](size_t row, size_t column) {
            return colour && row > 0 && column == 3 ? stateColour(state.ports[row - 1].state) : nullptr;
        });
    }
    for (const PublishedPort& port : state.ports) {
        if (state.up && port.answering == false) {
            text += portName(port.number) + " (" + printable(port.device) + ") not answering";
            if (port.not_answering_since) {
                text += " since " + localTime(*port.not_answering_since) + " (" +
                        ageText(now.wall - *port.not_answering_since) + ")";
            }
            text += port.heal_given_up == true ? "; healing given up\n" : "\n";
        }
    }
    for (const ModemWithoutAt& modem : storage) {
        text += storageModeText(state, modem);
    }
    if (state.up) {
        text += messagesTable(state);
        text += "\nmodems " + count(state.present) + ", configured " + count(state.configured) + ", receiving " +
                count(state.receiving) + ", blocked " + count(state.blocked) + "\n";
        if (state.smsd_running) {
            const char* word = *state.smsd_running ? "running" : "not running";
            text += std::string("smsd ") + (colour && !*state.smsd_running ? kRed + std::string(word) + kPlain : word) +
                    "\n";
        }
        if (!waitingText(state).empty()) {
            text += waitingText(state) + "\n";
        }
        if (state.smsd_responding == false) {
            text += colour ? std::string(kRed) + "smsd not responding" + kPlain + "\n" : "smsd not responding\n";
        }
        if (state.healing == true) {
            text += "healing modems that stop answering: on\n";
        }
    }
    text += "smsd restarts:";
    const char* separator = " ";
    for (const PublishedRestarts& restarts : state.restarts) {
        text += separator + printable(causeText(restarts.cause)) + " " + std::to_string(restarts.count);
        separator = ", ";
    }
    text += "\n";
    if (state.last_restart_time) {
        text += "last restart: " + localTime(*state.last_restart_time) + " (" +
                ageText(now.wall - *state.last_restart_time) + " ago), " + printable(causeText(state.last_restart_cause)) +
                "\n";
    }
    return text;
}

std::string statusJson(const PublishedState& state, const Now& now, const std::vector<ModemWithoutAt>& storage)
{
    std::string text = "{\"version\":" + jsonString(state.version) + ",\"running\":" + (state.up ? "true" : "false") +
                       ",\"start_time\":" + jsonNumber(startedAt(state, now)) +
                       ",\"pass_interval_seconds\":" + std::to_string(state.pass_interval) +
                       ",\"passes\":" + std::to_string(state.passes) +
                       ",\"last_pass_end_time\":" + jsonNumber(state.last_pass_end_time) +
                       ",\"last_pass_duration_seconds\":" + jsonNumber(state.last_pass_duration) +
                       ",\"seconds_since_last_pass\":" + jsonNumber(lastPassAge(state, now)) +
                       ",\"smsd_running\":" + (state.smsd_running ? (*state.smsd_running ? "true" : "false") : "null") +
                       ",\"healing\":" + (state.healing ? (*state.healing ? "true" : "false") : "null") +
                       ",\"modems_present\":" + jsonCount(state.present) +
                       ",\"ports_configured\":" + jsonCount(state.configured) +
                       ",\"ports_receiving\":" + jsonCount(state.receiving) +
                       ",\"ports_blocked\":" + jsonCount(state.blocked) + ",\"ports\":[";
    const char* separator = "";
    for (const PublishedPort& port : state.ports) {
        text += separator;
        text += "{\"port\":" + jsonString(portName(port.number)) +
                ",\"device\":" + jsonString(port.device) + ",\"links_to\":" + jsonString(port.target) +
                ",\"state\":" + jsonString(port.state) + ",\"spool_directory\":" +
                (port.spool_directory ? (*port.spool_directory ? "true" : "false") : "null") +
                ",\"answering\":" + (port.answering ? (*port.answering ? "true" : "false") : "null") +
                ",\"not_answering_since\":" + (port.not_answering_since ? jsonNumber(*port.not_answering_since) : "null") +
                ",\"signal_dbm\":" + (port.signal_dbm ? std::to_string(*port.signal_dbm) : "null") +
                ",\"heals\":" +
                (port.heals_answering || port.heals_not_answering
                     ? "{\"answering\":" + std::to_string(port.heals_answering.value_or(0)) +
                           ",\"not_answering\":" + std::to_string(port.heals_not_answering.value_or(0)) + "}"
                     : std::string("null")) +
                ",\"heal_given_up\":" + (port.heal_given_up ? (*port.heal_given_up ? "true" : "false") : "null") +
                ",\"sent\":" + jsonOptional(port.sent) + ",\"send_failures\":" + jsonOptional(port.send_failures) +
                ",\"received\":" + jsonOptional(port.received) +
                ",\"last_sent_time\":" + jsonOptional(port.last_sent_time) +
                ",\"last_received_time\":" + jsonOptional(port.last_received_time) +
                ",\"problem\":" + (port.problem.empty() ? "null" : jsonString(port.problem)) +
                ",\"last_failure\":" + (port.last_failure.empty() ? "null" : jsonString(port.last_failure)) + "}";
        separator = ",";
    }
    text += "],\"messages_waiting\":" + jsonOptional(state.messages_waiting) +
            ",\"messages_waiting_complete\":" + jsonOptional(state.waiting_complete) +
            ",\"oldest_message_waiting_seconds\":" + jsonOptional(state.oldest_waiting_seconds) +
            ",\"smsd_responding\":" + jsonOptional(state.smsd_responding);
    text += ",\"smsd_restarts\":{";
    separator = "";
    for (const PublishedRestarts& restarts : state.restarts) {
        text += separator + jsonString(restarts.cause) + ":" + std::to_string(restarts.count);
        separator = ",";
    }
    text += "},\"last_restart\":";
    if (state.last_restart_time) {
        text += "{\"time\":" + jsonNumber(*state.last_restart_time) +
                ",\"cause\":" + jsonString(state.last_restart_cause) + "}";
    } else {
        text += "null";
    }
    return text + ",\"storage_mode\":" + modemsWithoutAtJson(storage) + "}\n";
}

// `modemwatchctl check`: the published state judged the monitoring-plugins way.
#include "modemwatchctl/view/check.hpp"

#include "common/port_name.hpp"
#include "common/text_escape.hpp"
#include "modemwatchctl/view/status_view.hpp"

#include <algorithm>
#include <vector>

namespace {

const char* const kStatusWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

std::string plural(int n, const char* word)
{
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

} // namespace

CheckResult checkState(const std::optional<PublishedState>& state, const std::string& error, const Now& now,
                       const CheckLimits& limits)
{
    if (!state) {
        return {kUnknown, "MODEMWATCHD UNKNOWN - cannot read the published state: " + printable(error)};
    }
    const double max_age = limits.max_age >= 0 ? limits.max_age : 3.0 * state->pass_interval;
    double age = lastPassAge(*state, now);
    // A pass cannot end in the future: the clocks disagree, and no age read off them is true.
    if (age < -1) {
        return {kUnknown, "MODEMWATCHD UNKNOWN - the last pass ended " + ageText(-age) + " in the future"};
    }
    age = std::max(0.0, age);
    const int present = state->present.value_or(0);

    PluginStatus status = kOk;
    std::vector<std::string> problems;
    const auto problem = [&](PluginStatus level, const std::string& text) {
        status = std::max(status, level);
        problems.push_back(text);
    };
    if (!state->up) {
        problem(kCritical, "modemwatchd stopped");
    } else if (age > max_age) {
        problem(kCritical, "no pass for " + ageText(age) + " (stale)");
    }
    if (state->up && state->smsd_running == false && present > 0) {
        problem(kCritical, "smsd not running");
    }
    // A status file older than the running smsd is no reading, nor a problem: smsd reports
    // within a pass of its start.
    if (state->up && !state->receiving && state->status_readable != true) {
        problem(kWarning, "smsd's status file could not be read");
    }
    if (state->up && state->receiving) {
        if (present > 0 && *state->receiving == 0) {
            problem(kCritical, "none of " + plural(present, "modem") + " receiving");
        } else if (*state->receiving < present) {
            problem(kWarning, std::to_string(*state->receiving) + " of " + plural(present, "modem") + " receiving");
        }
    }
    for (const PublishedPort& port : state->ports) {
        if (state->up && port.answering == false) {
            std::string text = portName(port.number) + " (" + printable(port.device) + ") not answering";
            if (port.not_answering_since) {
                text += " for " + ageText(now.wall - *port.not_answering_since);
            }
            problem(kCritical, text + (port.heal_given_up == true ? ", healing given up" : ""));
        }
    }
    for (const PublishedPort& port : state->ports) {
        if (state->up && !port.problem.empty() && port.problem != "not_answering") {
            problem(kCritical, portName(port.number) + " (" + printable(port.device) + ") " + problemText(port));
        }
    }
    if (state->up && state->smsd_running == true && state->smsd_responding == false) {
        problem(kCritical, "smsd not responding");
    }
    if (state->up && state->messages_waiting.value_or(0) > 0 &&
        state->oldest_waiting_seconds.value_or(0) > limits.max_wait) {
        problem(kCritical, waitingText(*state));
    }
    if (state->up && state->blocked && *state->blocked >= limits.blocked) {
        problem(kWarning, plural(*state->blocked, "port") + " blocked");
    }

    std::string summary;
    if (state->up) {
        summary = plural(present, "modem") + ", " +
                  (state->receiving ? std::to_string(*state->receiving) : std::string("?")) + " receiving, " +
                  (state->blocked ? std::to_string(*state->blocked) : std::string("?")) + " blocked, last pass " +
                  ageText(age) + " ago";
    }
    std::string text;
    for (const std::string& line : problems) {
        text += (text.empty() ? "" : "; ") + line;
    }
    if (!summary.empty()) {
        text += (text.empty() ? "" : "; ") + summary;
    }

    std::string perfdata = " | age=" + std::to_string(static_cast<long>(age)) + "s;;" +
                           std::to_string(static_cast<long>(max_age)) + ";0";
    if (state->up) {
        perfdata += " modems=" + std::to_string(present) + ";;;0";
        if (state->receiving) {
            perfdata += " receiving=" + std::to_string(*state->receiving) + ";;;0";
        }
        if (state->blocked) {
            perfdata += " blocked=" + std::to_string(*state->blocked) + ";" + std::to_string(limits.blocked - 1) +
                        ";;0";
        }
    }
    return {status, std::string("MODEMWATCHD ") + kStatusWords[status] + " - " + text + perfdata};
}

// Reading back the state modemwatchd publishes after each pass.
#include "modemwatchctl/view/published_state.hpp"

#include "common/unique_fd.hpp"
#include "metrics/metrics_names.hpp"
#include "common/text_escape.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Sample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};

// `name{label="value",...} number`, as the daemon writes it; false for anything else.
bool parseSample(const std::string& line, Sample& sample)
{
    size_t at = line.find_first_of("{ ");
    if (at == std::string::npos) {
        return false;
    }
    sample.name = line.substr(0, at);
    sample.labels.clear();
    if (line[at] == '{') {
        ++at;
        while (at < line.size() && line[at] != '}') {
            const size_t equals = line.find("=\"", at);
            if (equals == std::string::npos) {
                return false;
            }
            const std::string key = line.substr(at, equals - at);
            std::string value;
            for (at = equals + 2; at < line.size() && line[at] != '"'; ++at) {
                if (line[at] == '\\' && at + 1 < line.size()) {
                    ++at;
                    value += line[at] == 'n' ? '\n' : line[at];
                } else {
                    value += line[at];
                }
            }
            if (at >= line.size()) {
                return false;
            }
            sample.labels[key] = value;
            ++at;  // the closing quote
            if (at < line.size() && line[at] == ',') {
                ++at;
            }
        }
        if (at >= line.size()) {
            return false;
        }
        ++at;  // the closing brace
    }
    const std::string number = line.substr(at);
    char* end = nullptr;
    sample.value = std::strtod(number.c_str(), &end);
    return end != number.c_str() && *end == '\0';
}

// Why a value cannot be what the daemon publishes under its name, or null when it can.
const char* implausible(const Sample& sample)
{
    if (!std::isfinite(sample.value)) {
        return "is not a finite number";
    }
    static const char* const kCounts[] = {kPassInterval, kPasses, kModemsPresent, kPortsConfigured, kPortsReceiving,
                                          kPortsBlocked, kRestarts, kUp, kSmsdRunning, kStatusReadable,
                                          kPortState, kPortSpool, kBuildInfo, kPortAnswering, kHealing,
                                          kPortHeals, kPortHealGivenUp, kPortSent, kPortSendFailures,
                                          kPortReceived, kPortProblem, kPortLastFailure, kMessagesWaiting,
                                          kMessagesWaitingComplete, kSmsdResponding};
    const bool count = std::any_of(std::begin(kCounts), std::end(kCounts),
                                   [&](const char* name) { return sample.name == name; });
    if (count) {
        return sample.value < -1 || sample.value > 1e9 || sample.value != std::floor(sample.value) ? "is not a count"
                                                                                                      : nullptr;
    }
    if (sample.name == kPortSignal) {
        return sample.value < -200 || sample.value > 0 || sample.value != std::floor(sample.value) ? "is not a signal in dBm"
                                                                                                      : nullptr;
    }
    // Times and durations, in seconds: none before the epoch or past the year 5000.
    return sample.value < 0 || sample.value > 1e11 ? "is out of range" : nullptr;
}

PublishedPort& portNamed(PublishedState& state, const std::string& name)
{
    const int number = name.rfind("GSM", 0) == 0 ? static_cast<int>(std::strtol(name.c_str() + 3, nullptr, 10)) : 0;
    const auto found = std::find_if(state.ports.begin(), state.ports.end(),
                                    [&](const PublishedPort& port) { return port.number == number; });
    if (found != state.ports.end()) {
        return *found;
    }
    state.ports.push_back({});
    state.ports.back().number = number;
    return state.ports.back();
}

void take(PublishedState& state, const Sample& sample, bool& saw_up, bool& saw_pass)
{
    const auto whole = [&] { return static_cast<int>(sample.value); };
    const auto label = [&](const char* key) {
        const auto found = sample.labels.find(key);
        return found == sample.labels.end() ? std::string() : found->second;
    };
    if (sample.name == kBuildInfo) {
        state.version = label("version");
    } else if (sample.name == kUp) {
        state.up = sample.value == 1;
        saw_up = true;
    } else if (sample.name == kStartTime) {
        state.start_time = sample.value;
    } else if (sample.name == kStartBoottime) {
        state.start_boottime = sample.value;
    } else if (sample.name == kLastPassEndBoottime) {
        state.last_pass_end_boottime = sample.value;
    } else if (sample.name == kSmsdRunning) {
        state.smsd_running = sample.value == 1;
    } else if (sample.name == kStatusReadable) {
        state.status_readable = sample.value == 1;
    } else if (sample.name == kPassInterval) {
        state.pass_interval = whole();
    } else if (sample.name == kPasses) {
        state.passes = static_cast<long>(sample.value);
    } else if (sample.name == kLastPassEnd) {
        state.last_pass_end_time = sample.value;
        saw_pass = true;
    } else if (sample.name == kLastPassDuration) {
        state.last_pass_duration = sample.value;
    } else if (sample.name == kModemsPresent) {
        state.present = whole();
    } else if (sample.name == kPortsConfigured) {
        state.configured = whole();
    } else if (sample.name == kPortsReceiving) {
        state.receiving = whole();
    } else if (sample.name == kPortsBlocked) {
        state.blocked = whole();
    } else if (sample.name == kPortState) {
        PublishedPort& port = portNamed(state, label("port"));
        port.device = label("device");
        port.target = label("target");
        port.state = label("state");
    } else if (sample.name == kPortSpool) {
        portNamed(state, label("port")).spool_directory = sample.value == 1;
    } else if (sample.name == kPortAnswering) {
        portNamed(state, label("port")).answering = sample.value == 1;
    } else if (sample.name == kPortNotAnsweringSince) {
        portNamed(state, label("port")).not_answering_since = sample.value;
    } else if (sample.name == kPortSignal) {
        portNamed(state, label("port")).signal_dbm = whole();
    } else if (sample.name == kPortHeals) {
        PublishedPort& port = portNamed(state, label("port"));
        (label("outcome") == "answering" ? port.heals_answering : port.heals_not_answering) = static_cast<long>(sample.value);
    } else if (sample.name == kPortHealGivenUp) {
        portNamed(state, label("port")).heal_given_up = sample.value == 1;
    } else if (sample.name == kPortSent) {
        portNamed(state, label("port")).sent = static_cast<long>(sample.value);
    } else if (sample.name == kPortSendFailures) {
        portNamed(state, label("port")).send_failures = static_cast<long>(sample.value);
    } else if (sample.name == kPortReceived) {
        portNamed(state, label("port")).received = static_cast<long>(sample.value);
    } else if (sample.name == kPortLastSent) {
        portNamed(state, label("port")).last_sent_time = sample.value;
    } else if (sample.name == kPortLastReceived) {
        portNamed(state, label("port")).last_received_time = sample.value;
    } else if (sample.name == kPortProblem && sample.value == 1) {
        portNamed(state, label("port")).problem = label("cause");
    } else if (sample.name == kPortLastFailure) {
        portNamed(state, label("port")).last_failure = label("words");
    } else if (sample.name == kMessagesWaiting) {
        state.messages_waiting = static_cast<long>(sample.value);
    } else if (sample.name == kMessagesWaitingComplete) {
        state.waiting_complete = sample.value == 1;
    } else if (sample.name == kOldestWaiting) {
        state.oldest_waiting_seconds = sample.value;
    } else if (sample.name == kSmsdResponding) {
        state.smsd_responding = sample.value == 1;
    } else if (sample.name == kHealing) {
        state.healing = sample.value == 1;
    } else if (sample.name == kRestarts) {
        state.restarts.push_back({label("cause"), static_cast<long>(sample.value)});
    } else if (sample.name == kLastRestart) {
        state.last_restart_time = sample.value;
        state.last_restart_cause = label("cause");
    }
}

} // namespace

std::optional<PublishedState> parsePublishedState(const std::string& text, std::string& error)
{
    PublishedState state;
    bool saw_up = false;
    bool saw_pass = false;
    size_t start = 0;
    for (int line_number = 1; start < text.size(); ++line_number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        Sample sample;
        if (!parseSample(line, sample)) {
            error = "line " + std::to_string(line_number) + " is not a metric";
            return std::nullopt;
        }
        if (const char* why = implausible(sample)) {
            error = "line " + std::to_string(line_number) + ": " + printable(sample.name) + " " + why;
            return std::nullopt;
        }
        take(state, sample, saw_up, saw_pass);
    }
    if (!saw_up || !saw_pass) {
        error = "not modemwatchd's published state";
        return std::nullopt;
    }
    std::sort(state.ports.begin(), state.ports.end(),
              [](const PublishedPort& a, const PublishedPort& b) { return a.number < b.number; });
    return state;
}

std::optional<PublishedState> readPublishedState(const std::string& path, std::string& error)
{
    // Non-blocking and regular files only: the path may be given by whoever runs us.
    unique_fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid()) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > (1 << 20)) {
        error = "not a state file";
        return std::nullopt;
    }
    std::string text;
    char buffer[8192];
    ssize_t got;
    while ((got = read(fd.get(), buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(got));
    }
    if (got < 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    return parsePublishedState(text, error);
}

std::string causeText(const std::string& cause)
{
    std::string text = cause;
    std::replace(text.begin(), text.end(), '_', ' ');
    return text;
}

double lastPassAge(const PublishedState& state, const Now& now)
{
    if (now.boot && state.last_pass_end_boottime) {
        return *now.boot - *state.last_pass_end_boottime;
    }
    return now.wall - state.last_pass_end_time;
}

double startedAt(const PublishedState& state, const Now& now)
{
    if (now.boot && state.start_boottime && state.up) {
        return now.wall - (*now.boot - *state.start_boottime);
    }
    return state.start_time;
}

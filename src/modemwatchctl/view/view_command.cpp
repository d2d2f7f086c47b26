// `modemwatchctl status` and `modemwatchctl check`: the operator's view of the published state.
#include "modemwatchctl/view/view_command.hpp"

#include "common/clock.hpp"
#include "metrics/metrics_names.hpp"
#include "modemwatchctl/view/check.hpp"
#include "modemwatchctl/view/status_view.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// Colour only for a person at a terminal that shows it.
bool wantColour()
{
    const char* term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr && term != nullptr &&
           std::strcmp(term, "dumb") != 0;
}

// The time ages are judged at: --now for a saved file, else the clocks.
Now judgedAt(const CtlArguments& line)
{
    Now at;
    at.wall = line.now >= 0 ? line.now : wallClockSeconds();
    if (line.now < 0) {
        at.boot = clockSeconds(CLOCK_BOOTTIME);
    }
    return at;
}

// The box's USB modems in storage mode, read from sysfs: for the box's own state judged now, not
// for a saved file (another box's, or another time's).
std::vector<ModemWithoutAt> modemsInStorageMode(const CtlArguments& line)
{
    std::vector<ModemWithoutAt> storage;
    if (line.state_path != kMetricsPath || line.now >= 0) {
        return storage;
    }
    for (ModemWithoutAt& modem : modemsWithoutAtPorts("/sys", {}, readModeSwitchData(""))) {
        if (modem.mode == NoAtMode::storage) {
            storage.push_back(std::move(modem));
        }
    }
    return storage;
}

} // namespace

int statusMain(CtlArguments& line)
{
    bool json = false;
    for (size_t i = 0; i < line.words.size(); ++i) {
        if (takeCommonOption(line, i)) {
            continue;
        }
        if (line.words[i] != "--json") {
            return unexpectedWord(line, i);
        }
        json = true;
    }
    const Now at = judgedAt(line);
    std::string error;
    const std::optional<PublishedState> state = readPublishedState(line.state_path, error);
    if (!state) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: cannot read %s: %s\n", line.state_path.c_str(),
                                       error.c_str()));
        return 1;
    }
    const std::vector<ModemWithoutAt> storage = modemsInStorageMode(line);
    const std::string text = json ? statusJson(*state, at, storage) : statusTable(*state, at, wantColour(), storage);
    static_cast<void>(std::fputs(text.c_str(), stdout));
    return 0;
}

int checkMain(CtlArguments& line)
{
    CheckLimits limits;
    for (size_t i = 0; i < line.words.size(); ++i) {
        if (takeCommonOption(line, i)) {
            continue;
        }
        const std::string& word = line.words[i];
        double value = 0;
        const bool has_number = i + 1 < line.words.size() && parseNumber(line.words[i + 1], value);
        if (word == "--max-age" && has_number) {
            limits.max_age = value;
        } else if (word == "--max-wait" && has_number && value >= 0) {
            limits.max_wait = value;
        } else if (word == "--blocked" && has_number && value >= 1 && value <= 1e6) {
            limits.blocked = static_cast<int>(value);
        } else {
            return unexpectedWord(line, i);
        }
        ++i;
    }
    std::string error;
    const std::optional<PublishedState> state = readPublishedState(line.state_path, error);
    const CheckResult result = checkState(state, line.state_path + ": " + error, judgedAt(line), limits);
    static_cast<void>(std::printf("%s\n", result.line.c_str()));
    return result.status;
}

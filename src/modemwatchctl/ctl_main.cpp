// modemwatchctl: the operator's view of what modemwatchd publishes.
#include "modemwatchctl/ctl_main.hpp"

#include "common/clock.hpp"
#include "metrics/metrics_names.hpp"
#include "modemwatchctl/check.hpp"
#include "modemwatchctl/probe_command.hpp"
#include "modemwatchctl/status_view.hpp"
#include "modemwatchctl/wake.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr char kUsage[] =
    "Usage: modemwatchctl [--state FILE] [--now SECONDS] COMMAND\n"
    "\n"
    "Shows what modemwatchd found on this box, from the state it publishes after each pass.\n"
    "\n"
    "Commands:\n"
    "  status [--json]        each port with its device, smsd's state and its spool directory,\n"
    "                         then the counts and smsd's restarts; --json for scripts\n"
    "  check [--max-age SECONDS] [--blocked N]\n"
    "                         one line for a monitoring system, exit 0 OK, 1 WARNING (N or more\n"
    "                         ports blocked, default 1, or fewer receiving than present),\n"
    "                         2 CRITICAL (no pass for SECONDS, default three pass periods, the\n"
    "                         daemon stopped, or modems present and none receiving), 3 UNKNOWN\n"
    "  probe [--at] [--json]  the USB serial ports by USB device: interface, driver, tty and any\n"
    "                         gsmmodem link; --at asks each free modem port AT and picks each\n"
    "                         modem's AT port\n"
    "  probe --udev-rules [--write]\n"
    "                         prints (or installs as /etc/udev/rules.d/90-gsmmodem.rules) rules\n"
    "                         naming each AT port gsmmodem-<USB path>\n"
    "  wake                   asks the daemon for a pass soon; calls less than 0.7 s apart\n"
    "                         give one wake-up, 0.7 s after the last of them (for udev)\n"
    "\n"
    "Options:\n"
    "  --state FILE           read FILE instead of /run/modemwatchd/modemwatchd.prom\n"
    "  --now SECONDS          judge ages as at SECONDS since the epoch (a saved file, tests)\n"
    "  --pid-file FILE        with wake: the daemon's pid file, /run/modemwatchd.pid by default\n"
    "  -h, --help             print this help\n"
    "  --version              print the version\n"
    "\n"
    "Exit status of status: 0 shown, 1 the state cannot be read, 2 usage error (3 for check);\n"
    "of wake: 0 asked, 1 no daemon to wake or the wake-up cannot be scheduled; of probe: 0 ports\n"
    "(with --at, an AT port) found, 1 none, 3 --write refused or failed.\n";

bool parseNumber(const char* text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(value) && value >= 0;
}

struct Invocation {
    std::string command;
    std::string state_path = kMetricsPath;
    double now = -1;
    bool json = false;
    CheckLimits limits;
    std::string pid_file = "/run/modemwatchd.pid";
    long long deliver = -1;  // wake's scheduled half: the time of the call it delivers
    ProbeOptions probe;
};

// Options may stand before or after the command. An error is printed, then false.
bool parse(int argc, char** argv, Invocation& invocation)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const bool has_value = i + 1 < argc;
        double value = 0;
        if (word == "-h" || word == "--help") {
            static_cast<void>(std::fputs(kUsage, stdout));
            std::exit(0);
        } else if (word == "--version") {
            static_cast<void>(std::printf("modemwatchctl %s\n", MODEMWATCHD_VERSION));
            std::exit(0);
        } else if (word == "--state" && has_value) {
            invocation.state_path = argv[++i];
        } else if (word == "--now" && has_value && parseNumber(argv[i + 1], value)) {
            invocation.now = value;
            ++i;
        } else if (word == "--json" && invocation.command != "check" && invocation.command != "wake") {
            invocation.json = true;
        } else if (word == "--at" && invocation.command == "probe") {
            invocation.probe.at = true;
        } else if (word == "--udev-rules" && invocation.command == "probe") {
            invocation.probe.udev_rules = true;
        } else if (word == "--write" && invocation.command == "probe") {
            invocation.probe.write = true;
        } else if (word == "--max-age" && invocation.command != "status" && has_value &&
                   parseNumber(argv[i + 1], value)) {
            invocation.limits.max_age = value;
            ++i;
        } else if (word == "--blocked" && invocation.command != "status" && has_value &&
                   parseNumber(argv[i + 1], value) && value >= 1 && value <= 1e6) {
            invocation.limits.blocked = static_cast<int>(value);
            ++i;
        } else if (word.rfind("--pid-file=", 0) == 0) {
            invocation.pid_file = word.substr(11);
        } else if (word == "--pid-file" && has_value) {
            invocation.pid_file = argv[++i];
        } else if (word == "--deliver" && invocation.command == "wake" && has_value) {
            invocation.deliver = std::strtoll(argv[++i], nullptr, 10);
        } else if ((word == "status" || word == "check" || word == "wake" || word == "probe") &&
                   invocation.command.empty()) {
            invocation.command = word;
        } else {
            static_cast<void>(std::fprintf(stderr, "modemwatchctl: unexpected '%s'\n\n%s", word.c_str(), kUsage));
            return false;
        }
    }
    if (invocation.command.empty()) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: no command given\n\n%s", kUsage));
        return false;
    }
    // Options may come before the command too; each belongs to one command only.
    const bool misplaced = (invocation.json && invocation.command != "status" && invocation.command != "probe") ||
                           (invocation.probe.write && !invocation.probe.udev_rules) ||
                           (invocation.command != "check" && (invocation.limits.max_age >= 0 || invocation.limits.blocked != 1));
    if (misplaced) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: an option does not go with %s\n\n%s",
                                       invocation.command.c_str(), kUsage));
        return false;
    }
    return true;
}

// Colour only for a person at a terminal that shows it.
bool wantColour()
{
    const char* term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr && term != nullptr &&
           std::strcmp(term, "dumb") != 0;
}

} // namespace

int ctlMain(int argc, char** argv)
{
    Invocation invocation;
    if (!parse(argc, argv, invocation)) {
        // The plugin convention has UNKNOWN for a call it cannot make sense of.
        const bool as_plugin = std::any_of(argv + 1, argv + argc, [](const char* word) { return std::strcmp(word, "check") == 0; });
        return as_plugin ? kUnknown : 2;
    }
    if (invocation.command == "probe") {
        invocation.probe.json = invocation.json;
        return runProbe(invocation.probe);
    }
    if (invocation.command == "wake") {
        return invocation.deliver >= 0 ? deliverWake(invocation.deliver, invocation.pid_file)
                                       : requestWake(invocation.pid_file);
    }
    Now at;
    at.wall = invocation.now >= 0 ? invocation.now : wallClockSeconds();
    if (invocation.now < 0) {
        at.boot = clockSeconds(CLOCK_BOOTTIME);
    }
    std::string error;
    const std::optional<PublishedState> state = readPublishedState(invocation.state_path, error);
    if (invocation.command == "check") {
        const CheckResult result = checkState(state, invocation.state_path + ": " + error, at, invocation.limits);
        static_cast<void>(std::printf("%s\n", result.line.c_str()));
        return result.status;
    }
    if (!state) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: cannot read %s: %s\n", invocation.state_path.c_str(),
                                       error.c_str()));
        return 1;
    }
    const std::string text = invocation.json ? statusJson(*state, at) : statusTable(*state, at, wantColour());
    static_cast<void>(std::fputs(text.c_str(), stdout));
    return 0;
}

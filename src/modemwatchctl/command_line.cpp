// What every command of modemwatchctl shares: the usage text, the options that go with any
// command, and how a word none of them takes is reported.
#include "modemwatchctl/command_line.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace {

constexpr char kUsage[] =
    "Usage: modemwatchctl [--state FILE] [--now SECONDS] COMMAND\n"
    "\n"
    "Shows what modemwatchd found on this box, from the state it publishes after each pass.\n"
    "\n"
    "Commands:\n"
    "  status [--json]        each port with its device, smsd's state and its spool directory,\n"
    "                         then the counts and smsd's restarts; --json for scripts\n"
    "  check [--max-age SECONDS] [--blocked N] [--max-wait SECONDS]\n"
    "                         one line for a monitoring system, exit 0 OK, 1 WARNING (N or more\n"
    "                         ports blocked, default 1, or fewer receiving than present),\n"
    "                         2 CRITICAL (no pass for SECONDS, default three pass periods, the\n"
    "                         daemon stopped, modems present and none receiving, a port with a\n"
    "                         problem, smsd not responding, or a message waiting longer than\n"
    "                         --max-wait, default 600), 3 UNKNOWN\n"
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
    "(with --at, an AT port) found, 1 none, 3 --write refused or failed, or --at without root.\n";

// The options of one command or another, for telling a misplaced one from a word nobody takes.
const char* const kCommandOptions[] = {"--json", "--max-age", "--blocked", "--max-wait", "--at", "--udev-rules", "--write"};

int usageError(const std::string& command, const std::string& message)
{
    static_cast<void>(std::fprintf(stderr, "modemwatchctl: %s\n\n%s", message.c_str(), kUsage));
    return command == "check" ? 3 : 2;
}

} // namespace

bool parseNumber(const std::string& text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end != text.c_str() && *end == '\0' && std::isfinite(value) && value >= 0;
}

bool takeCommonOption(CtlArguments& line, size_t& i)
{
    const std::string& word = line.words[i];
    const bool has_value = i + 1 < line.words.size();
    double value = 0;
    if (word == "-h" || word == "--help") {
        static_cast<void>(std::fputs(kUsage, stdout));
        std::exit(0);
    }
    if (word == "--version") {
        static_cast<void>(std::printf("modemwatchctl %s\n", MODEMWATCHD_VERSION));
        std::exit(0);
    }
    if (word == "--state" && has_value) {
        line.state_path = line.words[++i];
    } else if (word == "--now" && has_value && parseNumber(line.words[i + 1], value)) {
        line.now = value;
        ++i;
    } else if (word.rfind("--pid-file=", 0) == 0) {
        line.pid_file = word.substr(11);
    } else if (word == "--pid-file" && has_value) {
        line.pid_file = line.words[++i];
    } else {
        return false;
    }
    return true;
}

int unexpectedWord(const CtlArguments& line, size_t i)
{
    const std::string& word = line.words[i];
    const bool misplaced = i < line.before_command &&
                           std::find(std::begin(kCommandOptions), std::end(kCommandOptions), word) != std::end(kCommandOptions);
    return misplaced ? misplacedOption(line) : usageError(line.command, "unexpected '" + word + "'");
}

int misplacedOption(const CtlArguments& line)
{
    return usageError(line.command, "an option does not go with " + line.command);
}

int noCommand(CtlArguments& line)
{
    for (size_t i = 0; i < line.words.size(); ++i) {
        const std::string& word = line.words[i];
        if (!takeCommonOption(line, i) &&
            std::find(std::begin(kCommandOptions), std::end(kCommandOptions), word) == std::end(kCommandOptions)) {
            return usageError("", "unexpected '" + word + "'");
        }
    }
    return usageError("", "no command given");
}

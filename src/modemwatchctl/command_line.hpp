// What every command of modemwatchctl shares: the usage text, the options that go with any
// command, and how a word none of them takes is reported.
#pragma once

#include "metrics/metrics_names.hpp"

#include <string>
#include <vector>

// One call: its command and the words around it, in order (options may stand before the
// command as well as after it).
struct CtlArguments {
    std::string command;              // status, check, wake, probe
    std::vector<std::string> words;   // every other word, in order
    size_t before_command = 0;        // how many of `words` stood before the command
    // The options of every command.
    std::string state_path = kMetricsPath;  // --state FILE
    double now = -1;                  // --now SECONDS; -1: the clocks
    std::string pid_file = "/run/modemwatchd.pid";  // --pid-file FILE
};

// Takes words[i] (and its value) when it is an option of every command: --state, --now,
// --pid-file; -h, --help and --version print and end the process with status 0. True when
// taken, with `i` on the last word used.
bool takeCommonOption(CtlArguments& line, size_t& i);

// A number of seconds or a count: finite and not negative; false for anything else.
bool parseNumber(const std::string& text, double& value);

// Reports words[i], which the command does not take ("unexpected", or "does not go with" for
// another command's option before the command), with the usage on standard error; gives the
// exit status of a usage error: 3 for check (the plugin convention), 2 for the others.
int unexpectedWord(const CtlArguments& line, size_t i);

// The same for an option that needs another (--write without --udev-rules).
int misplacedOption(const CtlArguments& line);

// The usage error of a call without a command: the first word no command takes, or the lack of
// a command. Help and version are handled as anywhere else.
int noCommand(CtlArguments& line);

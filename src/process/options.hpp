// The command line: the only configuration the daemon has.
#pragma once

#include <getopt.h>
#include <optional>
#include <string>

extern const char* app_name;
extern const struct option long_options[];

struct CommandLine {
    bool daemon = false;
    std::optional<std::string> log_file;
    std::optional<std::string> pid_file;
};

void print_help();

// Takes every --heal out of argv (up to a "--"), before parseCommandLine: healing is not in the
// help, and `--he` stays a short way of saying --help. True when there was one.
bool takeHealOption(int& argc, char** argv);

// Parses argv. Help and command-line errors end the process here (status 0 and 1).
CommandLine parseCommandLine(int argc, char** argv);

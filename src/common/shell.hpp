// Runs the program's fixed shell commands to completion, one at a time.
#pragma once

#include <optional>

// Runs `command` through /bin/sh and waits for it to end. Its exit status is of no
// interest to any caller; false means it could not be started at all.
bool runShellCommand(const char* command);

// Runs `command` through /bin/sh in the C locale, reads its standard output to the end and
// waits for it.
// Gives the number of output lines (a last line without a newline counts too), or
// nothing when the command could not be started.
std::optional<int> countCommandOutputLines(const char* command);

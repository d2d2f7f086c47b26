// `modemwatchctl status` and `modemwatchctl check`: the operator's view of the published state.
#pragma once

#include "modemwatchctl/command_line.hpp"

// status [--json]: the state as a table, or JSON. 0 shown, 1 the state cannot be read, 2 a
// usage error.
int statusMain(CtlArguments& line);

// check [--max-age SECONDS] [--blocked N]: one monitoring-plugin line; 0 OK, 1 WARNING,
// 2 CRITICAL, 3 UNKNOWN (a usage error too).
int checkMain(CtlArguments& line);

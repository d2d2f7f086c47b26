// `modemwatchctl wake`: asks the running daemon for a pass soon (udev runs it).
#pragma once

#include "modemwatchctl/command_line.hpp"

// wake [--pid-file FILE]: 0 asked, 1 no daemon to wake or no way to schedule the wake-up, 2 a
// usage error. `--deliver CALL` is the scheduled half of an earlier call.
int wakeMain(CtlArguments& line);

// `modemwatchctl probe`: which ttyUSB is the modem, and stable gsmmodem names for it.
#pragma once

#include "modemwatchctl/command_line.hpp"

struct ProbeOptions {
    bool at = false;          // open the free candidate ports and ask AT
    bool udev_rules = false;  // print (or with write, install) the rules file; implies at
    bool write = false;
    bool json = false;
};

// Lists the box's USB serial ports by USB device, probes them when asked, and shows the result
// as a table (verdict first) or JSON, or the rules file. Exit status: 0 when a port was found
// (with --at: an AT port), 1 when none was, 3 when --write refused or failed.
int runProbe(const ProbeOptions& options);

// probe [--at] [--json] | probe --udev-rules [--write]: the options, then runProbe; 2 for a usage
// error.
int probeMain(CtlArguments& line);

// The udev rules `modemwatchctl probe --udev-rules` writes: a stable gsmmodem name for each
// modem's AT port, and modem managers kept off the whole modem.
#pragma once

#include "modemwatchctl/probe/probe_ports.hpp"

#include <string>
#include <vector>

// Where --write puts them: the name of the example rules file, so that the two never both give a
// modem a name (each name would count as a modem of its own), and before the package's wake-up
// rule (99) that looks for the names they give.
inline constexpr char kProbeRulesDirectory[] = "/etc/udev/rules.d";
inline constexpr char kProbeRulesName[] = "90-gsmmodem.rules";
inline constexpr char kProbeRulesPath[] = "/etc/udev/rules.d/90-gsmmodem.rules";

// The rules file for `modems`. Each AT port is named gsmmodem-<USB path>: by path, because
// identical dongles often share a serial number (such as 0).
std::string udevRules(const std::vector<UsbModem>& modems);

// Installs `rules` at kProbeRulesPath, unless a file is there that this command did not write;
// then reloads udev and triggers the ttys. 0, else a message on standard error and 3.
int writeUdevRules(const std::string& rules);

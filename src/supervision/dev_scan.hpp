// Finding the GSM modems plugged in: the "gsmmodem" entries of /dev, in listing order.
#pragma once

#include "common/modem_slots.hpp"

#include <string>
#include <string_view>

// Fills `slots` from slot 0 with the /dev entries whose names contain "gsmmodem". False when
// /dev cannot be listed, with a LOG_ALERT and a log line: the box cannot be supervised. The
// ports' spool directories are made by the pass's acting step (port_spools.hpp).
bool getallgsmmodemfolders(ModemSlots& slots);

// The number of non-empty slots among the first `count`.
int inUse(const ModemSlots& slots, int count);

// Why a /dev entry name cannot go into smsd.conf as it is, or null when it can: a control
// character (a newline above all) would add lines of its own to the configuration, and a
// "GSM", two characters and "=" would make the port count of the file one too high.
const char* deviceNameProblem(std::string_view name);

// Finding the GSM modems plugged in: the "gsmmodem" entries of /dev, in listing order.
#pragma once

#include "common/modem_slots.hpp"

#include <string>
#include <string_view>

// Fills `slots` from slot 0 with the /dev entries whose names contain "gsmmodem", and
// makes sure each port found has its spool directory /mnt/flash/spool/GSMn. When /dev
// cannot be listed the box cannot be supervised: the process ends with status 1.
void getallgsmmodemfolders(ModemSlots& slots);

// The number of non-empty slots among the first `count`.
int inUse(const ModemSlots& slots, int count);

// True when a /dev entry name may go into smsd.conf as it is: a control character
// (a newline above all) would add lines of its own to the configuration.
bool isSafeDeviceName(std::string_view name);

// The name with each control character shown as \xNN, fit for a log line.
std::string printableName(std::string_view name);

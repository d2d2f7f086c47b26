// Generating /etc/smsd.conf: one section per modem present, everything else fixed.
#pragma once

#include "common/modem_slots.hpp"
#include "common/write_file.hpp"

#include <string>
#include <vector>

// The whole configuration for the first `count` modems of `slots`.
std::string smsdConfText(const ModemSlots& slots, int count);

// A new configuration on its way into /etc/smsd.conf.
struct SmsdConfRewrite {
    std::string text;
    InPlaceRewrite file;
};

// Builds the configuration for the first `count` modems and takes the room it needs in
// /etc/smsd.conf, before smsd is stopped. False, with errno, when the disk is full: the
// file is untouched and smsd must go on with it.
bool prepareSmsdConf(const ModemSlots& slots, int count, SmsdConfRewrite& rewrite);

// Puts the prepared configuration into /etc/smsd.conf, whole and durable, in place (same
// file, same inode). Called while smsd is stopped.
void createsmsd(SmsdConfRewrite& rewrite);

// The devices of the configuration in force, port by port: "gsmmodem1" for GSM1's
// "device = /dev/gsmmodem1", and so on. Empty when /etc/smsd.conf cannot be read; a port whose
// device line is missing or names no /dev entry has an empty name.
std::vector<std::string> configuredDevices();

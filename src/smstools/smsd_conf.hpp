// Generating /etc/smsd.conf: one section per modem present, everything else fixed.
#pragma once

#include "common/modem_slots.hpp"
#include "common/unique_fd.hpp"

#include <string>
#include <vector>

// The whole configuration for the first `count` modems of `slots`.
std::string smsdConfText(const ModemSlots& slots, int count);

// A new configuration on its way into /etc/smsd.conf: written whole and durable beside it
// before smsd is stopped, renamed over it while smsd is stopped, so that neither smsd nor a power
// cut ever finds half a file. Dropped unrenamed, it is removed.
struct SmsdConfRewrite {
    SmsdConfRewrite() = default;
    ~SmsdConfRewrite();
    SmsdConfRewrite(const SmsdConfRewrite&) = delete;
    SmsdConfRewrite& operator=(const SmsdConfRewrite&) = delete;

    std::string text;
    std::string path;  // the file replaced: /etc/smsd.conf, or where that links to
    unique_fd directory;
    int error = 0;  // of writing it aside; createsmsd reports it
};

// Builds the configuration for the first `count` modems and writes it beside /etc/smsd.conf,
// keeping the old file's mode. False, with errno, when the disk is full: the old file is
// untouched and smsd must go on with it. Any other failure is left for createsmsd to report.
bool prepareSmsdConf(const ModemSlots& slots, int count, SmsdConfRewrite& rewrite);

// Puts the prepared configuration in place of /etc/smsd.conf. Called while smsd is stopped.
// False when the configuration in force is still the old one (the failure reported).
bool createsmsd(SmsdConfRewrite& rewrite);

// The devices of the configuration in force, port by port: "gsmmodem1" for GSM1's
// "device = /dev/gsmmodem1", and so on. Empty when /etc/smsd.conf cannot be read; a port whose
// device line is missing or names no /dev entry has an empty name.
std::vector<std::string> configuredDevices();

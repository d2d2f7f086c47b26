// USB modems in a mode without AT ports: a stick still in storage mode (a CD-ROM until
// usb_modeswitch switches it), or a firmware that is a network adapter only (HiLink, NCM).
// Neither has a tty, so the port listing alone would not show them at all.
#pragma once

#include "modemwatchctl/probe/known_layouts.hpp"

#include <set>
#include <string>
#include <vector>

// What usb_modeswitch (Debian's usb-modeswitch and usb-modeswitch-data) would do on this box.
struct ModeSwitchData {
    bool installed = false;  // its program is there
    std::set<std::string> ids;  // "12d1:1f01": an entry of its rules or of /etc/usb_modeswitch.d
    bool huawei_storage = false;  // its rule for any Huawei whose first interface is storage
};

// Read under `root` ("" for the box itself): the program, the rules udev runs it by, and the
// admin's own entries.
ModeSwitchData readModeSwitchData(const std::string& root);

struct ModemWithoutAt {
    std::string usb_path, vendor, product, manufacturer, product_name;
    NoAtMode mode;
    std::string state;  // what is to be done, in words: "switched by usb_modeswitch: install usb-modeswitch"
};

// The USB devices of `sys` that are modems in a mode without AT ports, leaving out those at
// `with_ttys` (USB paths that carry a tty, listed as modems already).
std::vector<ModemWithoutAt> modemsWithoutAtPorts(const std::string& sys, const std::set<std::string>& with_ttys,
                                                 const ModeSwitchData& modeswitch);

// "storage" or "network", as the JSON names them.
const char* modeName(NoAtMode mode);

// Them as a JSON array of objects.
std::string modemsWithoutAtJson(const std::vector<ModemWithoutAt>& modems);

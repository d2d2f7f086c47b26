// What counts as a GSM modem in /dev: the one definition the daemon and its tools share.
#pragma once

#include <string_view>

// An entry of /dev whose name contains "gsmmodem" (case-sensitive): the names the box's udev
// rules give each modem's AT port, and the entries the daemon serves, one port each.
inline bool isGsmmodemName(std::string_view name)
{
    return name.find("gsmmodem") != std::string_view::npos;
}

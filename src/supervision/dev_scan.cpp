// Finding the GSM modems plugged in: the "gsmmodem" entries of /dev, in listing order.
#include "supervision/dev_scan.hpp"

#include "common/concat.hpp"
#include "common/unique_fd.hpp"
#include "common/printable_name.hpp"
#include "log/activity_log.hpp"
#include "usb/gsmmodem.hpp"

#include <algorithm>
#include <cstring>
#include <syslog.h>

namespace {

constexpr char kDevDirectory[] = "/dev";

// The counting probe reads a port from every smsd.conf line holding "GSM", two characters and
// "=", and a device name lands whole in a "device = /dev/..." line.
bool looksLikeAPortLine(std::string_view name)
{
    for (size_t at = name.find("GSM"); at != std::string_view::npos; at = name.find("GSM", at + 1)) {
        if (at + 5 < name.size() && name[at + 5] == '=') {
            return true;
        }
    }
    return false;
}

} // namespace

const char* deviceNameProblem(std::string_view name)
{
    if (std::any_of(name.begin(), name.end(), isControlCharacter)) {
        return "a control character in its name would corrupt smsd.conf";
    }
    if (looksLikeAPortLine(name)) {
        return "\"GSM\", two characters and \"=\" in its name would be counted as a port of smsd.conf";
    }
    return nullptr;
}

bool getallgsmmodemfolders(ModemSlots& slots)
{
    dir_ptr dev(opendir(kDevDirectory));
    if (!dev) {
        const std::string text = concat("Cannot open directory.. ", kDevDirectory);
        syslog(LOG_ALERT, "%s", text.c_str());
        logLine("%s", text.c_str());
        return false;
    }

    int found = 0;
    bool overflowed = false;
    while (const struct dirent* entry = readdir(dev.get())) {
        const std::string_view name = entry->d_name;
        if (!isGsmmodemName(name)) {
            continue;
        }
        if (const char* problem = deviceNameProblem(name)) {
            logLine("Ignoring /dev/%s: %s", printableName(name).c_str(), problem);
            continue;
        }
        if (found == kModemSlotCount) {
            overflowed = true;
            continue;
        }
        slots[found] = name;
        ++found;
    }
    if (overflowed) {
        logLine("More than %d gsmmodem entries in /dev: only the first %d are served",
                kModemSlotCount, kModemSlotCount);
    }
    return true;
}

int inUse(const ModemSlots& slots, int count)
{
    int used = 0;
    for (int k = 0; k < count; ++k) {
        if (!slots[k].empty()) {
            ++used;
        }
    }
    return used;
}

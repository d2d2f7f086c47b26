// Finding the GSM modems plugged in: the "gsmmodem" entries of /dev, in listing order.
#include "supervision/dev_scan.hpp"

#include "common/concat.hpp"
#include "common/unique_fd.hpp"
#include "log/activity_log.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <syslog.h>

namespace {

constexpr char kDevDirectory[] = "/dev";
constexpr char kPortSpoolPrefix[] = "/mnt/flash/spool/GSM";

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}

// smsd runs as its own user and must write here. The mode is set after a successful
// mkdir so that it does not depend on the umask; an existing directory is left alone.
void makePortSpoolDirectory(int port)
{
    const std::string path = concat(kPortSpoolPrefix, std::to_string(port));
    if (mkdir(path.c_str(), 0777) == 0) {
        chmod(path.c_str(), 0777);
    }
}

} // namespace

bool isSafeDeviceName(std::string_view name)
{
    return std::none_of(name.begin(), name.end(), [](char c) { return isControl(static_cast<unsigned char>(c)); });
}

std::string printableName(std::string_view name)
{
    std::string shown;
    for (const char c : name) {
        if (isControl(static_cast<unsigned char>(c))) {
            char escape[5];
            static_cast<void>(std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(c)));
            shown += escape;
        } else {
            shown += c;
        }
    }
    return shown;
}

void getallgsmmodemfolders(ModemSlots& slots)
{
    dir_ptr dev(opendir(kDevDirectory));
    if (!dev) {
        const std::string text = concat("Cannot open directory.. ", kDevDirectory);
        syslog(LOG_ALERT, "%s", text.c_str());
        logLine("%s", text.c_str());
        // exit() flushes the activity log, so the line above reaches a log file.
        std::exit(EXIT_FAILURE);
    }

    int found = 0;
    bool overflowed = false;
    while (const struct dirent* entry = readdir(dev.get())) {
        const std::string_view name = entry->d_name;
        if (name.find("gsmmodem") == std::string_view::npos) {
            continue;
        }
        if (!isSafeDeviceName(name)) {
            logLine("Ignoring /dev/%s: a control character in its name would corrupt smsd.conf",
                    printableName(name).c_str());
            continue;
        }
        if (found == kModemSlotCount) {
            overflowed = true;
            continue;
        }
        slots[found] = name;
        ++found;
        makePortSpoolDirectory(found);
    }
    if (overflowed) {
        logLine("More than %d gsmmodem entries in /dev: only the first %d are served",
                kModemSlotCount, kModemSlotCount);
    }
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

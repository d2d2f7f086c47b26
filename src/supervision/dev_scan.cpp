// Finding the GSM modems plugged in: the "gsmmodem" entries of /dev, in listing order.
#include "supervision/dev_scan.hpp"

#include "common/concat.hpp"
#include "common/printable_name.hpp"
#include "common/unique_fd.hpp"
#include "log/activity_log.hpp"
#include "smstools/smstools_paths.hpp"
#include "usb/gsmmodem.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr char kDevDirectory[] = "/dev";

// Per port: its spool directory could not be made and that has been said. Cleared once the
// directory is there, so a box that loses it again says so again, but not every pass.
std::array<bool, kModemSlotCount> spool_failure_reported{};

// The directory the port spool directories are made in, opened once per pass when a modem
// needs it.
struct SpoolParent {
    unique_fd fd;
    int error = 0;
    bool tried = false;
};

// 0 when the spool directory of `name` exists, else the error that keeps it from being made.
int makePortSpoolDirectory(SpoolParent& parent, const std::string& name)
{
    if (!parent.tried) {
        parent.tried = true;
        parent.fd.reset(open(kSpoolDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        parent.error = parent.fd.valid() ? 0 : errno;
    }
    if (!parent.fd.valid()) {
        return parent.error;
    }
    if (mkdirat(parent.fd.get(), name.c_str(), 0777) == 0) {
        // smsd runs as its own user and must write here, whatever the umask. The mode is set
        // through a descriptor on what is there now, never through the name: the owner of
        // the spool tree could have swapped the new directory for a link to a file of root's.
        unique_fd made(openat(parent.fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!made.valid() || fchmod(made.get(), 0777) != 0) {
            return errno;
        }
        return 0;
    }
    if (errno != EEXIST) {
        return errno;
    }
    // An existing directory is left as it is; smsd follows a link to one, and so do we.
    struct stat info {};
    if (fstatat(parent.fd.get(), name.c_str(), &info, 0) != 0) {
        return errno;
    }
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

void checkPortSpoolDirectory(SpoolParent& parent, int port)
{
    const std::string name = portName(port);
    const int error = makePortSpoolDirectory(parent, name);
    bool& reported = spool_failure_reported[static_cast<size_t>(port - 1)];
    if (error != 0 && !reported) {
        syslog(LOG_WARNING, "Can not make spool directory %s/%s, error: %s", kSpoolDirectory, name.c_str(),
               std::strerror(error));
    }
    reported = error != 0;
}

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

    SpoolParent spool;
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
        checkPortSpoolDirectory(spool, found);
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

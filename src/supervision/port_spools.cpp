// Each served port's spool directory, /mnt/flash/spool/GSMn.
#include "supervision/port_spools.hpp"

#include "common/modem_slots.hpp"
#include "common/port_name.hpp"
#include "common/unique_fd.hpp"
#include "smstools/smstools_paths.hpp"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

} // namespace

std::vector<int> makePortSpoolDirectories(int present)
{
    SpoolParent parent;
    std::vector<int> errors;
    for (int port = 1; port <= present && port <= kModemSlotCount; ++port) {
        errors.push_back(makePortSpoolDirectory(parent, portName(port)));
    }
    return errors;
}

bool portSpoolDirectoryExists(int port)
{
    struct stat info {};
    return stat(portSpoolDirectory(port).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

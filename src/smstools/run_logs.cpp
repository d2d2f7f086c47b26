// Emptying smsd's per-port run logs while smsd is stopped.
#include "smstools/run_logs.hpp"

#include "common/printable_name.hpp"
#include "common/unique_fd.hpp"
#include "smstools/smstools_paths.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <syslog.h>

namespace {

// Why an entry was not emptied, or null once it has been.
const char* emptyEntry(int directory, const char* name)
{
    // O_NOFOLLOW: a link planted here must not turn root's truncate on a file elsewhere.
    // O_NONBLOCK: a FIFO must not hold the restart up (it fails with ENXIO or is refused below).
    unique_fd fd(openat(directory, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ELOOP) {
            return "a symbolic link";
        }
        return errno == ENXIO ? "not a regular file" : std::strerror(errno);
    }
    struct stat info {};
    if (fstat(fd.get(), &info) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return "not a regular file";
    }
    // A second name for some other file, made by whoever owns the directory.
    if (info.st_nlink != 1) {
        return "a file with other links";
    }
    return ftruncate(fd.get(), 0) == 0 ? nullptr : std::strerror(errno);
}

} // namespace

void emptyRunLogs()
{
    dir_ptr directory(opendir(kRunLogDirectory));
    if (!directory) {
        return;  // no run logs to empty
    }
    while (const struct dirent* entry = readdir(directory.get())) {
        if (std::string_view(entry->d_name).rfind(kRunLogPrefix, 0) != 0) {
            continue;
        }
        if (const char* reason = emptyEntry(dirfd(directory.get()), entry->d_name)) {
            syslog(LOG_WARNING, "Not emptying %s/%s: %s", kRunLogDirectory, printableName(entry->d_name).c_str(),
                   reason);
        }
    }
}

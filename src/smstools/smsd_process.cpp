// Whether smsd runs, told by the pid file it writes at its start.
#include "smstools/smsd_process.hpp"

#include "common/unique_fd.hpp"
#include "smstools/smstools_paths.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// The pid in the file, 0 when there is none. smsd's user may own the directory: no link is
// followed, only a small regular file is read, and nothing blocks.
pid_t pidIn(const char* path, struct timespec& written)
{
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return 0;
    }
    char text[24] = {};
    const ssize_t got = read(fd.get(), text, sizeof text - 1);
    char* end = nullptr;
    const long pid = got > 0 ? std::strtol(text, &end, 10) : 0;
    if (pid <= 0 || pid > 1 << 22 || (*end != '\n' && *end != '\0')) {
        return 0;
    }
    written = info.st_mtim;
    return static_cast<pid_t>(pid);
}

} // namespace

SmsdProcess findSmsd()
{
    SmsdProcess smsd;
    for (const char* path : kSmsdPidFiles) {
        const pid_t pid = pidIn(path, smsd.started);
        if (pid > 0 && (kill(pid, 0) == 0 || errno == EPERM)) {
            smsd.running = true;
            return smsd;
        }
    }
    smsd.started = {};
    return smsd;
}

// Turning into a background daemon: detached, in "/", on /dev/null, with no inherited descriptors.
#include "process/daemonize.hpp"

#include "common/unique_fd.hpp"

#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

void forkAndLetParentExit()
{
    const pid_t pid = fork();
    if (pid < 0) {
        std::exit(EXIT_FAILURE);
    }
    if (pid > 0) {
        _exit(EXIT_SUCCESS);
    }
}

void pointAt(int target, const char* path, int flags)
{
    unique_fd fd(open(path, flags));
    if (fd.valid() && fd.get() != target) {
        dup2(fd.get(), target);
    } else {
        (void)fd.release();
    }
}

// 0, 1 and 2 all lead to /dev/null, readable and writable as the standard streams
// expect, so the service commands we run can write their output without failing.
void redirectStandardDescriptors()
{
    pointAt(STDIN_FILENO, "/dev/null", O_RDONLY);
    pointAt(STDOUT_FILENO, "/dev/null", O_WRONLY);
    pointAt(STDERR_FILENO, "/dev/null", O_WRONLY);
}

} // namespace

void closeDescriptorsFrom(int lowest)
{
#ifdef SYS_close_range
    // With a descriptor limit of 1,048,576 a close() per possible descriptor takes
    // seconds; the kernel does it in one call.
    if (syscall(SYS_close_range, static_cast<unsigned>(lowest), UINT_MAX, 0U) == 0) {
        return;
    }
#endif
    for (long fd = sysconf(_SC_OPEN_MAX); fd >= lowest; --fd) {
        close(static_cast<int>(fd));
    }
}

void daemonize()
{
    forkAndLetParentExit();
    if (setsid() < 0) {
        std::exit(EXIT_FAILURE);
    }
    static_cast<void>(std::signal(SIGCHLD, SIG_IGN));
    forkAndLetParentExit();

    umask(0);
    [[maybe_unused]] const int changed = chdir("/");
    closeDescriptorsFrom(STDERR_FILENO + 1);
    redirectStandardDescriptors();
}

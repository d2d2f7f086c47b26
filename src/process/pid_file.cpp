// The locked pid file that keeps a second daemon from running beside the first.
#include "process/pid_file.hpp"

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

std::optional<std::string> pid_file_name;

namespace {

// The pid file's descriptor while this process holds its lock; -1 when it holds none.
int pid_fd = -1;

} // namespace

void takePidFile()
{
    // Not through a link, and nothing but a regular file: the daemon is root, and a pid
    // file path in a directory someone else can write must not make it truncate and
    // overwrite a file of that someone's choosing.
    pid_fd = open(pid_file_name->c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0640);
    struct stat info {};
    if (pid_fd < 0 || fstat(pid_fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        std::exit(EXIT_FAILURE);
    }
    if (lockf(pid_fd, F_TLOCK, 0) < 0) {
        std::exit(EXIT_FAILURE);
    }
    // Only now that the file is ours may its old content go: a longer old pid would
    // otherwise leave a tail behind the new one.
    const std::string text = std::to_string(getpid()) + "\n";
    [[maybe_unused]] const int truncated = ftruncate(pid_fd, 0);
    [[maybe_unused]] const ssize_t written = pwrite(pid_fd, text.data(), text.size(), 0);
}

void releasePidFile()
{
    if (pid_fd == -1) {
        return;
    }
    // Unlink while still holding the lock: once it is released another daemon may take
    // the same path, and we must not delete its fresh pid file.
    unlink(pid_file_name->c_str());
    lockf(pid_fd, F_ULOCK, 0);
    close(pid_fd);
    pid_fd = -1;
}

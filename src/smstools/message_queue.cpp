// The messages waiting to be sent: the files in smsd's spool directories, by name and lstat alone.
#include "smstools/message_queue.hpp"

#include "common/unique_fd.hpp"
#include "smstools/smstools_paths.hpp"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

std::vector<std::string> queueDirectories(int ports)
{
    std::vector<std::string> directories = {std::string(kSmsdSpoolDirectory) + "/outgoing",
                                            std::string(kSmsdSpoolDirectory) + "/checked",
                                            std::string(kSpoolDirectory) + "/all"};
    for (int port = 1; port <= ports; ++port) {
        directories.push_back(portSpoolDirectory(port));
    }
    return directories;
}

namespace {

bool isLockFile(std::string_view name)
{
    constexpr std::string_view kLock = ".LOCK";
    return name.size() >= kLock.size() && name.substr(name.size() - kLock.size()) == kLock;
}

// Counts one directory's messages into `reading`; false once `budget` is spent.
bool countDirectory(const std::string& path, QueueReading& reading, long& budget)
{
    // Whoever owns the spool may put a link or a FIFO where a directory belongs: neither is
    // followed or waited on.
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return true;
    }
    const dir_ptr directory(fdopendir(fd));
    if (!directory) {
        close(fd);
        return true;
    }
    while (const dirent* entry = readdir(directory.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        if (budget-- <= 0) {
            reading.complete = false;
            return false;
        }
        if ((entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) || isLockFile(entry->d_name)) {
            continue;
        }
        if (reading.waiting >= kQueueAgeLimit && entry->d_type == DT_REG) {
            ++reading.waiting;
            continue;
        }
        struct stat info {};
        if (fstatat(dirfd(directory.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        ++reading.waiting;
        if (reading.oldest == 0 || info.st_mtime < reading.oldest) {
            reading.oldest = info.st_mtime;
        }
    }
    return true;
}

} // namespace

QueueReading readQueue(const std::vector<std::string>& directories, long limit)
{
    QueueReading reading;
    long budget = limit;
    // Stops at the first directory that spends the budget.
    static_cast<void>(std::all_of(directories.begin(), directories.end(),
                                  [&](const std::string& path) { return countDirectory(path, reading, budget); }));
    return reading;
}

// Emptying smsd's per-port run logs while smsd is stopped.
#include "smstools/run_logs.hpp"

#include "common/printable_name.hpp"
#include "common/unique_fd.hpp"
#include "smstools/smsd_log.hpp"
#include "smstools/smstools_paths.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <algorithm>
#include <string>
#include <string_view>
#include <unistd.h>
#include <sys/stat.h>

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

std::optional<RunLogAnswer> lastAnswer(int port)
{
    const std::string path = std::string(kRunLogDirectory) + "/" + kRunLogPrefix + std::to_string(port) + ".log";
    unique_fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    constexpr off_t kTail = 4096;
    std::string text(static_cast<size_t>(std::min(info.st_size, kTail)), '\0');
    const off_t from = info.st_size - static_cast<off_t>(text.size());
    const ssize_t got = pread(fd.get(), text.data(), text.size(), from);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    std::optional<RunLogAnswer> answered;
    for (size_t start = 0; start < text.size();) {
        size_t stop = text.find('\n', start);
        stop = stop == std::string::npos ? text.size() : stop;
        const std::string_view line = std::string_view(text).substr(start, stop - start);
        SmsdLogLine parsed;
        if (line.size() > 2 && line.substr(line.size() - 2) == "OK" && parseSmsdLogLine(line, parsed) &&
            parsed.port == port) {
            answered = RunLogAnswer{info.st_dev, info.st_ino, from + static_cast<off_t>(start), parsed.time};
        }
        start = stop + 1;
    }
    return answered;
}

std::vector<RunLogNotEmptied> emptyRunLogs()
{
    std::vector<RunLogNotEmptied> skipped;
    dir_ptr directory(opendir(kRunLogDirectory));
    if (!directory) {
        return skipped;  // no run logs to empty
    }
    while (const struct dirent* entry = readdir(directory.get())) {
        if (std::string_view(entry->d_name).rfind(kRunLogPrefix, 0) != 0) {
            continue;
        }
        if (const char* reason = emptyEntry(dirfd(directory.get()), entry->d_name)) {
            skipped.push_back({printableName(entry->d_name), reason});
        }
    }
    return skipped;
}

// Rewriting a small file in place, with a failure reported to syslog.
#include "common/write_file.hpp"

#include "common/unique_fd.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

namespace {

bool writeAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t done = write(fd, text.data(), text.size());
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0) {
            return false;
        }
        text.remove_prefix(static_cast<size_t>(done));
    }
    return true;
}

// The daemon's umask is 0, so the mode given here is the mode the file gets: 0644 keeps
// other local users from rewriting what smsd or the box's tools will trust.
bool rewrite(const char* path, std::string_view text)
{
    unique_fd fd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid() || !writeAll(fd.get(), text)) {
        return false;
    }
    return close(fd.release()) == 0;
}

} // namespace

void writeFileReportingErrors(const char* path, std::string_view text)
{
    if (!rewrite(path, text)) {
        syslog(LOG_ERR, "Can not write %s, error: %s", path, std::strerror(errno));
    }
}

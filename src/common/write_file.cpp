// Rewriting small files in place; failures are returned as errno values for the caller to report.
#include "common/write_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool writeAllAt(int fd, std::string_view text, off_t offset)
{
    while (!text.empty()) {
        const ssize_t done = pwrite(fd, text.data(), text.size(), offset);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0) {
            return false;
        }
        text.remove_prefix(static_cast<size_t>(done));
        offset += done;
    }
    return true;
}

namespace {

// The daemon's umask is 0, so the mode given here is the mode the file gets: 0644 keeps
// other local users from rewriting what smsd or the box's tools will trust.
int openForRewrite(const char* path, int extra_flags)
{
    return open(path, O_WRONLY | O_CREAT | O_CLOEXEC | extra_flags, 0644);
}

bool rewrite(const char* path, std::string_view text)
{
    unique_fd fd(openForRewrite(path, O_TRUNC));
    if (!fd.valid() || !writeAllAt(fd.get(), text, 0)) {
        return false;
    }
    return close(fd.release()) == 0;
}

} // namespace

int writeWholeFile(const char* path, std::string_view text)
{
    return rewrite(path, text) ? 0 : errno;
}

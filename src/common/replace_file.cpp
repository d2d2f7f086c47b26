// Replacing a whole file so that a reader, or a power cut, finds the old one or the new one.
#include "common/replace_file.hpp"

#include "common/unique_fd.hpp"
#include "common/write_file.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int writeAsideAt(int directory_fd, const char* aside, std::string_view text, mode_t mode, bool durable)
{
    // A leftover of a writer that died is ours to clear; O_EXCL then refuses anything put there
    // after, link or not.
    unlinkat(directory_fd, aside, 0);
    unique_fd file(openat(directory_fd, aside, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!file.valid()) {
        return errno;
    }
    if (!writeAllAt(file.get(), text, 0) || fchmod(file.get(), mode) != 0 || (durable && fsync(file.get()) != 0) ||
        close(file.release()) != 0) {
        const int error = errno;
        unlinkat(directory_fd, aside, 0);
        return error;
    }
    return 0;
}

int replaceFileAt(int directory_fd, const char* name, const char* aside, std::string_view text, mode_t mode,
                  bool durable)
{
    if (const int error = writeAsideAt(directory_fd, aside, text, mode, durable)) {
        return error;
    }
    if (renameat(directory_fd, aside, directory_fd, name) != 0) {
        const int error = errno;
        unlinkat(directory_fd, aside, 0);
        return error;
    }
    if (durable) {
        static_cast<void>(fsync(directory_fd));
    }
    return 0;
}

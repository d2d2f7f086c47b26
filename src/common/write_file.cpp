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

bool isOutOfRoom(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

} // namespace

int writeWholeFile(const char* path, std::string_view text)
{
    return rewrite(path, text) ? 0 : errno;
}

bool reserveInPlace(const char* path, size_t size, InPlaceRewrite& file)
{
    // A file that does not exist yet has no old content to keep, and must not appear, empty,
    // before the caller is ready to write it: writeInPlace creates it.
    file.fd.reset(open(path, O_WRONLY | O_CLOEXEC));
    if (!file.fd.valid()) {
        return true;
    }
    // KEEP_SIZE: the blocks are taken, but the file still reads as its old self, so smsd can
    // go on with it if we give up here.
    int result;
    do {
        result = fallocate(file.fd.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0 || !isOutOfRoom(errno);
}

int writeInPlace(const char* path, InPlaceRewrite& file, std::string_view text)
{
    if (!file.fd.valid()) {
        file.fd.reset(openForRewrite(path, 0));
    }
    if (!file.fd.valid()) {
        return errno;
    }
    // Over the old content first, then cut its tail: the blocks the old text held and those
    // reserved above are all the new text needs, so no write here can find the disk full.
    const bool written = writeAllAt(file.fd.get(), text, 0) &&
                         ftruncate(file.fd.get(), static_cast<off_t>(text.size())) == 0 &&
                         fsync(file.fd.get()) == 0;
    const int error = errno;
    if (!written) {
        file.fd.reset();
        return error;
    }
    return close(file.fd.release()) == 0 ? 0 : errno;
}

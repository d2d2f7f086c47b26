// Owning holders for descriptors, FILE* and DIR*, so no early return can leak one.
#pragma once

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <memory>
#include <unistd.h>

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    [[nodiscard]] int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Keeps errno, so a caller can report the failure that made it give up.
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            const int saved = errno;
            static_cast<void>(::close(fd_));
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct FileCloser {
    void operator()(FILE* f) const { static_cast<void>(std::fclose(f)); }
};
struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using file_ptr = std::unique_ptr<FILE, FileCloser>;
using dir_ptr = std::unique_ptr<DIR, DirCloser>;

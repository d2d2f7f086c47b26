// The activity log: the timestamped text log every part of the daemon writes to.
#include "log/activity_log.hpp"

#include "common/local_time.hpp"
#include "common/unique_fd.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>

namespace {

// The current sink: the log file, or standard output. Null until openLogfile runs.
FILE* log_stream = nullptr;

char timestamp[80];

// Owns the sink when it is a file; standard output is never closed.
file_ptr log_file;

const char* sinkName(const char* path)
{
    return log_stream == stdout || path == nullptr ? "stdout" : path;
}

// fopen("a+") would create the file 0666 less the umask, and the umask is 0 in daemon
// mode: a world-writable log. Create it 0644 instead, and close-on-exec, so that the
// service commands do not hand it on to smsd.
FILE* openAppending(const char* path)
{
    unique_fd fd(open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        return nullptr;
    }
    FILE* stream = fdopen(fd.get(), "a+");
    if (stream != nullptr) {
        (void)fd.release();
    }
    return stream;
}

// The log file has been removed, or renamed away and maybe replaced (rotation without
// copytruncate): lines written to it now would reach nobody.
bool logFileGone(const char* path)
{
    struct stat open_file {};
    if (fstat(fileno(log_file.get()), &open_file) != 0) {
        return false;
    }
    if (open_file.st_nlink == 0) {
        return true;
    }
    struct stat at_path {};
    if (stat(path, &at_path) != 0) {
        return errno == ENOENT;
    }
    return at_path.st_dev != open_file.st_dev || at_path.st_ino != open_file.st_ino;
}

} // namespace

const char* gettimestamp()
{
    static_cast<void>(formatLocalTime(std::time(nullptr), timestamp, sizeof timestamp));
    return timestamp;
}

void openLogfile(const char* path)
{
    closeLogFile();
    if (path != nullptr) {
        log_file.reset(openAppending(path));
        if (log_file) {
            log_stream = log_file.get();
            return;
        }
        syslog(LOG_ERR, "Can not open log file: %s, error: %s", path, std::strerror(errno));
    }
    log_stream = stdout;
}

void closeLogFile()
{
    log_file.reset();
    log_stream = nullptr;
}

void writeHeartbeat(const char* path)
{
    if (log_file && path != nullptr && logFileGone(path)) {
        openLogfile(path);
    }
    if (std::fprintf(log_stream, "%s\n", gettimestamp()) < 0) {
        syslog(LOG_ERR, "Can not write to log stream: %s, error: %s", sinkName(path),
               std::strerror(errno));
        openLogfile(path);
    }
}

void flushLogfile(const char* path)
{
    if (std::fflush(log_stream) != 0) {
        syslog(LOG_ERR, "Can not fflush() log stream: %s, error: %s", sinkName(path),
               std::strerror(errno));
    }
}

void flushLogBeforeExit()
{
    if (log_stream != nullptr) {
        static_cast<void>(std::fflush(log_stream));
    }
}

FILE* logSink()
{
    return log_stream;
}

void logLine(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    // A failed line is not worth more than the next heartbeat's check of the sink.
    if (log_stream != nullptr) {
        static_cast<void>(std::fprintf(log_stream, "%s: ", gettimestamp()));
        // va_start above initialises args; the analyzer loses track of it through glibc's
        // fortified vfprintf.
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
        static_cast<void>(std::vfprintf(log_stream, format, args));
        static_cast<void>(std::fputc('\n', log_stream));
    }
    va_end(args);
}

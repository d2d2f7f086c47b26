// `modemwatchctl wake`: asks the running daemon for a pass soon, one wake-up per burst of calls.
#include "modemwatchctl/wake/wake.hpp"

#include "common/replace_file.hpp"
#include "common/spawn.hpp"
#include "common/systemd.hpp"
#include "common/unique_fd.hpp"
#include "common/write_file.hpp"
#include "metrics/metrics_names.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Each call is stamped here; a delivery finding a later stamp leaves the wake-up to that call's.
constexpr char kStampPath[] = "/run/modemwatchd/wake";

long long bootTimeNanoseconds()
{
    struct timespec now {};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// The stamp's number; 0 when it holds none.
long long stampIn(int fd)
{
    char text[32] = {};
    const ssize_t got = pread(fd, text, sizeof text - 1, 0);
    return got > 0 ? std::strtoll(text, nullptr, 10) : 0;
}

// Our own calls hold the lock for microseconds; anyone holding it longer is no call of ours.
bool lockWithin(int fd, int milliseconds)
{
    for (int waited = 0; flock(fd, LOCK_EX | LOCK_NB) != 0; waited += 10) {
        if (errno != EWOULDBLOCK || waited >= milliseconds) {
            return false;
        }
        usleep(10000);
    }
    return true;
}

unique_fd openStamp()
{
    // Root's alone: a user who could open it could lock it and hold every wake-up (udev's RUN
    // programs among them) for as long as he likes. A stamp an older version left readable is
    // made so too.
    unique_fd fd(open(kStampPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (fd.valid() && fchmod(fd.get(), 0600) != 0) {
        fd.reset();
    }
    return fd;
}

// Keeps the latest call time in the stamp, under a lock: concurrent calls (udev handles events
// in parallel) never move it back. A lock held for long (by a process that opened the stamp while
// it could) is left behind with the file it is on: a new stamp is renamed over it. Gives the stamp
// as it now stands, or -1 with errno.
long long stampAtLeast(long long call)
{
    if (mkdir(kMetricsDirectory, 0755) != 0 && errno != EEXIST) {
        return -1;
    }
    constexpr int kLockMilliseconds = 200;
    unique_fd fd = openStamp();
    if (!fd.valid()) {
        return -1;
    }
    if (!lockWithin(fd.get(), kLockMilliseconds)) {
        unique_fd directory(open(kMetricsDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const std::string aside = ".wake." + std::to_string(getpid());
        const std::string kept = std::to_string(stampIn(fd.get())) + "\n";
        if (!directory.valid() || replaceFileAt(directory.get(), "wake", aside.c_str(), kept, 0600, false) != 0) {
            return -1;
        }
        fd = openStamp();
        if (!fd.valid() || !lockWithin(fd.get(), kLockMilliseconds)) {
            return -1;
        }
    }
    const long long stamped = stampIn(fd.get());
    if (call <= stamped) {
        return stamped;
    }
    const std::string now = std::to_string(call) + "\n";
    if (ftruncate(fd.get(), 0) != 0 || !writeAllAt(fd.get(), now, 0)) {
        return -1;
    }
    return call;
}

// The daemon's pid: the process holding the lock on its pid file; 0 when none does (a pid file
// left behind names nobody, or somebody else), -1 with errno when the file cannot be opened.
pid_t lockHolder(const std::string& pid_file)
{
    unique_fd fd(open(pid_file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        return errno == ENOENT ? 0 : -1;
    }
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    if (fcntl(fd.get(), F_GETLK, &probe) != 0) {
        return -1;
    }
    return probe.l_type == F_UNLCK ? 0 : probe.l_pid;
}

std::string ownPath()
{
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string("/usr/bin/modemwatchctl");
}

// Under systemd: a transient timer runs the delivery once the window has passed. Nothing of it
// is a child of ours, so udev, which kills what its RUN programs leave behind, cannot end it.
bool deliverLaterThroughSystemd(long long call, const std::string& pid_file)
{
    const std::string on_active = "--on-active=" + std::to_string(kWakeWindowMilliseconds) + "ms";
    // systemd-run only asks PID 1 for the timer; a box whose PID 1 does not answer in seconds is
    // no place to wait on.
    constexpr int kSystemdRunMilliseconds = 10000;
    return runProgram({"/usr/bin/systemd-run", "--quiet", "--collect", "--timer-property=AccuracySec=10ms",
                       "--description=modemwatchd wake-up", on_active, ownPath(), "--pid-file=" + pid_file, "wake",
                       "--deliver", std::to_string(call)},
                      kSystemdRunMilliseconds) == 0;
}

// Without systemd: a child of its own session waits out the window.
bool deliverLaterInTheBackground(long long call, const std::string& pid_file)
{
    const pid_t child = fork();
    if (child < 0) {
        return false;
    }
    if (child > 0) {
        return true;
    }
    setsid();
    unique_fd null(open("/dev/null", O_RDWR | O_CLOEXEC));
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        dup2(null.get(), fd);
    }
    const struct timespec window {kWakeWindowMilliseconds / 1000, (kWakeWindowMilliseconds % 1000) * 1000000L};
    nanosleep(&window, nullptr);
    _exit(deliverWake(call, pid_file));
}

bool underSystemd()
{
    return systemdRuns() && access("/usr/bin/systemd-run", X_OK) == 0;
}

} // namespace

int requestWake(const std::string& pid_file)
{
    const pid_t daemon = lockHolder(pid_file);
    if (daemon < 0) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: cannot read %s: %s\n", pid_file.c_str(), std::strerror(errno)));
        return 1;
    }
    if (daemon == 0) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: no modemwatchd to wake: nothing holds %s\n", pid_file.c_str()));
        return 1;
    }
    if (kill(daemon, 0) != 0) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: cannot wake modemwatchd (pid %d): %s\n", static_cast<int>(daemon),
                     std::strerror(errno)));
        return 1;
    }
    const long long call = bootTimeNanoseconds();
    if (stampAtLeast(call) < 0) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: cannot write %s: %s\n", kStampPath, std::strerror(errno)));
        return 1;
    }
    const bool scheduled = underSystemd() ? deliverLaterThroughSystemd(call, pid_file)
                                          : deliverLaterInTheBackground(call, pid_file);
    if (!scheduled) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: cannot schedule the wake-up\n"));
        return 1;
    }
    return 0;
}

int deliverWake(long long call, const std::string& pid_file)
{
    // A later call's own delivery comes after this one: the burst is not over yet.
    if (stampAtLeast(call) > call) {
        return 0;
    }
    const pid_t daemon = lockHolder(pid_file);
    return daemon > 0 && kill(daemon, SIGHUP) == 0 ? 0 : 1;
}

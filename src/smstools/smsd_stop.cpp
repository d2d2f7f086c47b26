// Stopping smsd so that no file smsd's user can write decides what root signals.
#include "smstools/smsd_stop.hpp"

#include "common/unique_fd.hpp"
#include "smstools/smsd_process.hpp"
#include "smstools/smstools_paths.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace {

// The run directory's name in /run, and the name of the empty directory swapped in for it.
const char* runDirectoryName()
{
    return std::strrchr(kSmsdRunDirectory, '/') + 1;
}
constexpr char kStandIn[] = ".smstools.modemwatchd";

// The empty directory this file swaps in: root's, mode 0700. smsd's user cannot make its own
// directory look so (it cannot give one to root).
bool isStandIn(int run, const char* name)
{
    struct stat info {};
    return fstatat(run, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode) && info.st_uid == 0 &&
           (info.st_mode & 07777) == 0700;
}

// A daemon killed while the directories were swapped left the stand-in behind, in smsd's place
// or beside it: smsd's own directory goes back where it belongs.
int restoreLeftover(int run)
{
    struct stat info {};
    if (fstatat(run, kStandIn, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? 0 : errno;
    }
    if (isStandIn(run, runDirectoryName()) && !isStandIn(run, kStandIn) &&
        renameat2(run, runDirectoryName(), run, kStandIn, RENAME_EXCHANGE) != 0) {
        return errno;
    }
    return unlinkat(run, kStandIn, AT_REMOVEDIR) == 0 ? 0 : errno;
}

int openRun()
{
    const std::string run(kSmsdRunDirectory, std::strrchr(kSmsdRunDirectory, '/') - kSmsdRunDirectory);
    return open(run.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// A descriptor on a process, so that what is checked and what is signalled are one process.
struct ProcessHandle {
    pid_t pid = 0;
    unique_fd fd;  // not valid where the kernel has no pidfd (before 5.3): then the pid alone
};

int pidfdOpen(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

void sendSignal(const ProcessHandle& process, int signal)
{
    if (process.fd.valid()) {
        static_cast<void>(syscall(SYS_pidfd_send_signal, process.fd.get(), signal, nullptr, 0));
    } else {
        static_cast<void>(kill(process.pid, signal));
    }
}

// Ended: the pidfd reads ready once the process has exited, reaped or not; or the process is
// gone from /proc or left a zombie.
bool ended(const ProcessHandle& process)
{
    pollfd ready{process.fd.get(), POLLIN, 0};
    if (process.fd.valid() && poll(&ready, 1, 0) > 0) {
        return true;
    }
    // Gone from /proc, or a zombie: ended too (a pid reused since only makes the wait longer).
    unique_fd stat(open(("/proc/" + std::to_string(process.pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
    char text[512] = {};
    const ssize_t got = stat.valid() ? read(stat.get(), text, sizeof text - 1) : -1;
    const char* after_name = got > 0 ? std::strrchr(text, ')') : nullptr;
    return after_name == nullptr || std::strncmp(after_name, ") Z", 3) == 0;
}

// The smsd processes running now, each held by a descriptor and checked once held.
std::vector<ProcessHandle> heldSmsdProcesses()
{
    std::vector<ProcessHandle> held;
    for (const pid_t pid : smsdProcesses()) {
        ProcessHandle process;
        process.pid = pid;
        process.fd.reset(pidfdOpen(pid));
        if (!process.fd.valid() && errno != ENOSYS) {
            continue;  // gone since the listing
        }
        if (isSmsd(pid)) {
            held.push_back(std::move(process));
        }
    }
    return held;
}

// Signals each of `processes` and waits up to `wait_ms` for all of them to end.
void signalAndWait(std::vector<ProcessHandle>& processes, int signal, int wait_ms)
{
    for (const ProcessHandle& process : processes) {
        sendSignal(process, signal);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (!std::all_of(processes.begin(), processes.end(), ended) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

} // namespace

SmsdRunDirectoryHidden::SmsdRunDirectoryHidden()
{
    const unique_fd run(openRun());
    if (!run.valid()) {
        error = errno;
        return;
    }
    if ((error = restoreLeftover(run.get())) != 0) {
        return;
    }
    struct stat info {};
    if (fstatat(run.get(), runDirectoryName(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        // None there, and only root can make one in /run: nothing for the script to read.
        error = errno == ENOENT ? 0 : errno;
        return;
    }
    if (mkdirat(run.get(), kStandIn, 0700) != 0 || fchmodat(run.get(), kStandIn, 0700, 0) != 0) {
        error = errno;
        static_cast<void>(unlinkat(run.get(), kStandIn, AT_REMOVEDIR));
        return;
    }
    if (renameat2(run.get(), runDirectoryName(), run.get(), kStandIn, RENAME_EXCHANGE) != 0) {
        error = errno;
        static_cast<void>(unlinkat(run.get(), kStandIn, AT_REMOVEDIR));
        return;
    }
    swapped = true;
}

SmsdRunDirectoryHidden::~SmsdRunDirectoryHidden()
{
    if (!swapped) {
        return;
    }
    const unique_fd run(openRun());
    const int failed = run.valid() ? restoreLeftover(run.get()) : errno;
    if (failed != 0) {
        syslog(LOG_ERR, "Can not put %s back in its place: %s", kSmsdRunDirectory, std::strerror(failed));
    }
}

SmsdStopped stopSmsdProcesses(int term_ms, int kill_ms)
{
    SmsdStopped result;
    std::vector<ProcessHandle> processes = heldSmsdProcesses();
    signalAndWait(processes, SIGTERM, term_ms);
    // Whatever is smsd now, those that did not end and any started meanwhile, is killed.
    std::vector<ProcessHandle> left = heldSmsdProcesses();
    if (!left.empty()) {
        signalAndWait(left, SIGKILL, kill_ms);
    }
    const auto seen = [&result](pid_t pid) {
        return std::count(result.stopped.begin(), result.stopped.end(), pid) +
                   std::count(result.survivors.begin(), result.survivors.end(), pid) >
               0;
    };
    for (const std::vector<ProcessHandle>* list : {&processes, &left}) {
        for (const ProcessHandle& process : *list) {
            if (!seen(process.pid)) {
                (ended(process) ? result.stopped : result.survivors).push_back(process.pid);
            }
        }
    }
    for (const ProcessHandle& process : left) {
        if (ended(process)) {
            result.killed.push_back(process.pid);
        }
    }
    return result;
}

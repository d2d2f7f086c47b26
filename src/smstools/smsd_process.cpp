// Whether smsd runs, told by the pid file it writes at its start and by the process it names.
#include "smstools/smsd_process.hpp"

#include "common/unique_fd.hpp"
#include "smstools/smstools_paths.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>

namespace {

// What is at a pid file's path, read without following a link, blocking or reading much.
struct PidFile {
    bool present = false;
    bool regular = false;
    pid_t pid = 0;  // 0 when the file holds no pid
    struct timespec written {};
};

PidFile readPidFile(int directory, const char* name)
{
    PidFile file;
    unique_fd fd(openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid()) {
        // A link, or a FIFO or socket that cannot be opened so: there, but no pid file.
        file.present = errno != ENOENT;
        return file;
    }
    file.present = true;
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return file;
    }
    file.regular = true;
    char text[24] = {};
    const ssize_t got = read(fd.get(), text, sizeof text - 1);
    char* end = nullptr;
    const long pid = got > 0 ? std::strtol(text, &end, 10) : 0;
    if (pid > 0 && pid <= 1 << 22 && (*end == '\n' || *end == '\0')) {
        file.pid = static_cast<pid_t>(pid);
        file.written = info.st_mtim;
    }
    return file;
}

// The directory and name of a pid file's path.
std::string directoryOf(const char* path)
{
    return std::string(path, std::strrchr(path, '/') - path);
}

const char* nameOf(const char* path)
{
    return std::strrchr(path, '/') + 1;
}

bool inProgramDirectory(std::string_view executable)
{
    static const char* const kDirectories[] = {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/",
                                               "/sbin/", "/bin/"};
    for (const char* directory : kDirectories) {
        if (executable.rfind(directory, 0) == 0 && executable.substr(std::strlen(directory)) == "smsd") {
            return true;
        }
    }
    return false;
}

// What /proc/PID/status tells anyone of a process: its name and whether its real, effective,
// saved and file-system user ids are all `uid`.
bool namedSmsdAndAllIdsAre(const std::string& proc, uid_t uid)
{
    unique_fd status(open((proc + "/status").c_str(), O_RDONLY | O_CLOEXEC));
    char text[2048] = {};
    const ssize_t got = status.valid() ? read(status.get(), text, sizeof text - 1) : -1;
    if (got <= 0 || std::strncmp(text, "Name:\tsmsd\n", 11) != 0) {
        return false;
    }
    const char* ids = std::strstr(text, "\nUid:");
    if (ids == nullptr) {
        return false;
    }
    ids += 5;
    for (int k = 0; k < 4; ++k) {
        char* end = nullptr;
        const unsigned long id = std::strtoul(ids, &end, 10);
        if (end == ids || id != uid) {
            return false;
        }
        ids = end;
    }
    return *ids == '\n';
}

// smsd's user: the owner of its spool, which the package gives to it. Root is nobody's smsd user:
// a process of root's is told by its executable, which root can always read.
uid_t smsdUser()
{
    struct stat info {};
    return lstat(kSmsdSpoolDirectory, &info) == 0 && S_ISDIR(info.st_mode) ? info.st_uid : 0;
}

} // namespace

bool isSmsd(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    char target[PATH_MAX] = {};
    const ssize_t length = readlink((proc + "/exe").c_str(), target, sizeof target - 1);
    if (length > 0) {
        std::string_view executable(target, static_cast<size_t>(length));
        constexpr std::string_view kReplaced = " (deleted)";
        if (executable.size() > kReplaced.size() && executable.substr(executable.size() - kReplaced.size()) == kReplaced) {
            // smsd's package upgraded under it: the file it runs is no longer at that path.
            executable.remove_suffix(kReplaced.size());
            return inProgramDirectory(executable);
        }
        // The very file at that path: a program of the same name elsewhere (another mount
        // namespace's, say) is not the smsd installed here.
        struct stat running {};
        struct stat installed {};
        return inProgramDirectory(executable) && stat((proc + "/exe").c_str(), &running) == 0 &&
               stat(std::string(executable).c_str(), &installed) == 0 && running.st_dev == installed.st_dev &&
               running.st_ino == installed.st_ino;
    }
    if (errno != EACCES && errno != EPERM) {
        return false;
    }
    const uid_t user = smsdUser();
    return user != 0 && namedSmsdAndAllIdsAre(proc, user);
}

SmsdProcess findSmsd()
{
    SmsdProcess smsd;
    for (const char* path : kSmsdPidFiles) {
        unique_fd directory(open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const PidFile file = directory.valid() ? readPidFile(directory.get(), nameOf(path)) : PidFile{};
        if (file.pid > 0 && isSmsd(file.pid)) {
            smsd.running = true;
            smsd.started = file.written;
            return smsd;
        }
    }
    return smsd;
}

std::vector<pid_t> smsdProcesses()
{
    // getdents64 into a buffer on the stack: opendir's 32 KiB buffer, taken and given back at
    // every restart, would leave the heap a little larger each time.
    std::vector<pid_t> found;
    const unique_fd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    alignas(8) char buffer[4096];
    long got = 0;
    while (proc.valid() && (got = syscall(SYS_getdents64, proc.get(), buffer, sizeof buffer)) > 0) {
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid > 0 && *end == '\0' && isSmsd(static_cast<pid_t>(pid))) {
                found.push_back(static_cast<pid_t>(pid));
            }
        }
    }
    return found;
}

std::vector<PidFileRemoved> mendSmsdPidFiles()
{
    std::vector<PidFileRemoved> removed;
    for (const char* path : kSmsdPidFiles) {
        // smsd's user owns the directory; everything is done through a descriptor on it, by
        // name: no link followed, nothing opened that could block.
        unique_fd directory(open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!directory.valid()) {
            continue;
        }
        const PidFile file = readPidFile(directory.get(), nameOf(path));
        if (!file.present || (file.pid > 0 && isSmsd(file.pid))) {
            continue;
        }
        struct stat info {};
        if (fstatat(directory.get(), nameOf(path), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode)) {
            continue;  // a directory there is no file the init script reads
        }
        const char* why = "it holds no pid";
        if (!file.regular) {
            why = "it is no regular file";
        } else if (file.pid != 0) {
            why = kill(file.pid, 0) == 0 || errno == EPERM ? "the process it names is not smsd" : "no process has its pid";
        }
        if (unlinkat(directory.get(), nameOf(path), 0) == 0) {
            removed.push_back({path, why});
        }
    }
    return removed;
}

void forgetPidFilesOf(const std::vector<pid_t>& stopped)
{
    for (const char* path : kSmsdPidFiles) {
        unique_fd directory(open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const PidFile file = directory.valid() ? readPidFile(directory.get(), nameOf(path)) : PidFile{};
        if (file.pid > 0 && std::find(stopped.begin(), stopped.end(), file.pid) != stopped.end()) {
            static_cast<void>(unlinkat(directory.get(), nameOf(path), 0));
        }
    }
}

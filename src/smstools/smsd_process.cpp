// Whether smsd runs, told by the pid file it writes at its start and by the process it names.
#include "smstools/smsd_process.hpp"

#include "common/replace_file.hpp"
#include "common/unique_fd.hpp"
#include "smstools/smstools_paths.hpp"

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
#include <syslog.h>

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
    unique_fd comm(open((proc + "/comm").c_str(), O_RDONLY | O_CLOEXEC));
    char name[17] = {};
    return comm.valid() && read(comm.get(), name, sizeof name - 1) > 0 && std::strcmp(name, "smsd\n") == 0;
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

pid_t findMainSmsd()
{
    dir_ptr proc(opendir("/proc"));
    if (!proc) {
        return 0;
    }
    pid_t found = 0;
    while (const dirent* entry = readdir(proc.get())) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || (found != 0 && pid > found) || !isSmsd(static_cast<pid_t>(pid))) {
            continue;
        }
        // The main process is the one whose parent is no smsd (its modem handlers' parent is it).
        unique_fd stat(open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
        char text[512] = {};
        const ssize_t got = stat.valid() ? read(stat.get(), text, sizeof text - 1) : -1;
        // After the name in parentheses: " S PPID ...", the state letter, then the parent's pid.
        const char* after_name = got > 0 ? std::strrchr(text, ')') : nullptr;
        if (after_name == nullptr || std::strlen(after_name) < 5 || after_name[1] != ' ' || after_name[3] != ' ') {
            continue;
        }
        char* parent_end = nullptr;
        const long parent = std::strtol(after_name + 4, &parent_end, 10);
        if (parent_end != after_name + 4 && *parent_end == ' ' && !isSmsd(static_cast<pid_t>(parent))) {
            found = static_cast<pid_t>(pid);
        }
    }
    return found;
}

void mendSmsdPidFiles()
{
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
        // Where smsd runs, the script is to stop it and nothing else: the file names it again.
        // Without an smsd there is nothing for the file to name.
        const pid_t smsd = findMainSmsd();
        const std::string aside = std::string(".") + nameOf(path) + ".modemwatchd";
        if (smsd > 0 && replaceFileAt(directory.get(), nameOf(path), aside.c_str(), std::to_string(smsd) + "\n", 0644,
                                      false) == 0) {
            syslog(LOG_WARNING, "Put smsd's pid %d in %s before smstools' init script read it: %s", static_cast<int>(smsd),
                   path, why);
        } else if (smsd <= 0 && unlinkat(directory.get(), nameOf(path), 0) == 0) {
            syslog(LOG_WARNING, "Removed %s before it reached smstools' init script: %s", path, why);
        }
    }
}

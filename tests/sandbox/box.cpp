// A fake gateway box: a private mount namespace in which the real daemon can run.
#include "sandbox/box.hpp"

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// Records each call and the smsd.conf it found; sleeps when asked to. Like smstools' init script,
// it starts a stand-in smsd (a sleep installed as /usr/local/sbin/smsd, living 100000 s or as
// long as ROOT/smsd.lives says) whose pid goes into /run/smstools/smsd.pid, and stops whatever
// that file names; once it runs, it publishes a prepared status file as smsd would.
const char kFakeService[] = R"SH(#!/bin/sh
echo "$*" >> ROOT/service.calls
cp /etc/smsd.conf "ROOT/run/smsd.conf-at-$2" 2>/dev/null
if [ -f ROOT/service.delay ]; then
    delay=$(cat ROOT/service.delay)
    if [ -f ROOT/service.delay-once ]; then rm -f ROOT/service.delay ROOT/service.delay-once; fi
    sleep "$delay"
fi
if [ "$2" = stop ] && [ -f /run/smstools/smsd.pid ]; then
    kill "$(cat /run/smstools/smsd.pid)" 2>/dev/null
    rm -f /run/smstools/smsd.pid
fi
if [ "$2" = start ] && [ ! -f ROOT/smsd.fails ]; then
    mkdir -p /run/smstools
    /usr/local/sbin/smsd "$(cat ROOT/smsd.lives 2>/dev/null || echo 100000)" </dev/null >/dev/null 2>&1 &
    echo $! > /run/smstools/smsd.pid
fi
if [ "$2" = start ] && [ -f ROOT/status.on-start ]; then
    cp ROOT/status.on-start /var/spool/sms/stats/status
fi
exit 0
)SH";

void makeDirs(const std::string& root, std::initializer_list<const char*> paths)
{
    for (const char* path : paths) {
        std::string partial = root;
        std::stringstream parts(path);
        for (std::string part; std::getline(parts, part, '/');) {
            partial += "/" + part;
            mkdir(partial.c_str(), 0755);
        }
    }
}

int removeEntry(const char* path, const struct stat* info, int, struct FTW*)
{
    if (S_ISDIR(info->st_mode)) {
        rmdir(path);
    } else {
        unlink(path);
    }
    return 0;
}

int openToWriteEntry(const char* path, const struct stat* info, int, struct FTW*)
{
    if (S_ISDIR(info->st_mode)) {
        chmod(path, 0700);  // overlayfs leaves a mode-000 work directory behind
    }
    return 0;
}

void removeTree(const std::string& root)
{
    nftw(root.c_str(), openToWriteEntry, 16, FTW_PHYS);
    nftw(root.c_str(), removeEntry, 16, FTW_PHYS | FTW_DEPTH);
}

std::string mountNamespaceOf(pid_t pid)
{
    char link[64] = {};
    const std::string path = "/proc/" + std::to_string(pid) + "/ns/mnt";
    if (readlink(path.c_str(), link, sizeof link - 1) < 0) {
        return {};
    }
    return link;
}

// Every pid a test holds is one it may signal: a failed fork must never hand out -1.
pid_t forkOrThrow()
{
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    }
    return pid;
}

[[noreturn]] void failInChild(int report_fd, const std::string& what)
{
    const std::string message = what + ": " + std::strerror(errno);
    (void)!write(report_fd, message.data(), message.size());
    _exit(1);
}

} // namespace

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

bool fileExists(const std::string& path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

bool waitUntil(const std::function<bool()>& done, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int waitExit(pid_t pid, int timeout_ms)
{
    // kill(-1) or kill(0) would reach every process of the machine, or of the test's group.
    if (pid <= 0) {
        return -1;
    }
    int status = 0;
    const bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

mode_t modeOf(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

Box::Box()
{
    // Daemons double-fork; as subreaper the test inherits them and can wait for them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    char templ[] = "/tmp/modemwatchd-box.XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root_ = templ;
    chmod(root_.c_str(), 0755);
    makeDirs(root_, {"dev", "etc-upper", "etc-work", "var-upper/spool/sms", "var-upper/ramlog",
                     "var-work", "log", "spool/stats", "ramlog", "mnt/flash/spool", "run", "box-run"});
    writeFile(root_ + "/dev/null", "");
    writeFile(root_ + "/full", "");
    writeFile(root_ + "/service.calls", "");
    std::string service = kFakeService;
    for (size_t at; (at = service.find("ROOT")) != std::string::npos;) {
        service.replace(at, 4, root_);
    }
    writeFile(root_ + "/service", service);
    chmod((root_ + "/service").c_str(), 0755);
    // The stand-in smsd: its executable is what tells smsd from another process.
    makeDirs(root_, {"sbin"});
    writeFile(root_ + "/sbin/smsd", readFile("/bin/sleep"));
    chmod((root_ + "/sbin/smsd").c_str(), 0755);
    syslog_.bindTo(root_ + "/dev/log");
    startHolder();
}

void Box::startHolder()
{
    own_user_namespace_ = geteuid() != 0;
    int ready[2];
    int hold[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(hold, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    holder_ = fork();
    if (holder_ == 0) {
        close(ready[0]);
        close(hold[1]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int report = ready[1];
        if (own_user_namespace_) {
            if (unshare(CLONE_NEWUSER) != 0) {
                failInChild(report, "unshare(CLONE_NEWUSER)");
            }
            writeFile("/proc/self/setgroups", "deny");
            writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
            writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
        }
        if (unshare(CLONE_NEWNS) != 0) {
            failInChild(report, "unshare(CLONE_NEWNS)");
        }
        // Recursive, so that the /dev/null bound into the box's /dev comes along.
        const auto bind = [&](const std::string& from, const std::string& to) {
            if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
                failInChild(report, "bind " + from + " on " + to);
            }
        };
        const auto overlay = [&](const std::string& target, const std::string& name) {
            const std::string options = "lowerdir=" + target + ",upperdir=" + root_ + "/" + name +
                                        "-upper,workdir=" + root_ + "/" + name + "-work";
            if (mount("overlay", target.c_str(), "overlay", 0, options.c_str()) != 0) {
                failInChild(report, "overlay on " + target);
            }
        };
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            failInChild(report, "making / private");
        }
        bind("/dev/null", root_ + "/dev/null");
        bind("/dev/full", root_ + "/full");
        overlay("/etc", "etc");
        overlay("/var", "var");
        bind(root_ + "/spool", "/var/spool/sms");
        bind(root_ + "/ramlog", "/var/ramlog");
        // The box's own, so that a test without root can write smsd's log there.
        bind(root_ + "/log", "/var/log");
        bind(root_ + "/mnt", "/mnt");
        bind(root_ + "/box-run", "/run");
        bind(root_ + "/service", "/usr/sbin/service");
        bind(root_ + "/sbin", "/usr/local/sbin");
        bind(root_ + "/dev", "/dev");
        // The host may have an smsd.conf of its own (the smstools package installs one);
        // removing it through the overlay leaves a whiteout in the box's layer only.
        if (unlink("/etc/smsd.conf") != 0 && errno != ENOENT) {
            failInChild(report, "hiding /etc/smsd.conf");
        }
        (void)!write(report, "ready", 5);
        close(report);
        char c;
        while (read(hold[0], &c, 1) != 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    holder_pipe_ = hold[1];
    char answer[512] = {};
    const ssize_t got = read(ready[0], answer, sizeof answer - 1);
    close(ready[0]);
    if (got < 0 || std::string(answer) != "ready") {
        throw std::runtime_error(std::string("cannot set up the box: ") + answer);
    }
}

Box::~Box()
{
    // Whatever still runs in the box (daemons, stuck service calls) goes with it.
    const std::string box_namespace = mountNamespaceOf(holder_);
    for (int round = 0; round < 50 && !box_namespace.empty(); ++round) {
        bool any = false;
        if (DIR* proc = opendir("/proc")) {
            while (const dirent* entry = readdir(proc)) {
                const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
                if (pid > 0 && pid != holder_ && mountNamespaceOf(pid) == box_namespace) {
                    kill(pid, SIGKILL);
                    any = true;
                }
            }
            closedir(proc);
        }
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (!any) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(holder_pipe_);
    // Reap everything, so that no exit status of this box is left for the next test to find.
    waitUntil([] { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }, 5000);
    removeTree(root_);
}

std::string Box::hostPath(const std::string& inside) const
{
    static const std::pair<const char*, const char*> kMapped[] = {
        {"/dev/", "/dev/"},
        {"/mnt/", "/mnt/"},
        {"/var/spool/sms/", "/spool/"},
        {"/var/ramlog/", "/ramlog/"},
        {"/var/log/", "/log/"},
        {"/run/", "/box-run/"},
    };
    for (const auto& [prefix, directory] : kMapped) {
        if (inside.rfind(prefix, 0) == 0) {
            return root_ + directory + inside.substr(std::strlen(prefix));
        }
    }
    throw std::invalid_argument(inside + " is not a box directory");
}

void Box::plug(const std::string& device) const
{
    writeFile(hostPath("/dev/" + device), "");
}

void Box::unplug(const std::string& device) const
{
    unlink(hostPath("/dev/" + device).c_str());
}

void Box::writeStatus(const std::string& text) const
{
    writeFile(hostPath("/var/spool/sms/stats/status"), text);
}

void Box::statusOnStart(const std::string& text) const
{
    if (text.empty()) {
        unlink((root_ + "/status.on-start").c_str());
    } else {
        writeFile(root_ + "/status.on-start", text);
    }
}

void Box::slowService(int seconds, bool once) const
{
    if (once) {
        writeFile(root_ + "/service.delay-once", "");
    }
    writeFile(root_ + "/service.delay", std::to_string(seconds));
}

std::vector<std::string> Box::serviceCalls() const
{
    std::vector<std::string> calls;
    std::stringstream lines(readFile(root_ + "/service.calls"));
    for (std::string line; std::getline(lines, line);) {
        calls.push_back(line);
    }
    return calls;
}

std::string Box::confAt(const std::string& action) const
{
    return readFile(root_ + "/run/smsd.conf-at-" + action);
}

void Box::enter() const
{
    const auto join = [&](const char* kind, int type) {
        const std::string path = "/proc/" + std::to_string(holder_) + "/ns/" + kind;
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, type) != 0) {
            _exit(126);
        }
        close(fd);
    };
    if (own_user_namespace_) {
        join("user", CLONE_NEWUSER);
    }
    join("mnt", CLONE_NEWNS);
    (void)!chdir("/");
}

int Box::inside(const std::function<int()>& body) const
{
    return waitExit(startInside(body));
}

pid_t Box::startInside(const std::function<int()>& body) const
{
    const pid_t pid = forkOrThrow();
    if (pid == 0) {
        enter();
        _exit(body());
    }
    return pid;
}

std::optional<std::string> Box::readInside(const std::string& path) const
{
    const std::string copy = root_ + "/run/read-inside";
    const int status = inside([&] {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return 1;
        }
        std::ofstream(copy, std::ios::binary | std::ios::trunc) << in.rdbuf();
        return 0;
    });
    if (status != 0) {
        return std::nullopt;
    }
    std::string text = readFile(copy);
    unlink(copy.c_str());
    return text;
}

bool Box::writeInside(const std::string& path, const std::string& text) const
{
    return inside([&] {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        return out.flush() ? 0 : 1;
    }) == 0;
}

std::optional<mode_t> Box::modeInside(const std::string& path) const
{
    const std::string copy = root_ + "/run/mode-inside";
    const int status = inside([&] {
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) {
            return 1;
        }
        writeFile(copy, std::to_string(info.st_mode & 07777));
        return 0;
    });
    if (status != 0) {
        return std::nullopt;
    }
    const mode_t mode = static_cast<mode_t>(std::stoi(readFile(copy)));
    unlink(copy.c_str());
    return mode;
}

bool Box::makeReadOnly(const std::string& path) const
{
    return inside([&] {
        const bool bound = mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0;
        return bound && mount(nullptr, path.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0 ? 0 : 1;
    }) == 0;
}

pid_t Box::spawn(const std::vector<std::string>& command, const SpawnOptions& options) const
{
    const pid_t pid = forkOrThrow();
    if (pid != 0) {
        return pid;
    }
    enter();
    if (chdir(options.cwd.c_str()) != 0) {
        _exit(124);
    }
    const auto redirect = [](const std::string& path, int target, int flags) {
        const int fd = open(path.empty() ? "/dev/null" : path.c_str(), flags | O_CLOEXEC, 0644);
        if (fd < 0 || dup2(fd, target) < 0) {
            _exit(125);
        }
    };
    redirect("", STDIN_FILENO, O_RDONLY);
    redirect(options.stdout_path, STDOUT_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
    redirect(options.stderr_path, STDERR_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
    std::vector<std::string> words = options.prefix;
    words.insert(words.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Runs the program's fixed shell commands to completion, one at a time.
#include "common/shell.hpp"

#include "common/unique_fd.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Our own spawn rather than system()/popen(): those ignore SIGINT in the caller while the
// command runs, which would lose a stop request made during a service restart. The child
// gets default dispositions, because an ignored SIGCHLD (daemon mode) or SIGPIPE would
// otherwise pass through exec into the service scripts.
bool spawnShell(const char* command, const posix_spawn_file_actions_t* actions, char* const envp[], pid_t& pid)
{
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) {
        return false;
    }
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGHUP, SIGCHLD, SIGPIPE}) {
        sigaddset(&defaults, sig);
    }
    sigset_t unblocked;
    sigemptyset(&unblocked);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &unblocked);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    char sh[] = "sh";
    char dash_c[] = "-c";
    char* const argv[] = {sh, dash_c, const_cast<char*>(command), nullptr};
    const int rc = posix_spawn(&pid, "/bin/sh", actions, &attr, argv, envp);
    posix_spawnattr_destroy(&attr);
    return rc == 0;
}

void waitForChild(pid_t pid)
{
    int status = 0;
    // ECHILD is the normal end in daemon mode: with SIGCHLD ignored the kernel reaps the
    // child itself, and waitpid returns only after the child has ended.
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Our environment with LC_ALL=C, so that a pattern's "." is one byte whatever locale the box
// runs in: the device names that could be miscounted are then exactly known.
std::vector<char*> byteLocaleEnvironment()
{
    static char c_locale[] = "LC_ALL=C";
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "LC_ALL=", 7) != 0) {
            envp.push_back(*entry);
        }
    }
    envp.push_back(c_locale);
    envp.push_back(nullptr);
    return envp;
}

} // namespace

bool runShellCommand(const char* command)
{
    pid_t pid = 0;
    if (!spawnShell(command, nullptr, environ, pid)) {
        return false;
    }
    waitForChild(pid);
    return true;
}

std::optional<int> countCommandOutputLines(const char* command)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    unique_fd read_end(ends[0]);
    unique_fd write_end(ends[1]);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return std::nullopt;
    }
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
    pid_t pid = 0;
    const bool started = spawnShell(command, &actions, byteLocaleEnvironment().data(), pid);
    posix_spawn_file_actions_destroy(&actions);
    write_end.reset();
    if (!started) {
        return std::nullopt;
    }

    int lines = 0;
    char last = '\n';
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(read_end.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n') {
                ++lines;
            }
        }
        last = buffer[got - 1];
    }
    if (last != '\n') {
        ++lines;
    }
    read_end.reset();
    waitForChild(pid);
    return lines;
}

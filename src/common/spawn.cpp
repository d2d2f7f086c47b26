// Starting a program and waiting for it to end, within a bound where the caller sets one.
#include "common/spawn.hpp"

#include "common/unique_fd.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

pid_t spawnProgram(const std::vector<std::string>& argv, const SpawnSettings& settings)
{
    std::vector<char*> words(argv.size() + 1, nullptr);
    std::transform(argv.begin(), argv.end(), words.begin(),
                   [](const std::string& word) { return const_cast<char*>(word.c_str()); });

    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) {
        return -1;
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

    posix_spawn_file_actions_t actions;
    const bool redirected = settings.stdout_fd >= 0 && posix_spawn_file_actions_init(&actions) == 0;
    if (redirected) {
        posix_spawn_file_actions_adddup2(&actions, settings.stdout_fd, STDOUT_FILENO);
    }
    pid_t pid = -1;
    const int error = posix_spawn(&pid, words[0], redirected ? &actions : nullptr, &attr, words.data(),
                                  settings.envp != nullptr ? settings.envp : environ);
    if (redirected) {
        posix_spawn_file_actions_destroy(&actions);
    }
    posix_spawnattr_destroy(&attr);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return pid;
}

int waitProgram(pid_t pid, int timeout_ms)
{
    if (pid <= 0) {
        return -1;
    }
    int status = 0;
    if (timeout_ms > 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        pid_t ended;
        while ((ended = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (ended == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (ended < 0) {
            return -1;
        }
        kill(pid, SIGKILL);
    }
    pid_t ended;
    while ((ended = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (ended != pid || timeout_ms > 0) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ChildStatusesKept::ChildStatusesKept()
{
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(SIGCHLD, &standard, &saved_);
}

ChildStatusesKept::~ChildStatusesKept()
{
    sigaction(SIGCHLD, &saved_, nullptr);
}

int runProgram(const std::vector<std::string>& argv, int timeout_ms)
{
    return waitProgram(spawnProgram(argv), timeout_ms);
}

int runProgramOutput(const std::vector<std::string>& argv, int timeout_ms, std::string& output)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return -1;
    }
    unique_fd read_end(ends[0]);
    unique_fd write_end(ends[1]);
    // Read once the program has ended: nothing left to wait for.
    if (fcntl(read_end.get(), F_SETFL, O_NONBLOCK) != 0) {
        return -1;
    }
    SpawnSettings settings;
    settings.stdout_fd = write_end.get();
    const pid_t pid = spawnProgram(argv, settings);
    write_end.reset();
    const int status = waitProgram(pid, timeout_ms);
    char buffer[4096];
    ssize_t got;
    while ((got = read(read_end.get(), buffer, sizeof buffer)) > 0) {
        output.append(buffer, static_cast<size_t>(got));
    }
    return status;
}

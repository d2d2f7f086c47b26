// Runs the program's fixed shell commands to completion, one at a time.
#include "common/shell.hpp"

#include "common/spawn.hpp"
#include "common/unique_fd.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// Through our own spawn rather than system()/popen(): those ignore SIGINT in the caller while
// the command runs, which would lose a stop request made during a service restart.
std::vector<std::string> shellWords(const char* command)
{
    return {"/bin/sh", "-c", command};
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
    const pid_t pid = spawnProgram(shellWords(command));
    if (pid < 0) {
        return false;
    }
    // Its status is of no interest, and it runs as long as it takes.
    static_cast<void>(waitProgram(pid));
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
    const std::vector<char*> envp = byteLocaleEnvironment();
    SpawnSettings settings;
    settings.envp = envp.data();
    settings.stdout_fd = write_end.get();
    const pid_t pid = spawnProgram(shellWords(command), settings);
    write_end.reset();
    if (pid < 0) {
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
    static_cast<void>(waitProgram(pid));
    return lines;
}

// Starting a program and waiting for it to end, within a bound where the caller sets one.
#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

struct SpawnSettings {
    char* const* envp = nullptr;  // null: our own environment
    int stdout_fd = -1;           // the child's standard output; -1: ours
};

// Starts `argv` (argv[0] a full path, no PATH search) with default signal dispositions and an
// empty signal mask: an ignored SIGCHLD (daemon mode) or SIGPIPE, or a blocked SIGINT, would
// otherwise pass through exec into the program. The pid, or -1 with errno.
pid_t spawnProgram(const std::vector<std::string>& argv, const SpawnSettings& settings = {});

// Waits for `pid` to end and gives its exit status; -1 when a signal ended it or it cannot be
// waited for (with SIGCHLD ignored the kernel reaps it, and the wait returns once it has ended).
// With `timeout_ms` above 0, a program still running then is killed and -1 given.
int waitProgram(pid_t pid, int timeout_ms = 0);

// While one lives, the exit statuses of children can be waited for even in daemon mode, where
// SIGCHLD is ignored and the kernel reaps them unseen: for the few programs whose outcome
// matters. Only a program run to completion while it lives may end in that time.
class ChildStatusesKept {
public:
    ChildStatusesKept();
    ~ChildStatusesKept();
    ChildStatusesKept(const ChildStatusesKept&) = delete;
    ChildStatusesKept& operator=(const ChildStatusesKept&) = delete;

private:
    struct sigaction saved_ {};
};

// spawnProgram, then waitProgram: -1 also when it could not be started.
int runProgram(const std::vector<std::string>& argv, int timeout_ms);

// runProgram for a program that says little: its standard output, as much as a pipe holds
// (64 KiB; a program that says more is stopped by the bound), in `output`.
int runProgramOutput(const std::vector<std::string>& argv, int timeout_ms, std::string& output);

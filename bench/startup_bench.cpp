// Prints the daemon's start-up time and its close() calls at the default and the highest
// descriptor limit this machine allows.
#include "sandbox/daemon_run.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The highest descriptor limit a process may set here: fs.nr_open when the hard limit can be
// raised (CAP_SYS_RESOURCE), the current hard limit otherwise.
rlim_t highestLimit()
{
    rlim_t nr_open = std::stoul(readFile("/proc/sys/fs/nr_open"));
    const pid_t pid = fork();
    if (pid == 0) {
        rlimit wanted{nr_open, nr_open};
        _exit(setrlimit(RLIMIT_NOFILE, &wanted) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return nr_open;
    }
    rlimit current {};
    getrlimit(RLIMIT_NOFILE, &current);
    return current.rlim_max;
}

std::vector<std::string> withLimit(rlim_t limit, std::vector<std::string> command)
{
    const std::string value = std::to_string(limit);
    command.insert(command.begin(), {"prlimit", "--nofile=" + value + ":" + value});
    return command;
}

// Milliseconds from starting the launcher to the daemon's pid file, the last start-up step.
double startupMs(rlim_t limit)
{
    Box box;
    const std::string pid_path = box.root() + "/run/x.pid";
    const auto start = std::chrono::steady_clock::now();
    const pid_t launcher = box.spawn(withLimit(limit, daemonCommand({"-d", "-p", pid_path, "-l", box.root() + "/run/x.log"})));
    waitUntil([&] { const std::string text = readFile(pid_path); return !text.empty() && text.back() == '\n'; }, 60000);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    waitExit(launcher);
    return ms;
}

// The close() and close_range() calls of the daemon's start-up, counted by strace up to the
// writing of the pid file (the dynamic loader's few closes included).
std::pair<int, int> closeCalls(rlim_t limit)
{
    Box box;
    const std::string trace = box.root() + "/run/trace";
    const std::string pid_path = box.root() + "/run/x.pid";
    std::vector<std::string> command = daemonCommand({"-d", "-p", pid_path, "-l", box.root() + "/run/x.log"});
    command.insert(command.begin(), {"strace", "-f", "-qq", "-e", "trace=close,close_range,pwrite64", "-o", trace});
    box.spawn(withLimit(limit, command));
    waitUntil([&] { return readFile(trace).find(" pwrite64(") != std::string::npos; }, 120000);
    int closes = 0;
    int ranges = 0;
    std::stringstream lines(readFile(trace));
    for (std::string line; std::getline(lines, line) && line.find(" pwrite64(") == std::string::npos;) {
        closes += line.find(" close(") != std::string::npos;
        ranges += line.find(" close_range(") != std::string::npos;
    }
    return {closes, ranges};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 15;
    rlimit current {};
    getrlimit(RLIMIT_NOFILE, &current);
    const rlim_t limits[] = {current.rlim_cur, highestLimit()};
    std::printf("%-22s %14s %10s %14s\n", "descriptor limit", "start-up (ms)", "close()", "close_range()");
    double figures[2] = {};
    for (int i = 0; i < 2; ++i) {
        std::vector<double> times;
        for (int run = 0; run < runs; ++run) {
            times.push_back(startupMs(limits[i]));
        }
        figures[i] = median(times);
        const auto [closes, ranges] = closeCalls(limits[i]);
        std::printf("%-22lu %14.2f %10d %14d\n", static_cast<unsigned long>(limits[i]), figures[i], closes, ranges);
    }
    std::printf("start-up difference: %.2f ms (target: within 50 ms); median of %d runs, "
                "from launch to the pid file\n", figures[1] - figures[0], runs);
    return 0;
}

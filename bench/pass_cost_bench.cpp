// Prints the CPU cost of a quiet supervision pass beside that of the counting pipeline alone,
// and the daemon's peak resident memory; then the same with 100,000 messages queued.
#include "sandbox/daemon_run.hpp"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// utime + stime (+ cutime + cstime with `children`) of a process, in seconds.
double cpuSeconds(pid_t pid, bool children = true)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field && index <= (children ? 17 : 15); ++index) {
        if (index >= 14) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double timevalSeconds(const timeval& tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    const int passes = argc > 1 ? std::atoi(argv[1]) : 300;
    Box box;
    box.plug("gsmmodem1");
    box.plug("gsmmodem2");
    box.writeStatus("GSM1: Receiving,\nGSM2: Receiving,\n");
    Daemon daemon(box);
    daemon.pass();  // the first pass restarted smstools; from here on every pass is quiet

    const double before = cpuSeconds(daemon.pid());
    const double own_before = cpuSeconds(daemon.pid(), false);
    for (int i = 0; i < passes; ++i) {
        if (!daemon.pass()) {
            std::cerr << "pass " << i << " did not finish\n";
            return 1;
        }
    }
    const double pass_cost = (cpuSeconds(daemon.pid()) - before) / passes;
    const double own_cost = (cpuSeconds(daemon.pid(), false) - own_before) / passes;
    const long peak_kb = procKb(daemon.pid(), "VmHWM:");
    const long resident_kb = procKb(daemon.pid(), "VmRSS:");

    // A spool a box could hold after days without a network: the queue is counted up to its bound.
    const std::string outgoing = box.hostPath("/var/spool/sms/outgoing");
    mkdir(outgoing.c_str(), 0755);
    constexpr int kQueued = 100000;
    for (int i = 0; i < kQueued; ++i) {
        const int fd = open((outgoing + "/message" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
        close(fd);
    }
    const int queued_passes = std::max(1, passes / 3);
    const double queued_before = cpuSeconds(daemon.pid());
    for (int i = 0; i < queued_passes; ++i) {
        daemon.pass();
    }
    const double queued_cost = (cpuSeconds(daemon.pid()) - queued_before) / queued_passes;
    const long queued_resident_kb = procKb(daemon.pid(), "VmRSS:");
    const long queued_peak_kb = procKb(daemon.pid(), "VmHWM:");
    const size_t restarts = box.serviceCalls().size() / 2;
    daemon.stop();

    // The same pipeline, run the same number of times in the same box by a bare loop that
    // reads its output as the daemon does (grep does less when it writes to /dev/null), in
    // the C locale the daemon gives it.
    const std::string result = box.root() + "/run/pipeline-cpu";
    box.inside([&] {
        for (int i = 0; i < passes; ++i) {
            int ends[2];
            if (pipe(ends) != 0) {
                return 1;
            }
            const pid_t pid = fork();
            if (pid == 0) {
                dup2(ends[1], STDOUT_FILENO);
                close(ends[0]);
                close(ends[1]);
                setenv("LC_ALL", "C", 1);
                execl("/bin/sh", "sh", "-c", "cat /etc/smsd.conf|grep GSM..=", nullptr);
                _exit(127);
            }
            close(ends[1]);
            char buffer[4096];
            while (read(ends[0], buffer, sizeof buffer) > 0) {
            }
            close(ends[0]);
            waitpid(pid, nullptr, 0);
        }
        rusage usage {};
        getrusage(RUSAGE_CHILDREN, &usage);
        writeFile(result, std::to_string(timevalSeconds(usage.ru_utime) + timevalSeconds(usage.ru_stime)));
        return 0;
    });
    const double pipeline_cost = std::stod(readFile(result)) / passes;

    std::printf("quiet passes:               %d (smstools restarted during them: %zu times, expected 0)\n",
                passes, restarts - 1);
    std::printf("CPU per quiet pass:         %.3f ms (user + system, children included)\n", pass_cost * 1e3);
    std::printf("  of which the daemon's own: %.3f ms (measuring, publishing, logging)\n", own_cost * 1e3);
    std::printf("CPU per pipeline run alone: %.3f ms\n", pipeline_cost * 1e3);
    std::printf("ratio pass / pipeline:      %.2f (target <= 1.15)\n", pass_cost / pipeline_cost);
    std::printf("daemon's peak resident memory: %ld kB (resident after the passes: %ld kB)\n", peak_kb, resident_kb);
    std::printf("with %d messages queued: %d passes, CPU per pass %.3f ms; resident %ld kB, peak %ld kB\n", kQueued,
                queued_passes, queued_cost * 1e3, queued_resident_kb, queued_peak_kb);
    return 0;
}

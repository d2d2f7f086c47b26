// `modemwatchctl wake` as udev runs it, on a box without systemd: a burst of calls is one
// wake-up shortly after its last call, and a call with no daemon to wake says so at once.
#include "sandbox/daemon_run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long reloads(const Daemon& daemon)
{
    const std::vector<std::string> lines = daemon.lines();
    return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return textOf(line) == "Debug: reloading daemon config file ...";
    });
}

} // namespace

TEST(Wake, ABurstOfCallsIsOneWakeUpShortlyAfterItsLastCall)
{
    Box box;
    box.plug("gsmmodem1");
    DaemonOptions options;
    options.daemon_mode = true;
    Daemon daemon(box, options);
    const std::string err = box.root() + "/run/wake.err";
    for (long burst = 1; burst <= 2; ++burst) {
        Clock::time_point last;
        for (int call = 0; call < 4; ++call) {
            last = Clock::now();
            EXPECT_EQ(waitExit(box.spawn({MODEMWATCHCTL_BINARY, "--pid-file", daemon.pidPath(), "wake"}, {{}, {}, err})),
                      0) << readFile(err);
            EXPECT_LT(secondsSince(last), 0.5) << "a RUN program must return at once";
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        ASSERT_TRUE(waitUntil([&] { return reloads(daemon) >= burst; }, 5000)) << "burst " << burst;
        const double after_last = secondsSince(last);
        EXPECT_GT(after_last, 0.6) << "the burst is waited out";
        EXPECT_LT(after_last, 2.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_EQ(reloads(daemon), burst) << "one wake-up per burst";
    }
    EXPECT_EQ(daemon.heartbeats(), 3);
}

TEST(Wake, WithNoDaemonToWakeItSaysSoAtOnce)
{
    Box box;
    const std::string err = box.root() + "/run/wake.err";
    const std::string pid_file = box.root() + "/run/left-behind.pid";
    const auto wake = [&] {
        return waitExit(box.spawn({MODEMWATCHCTL_BINARY, "--pid-file", pid_file, "wake"}, {{}, {}, err}), 2000);
    };
    EXPECT_EQ(wake(), 1);
    EXPECT_EQ(readFile(err), "modemwatchctl: no modemwatchd to wake: nothing holds " + pid_file + "\n");
    writeFile(pid_file, std::to_string(getpid()) + "\n");  // a live pid, but no lock held
    EXPECT_EQ(wake(), 1);
    EXPECT_FALSE(fileExists(box.hostPath("/run/modemwatchd/wake"))) << "nothing is asked for";
}

TEST(Wake, ALockHeldOnTheStampDelaysNoWakeUp)
{
    Box box;
    box.plug("gsmmodem1");
    DaemonOptions options;
    options.daemon_mode = true;
    Daemon daemon(box, options);
    // A stamp as an older version left it, readable by all, opened and locked by someone who
    // does not let go.
    const std::string stamp = box.hostPath("/run/modemwatchd/wake");
    writeFile(stamp, "1\n");
    chmod(stamp.c_str(), 0644);
    const pid_t holder = box.spawn({"flock", "--exclusive", "/run/modemwatchd/wake", "sleep", "100"});
    ASSERT_TRUE(waitUntil([&] {
        const int fd = open(stamp.c_str(), O_RDONLY | O_CLOEXEC);
        const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
        close(fd);
        return held;
    }, 5000));
    const std::string err = box.root() + "/run/wake.err";
    for (int call = 0; call < 2; ++call) {
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(waitExit(box.spawn({MODEMWATCHCTL_BINARY, "--pid-file", daemon.pidPath(), "wake"}, {{}, {}, err}), 3000),
                  0) << readFile(err);
        EXPECT_LT(secondsSince(start), 0.5) << "a RUN program must return at once";
    }
    EXPECT_TRUE(waitUntil([&] { return reloads(daemon) == 1; }, 5000)) << "one wake-up for the two calls";
    EXPECT_EQ(modeOf(stamp), 0600U) << "the stamp is root's alone";
    kill(holder, SIGKILL);
    waitExit(holder, 5000);
}

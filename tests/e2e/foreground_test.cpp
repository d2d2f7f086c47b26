// A foreground run: its activity log, its syslog messages, and how it answers SIGINT and SIGHUP.
#include "sandbox/daemon_run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

namespace {

const char kStopping[] = "Debug: stopping daemon ...";
const char kReloading[] = "Debug: reloading daemon config file ...";

std::vector<std::string> texts(const Daemon& daemon)
{
    std::vector<std::string> all;
    for (const std::string& line : daemon.lines()) {
        all.push_back(isHeartbeat(line) ? "<heartbeat>" : textOf(line));
    }
    return all;
}

} // namespace

TEST(Foreground, SigintStopsInOrderAndSyslogHearsStartAndStop)
{
    Box box;
    Daemon daemon(box);
    ASSERT_TRUE(daemon.idle());
    EXPECT_EQ(daemon.stop(), 0);

    const std::vector<std::string> log = texts(daemon);
    ASSERT_GE(log.size(), 3U);
    EXPECT_EQ(log.front(), "<heartbeat>");
    EXPECT_EQ(log[1], "Checking modemstatus");
    EXPECT_EQ(log.back(), kStopping);

    const std::vector<SyslogMessage>& messages = box.syslog().messages();
    ASSERT_EQ(messages.size(), 2U);
    EXPECT_EQ(messages[0].text, "Started " + daemonBinary());
    EXPECT_EQ(messages[1].text, "Stopped " + daemonBinary());
    for (const SyslogMessage& message : messages) {
        EXPECT_EQ(message.priority, 30);  // daemon.info
        EXPECT_EQ(message.ident, daemonBinary());
        EXPECT_EQ(message.pid, daemon.pid());
    }
}

TEST(Foreground, SighupWritesItsLineAndCutsTheSleepShort)
{
    Box box;
    Daemon daemon(box);
    // pass() gives up long before the 30 s sleep would end by itself.
    ASSERT_TRUE(daemon.pass());
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(daemon.stop(), 0);

    std::vector<std::string> log = texts(daemon);
    int reloads = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i] == kReloading) {
            ++reloads;
            ASSERT_LT(i + 1, log.size());
            EXPECT_EQ(log[i + 1], "<heartbeat>") << "the pass starts right after the line";
        }
    }
    EXPECT_EQ(reloads, 2);
    EXPECT_EQ(daemon.heartbeats(), 3);
}

TEST(Foreground, WithoutLogFileTheLinesGoToStandardOutput)
{
    Box box;
    DaemonOptions options;
    options.log_to_stdout = true;
    Daemon daemon(box, options);
    EXPECT_EQ(daemon.stop(), 0);
    EXPECT_EQ(texts(daemon).back(), kStopping);
    EXPECT_EQ(box.syslog().messages().size(), 2U) << "no message about the log";
}

TEST(Foreground, AnExistingLogIsAppendedTo)
{
    Box box;
    writeFile(box.root() + "/run/activity.log", "an earlier run\n");
    Daemon daemon(box);
    EXPECT_EQ(daemon.stop(), 0);
    const std::vector<std::string> lines = daemon.lines();
    EXPECT_EQ(lines.front(), "an earlier run");
    EXPECT_TRUE(isHeartbeat(lines[1]));
}

TEST(Foreground, ALogInAMissingDirectoryFallsBackToStandardOutput)
{
    Box box;
    const std::string missing = box.root() + "/no/such/dir/x.log";
    DaemonOptions options;
    options.log_to_stdout = true;
    options.extra_args = {"-l", missing};
    Daemon daemon(box, options);
    EXPECT_EQ(daemon.stop(), 0);
    EXPECT_EQ(texts(daemon).back(), kStopping);

    const SyslogMessage error = box.syslog().waitFor(
        "Can not open log file: " + missing + ", error: No such file or directory");
    EXPECT_EQ(error.priority, 27);  // daemon.err
}

TEST(Foreground, AFlushThatFailsIsReportedAndTheDaemonGoesOn)
{
    Box box;
    const std::string full = box.root() + "/full";  // the real /dev/full inside the box
    DaemonOptions options;
    options.extra_args = {"-l", full};
    options.wait_for_first_pass = false;
    Daemon daemon(box, options);
    const std::string text = "Can not fflush() log stream: " + full + ", error: No space left on device";
    EXPECT_EQ(box.syslog().waitFor(text).priority, 27);
    ASSERT_TRUE(waitUntil([&] { return daemon.idle(); }));
    kill(daemon.pid(), SIGHUP);
    EXPECT_TRUE(waitUntil([&] { return box.syslog().count(text) == 2 && daemon.idle(); }));
    EXPECT_EQ(daemon.stop(), 0);
}

TEST(Foreground, SighupsDuringAPassStartTheNextPassAsSoonAsItEnds)
{
    Box box;
    box.plug("gsmmodem1");
    box.slowService(1, true);
    DaemonOptions options;
    options.wait_for_first_pass = false;
    Daemon daemon(box, options);
    ASSERT_TRUE(waitUntil([&] { return !box.serviceCalls().empty(); }));
    kill(daemon.pid(), SIGHUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // two signals, not one pending twice
    kill(daemon.pid(), SIGHUP);
    // Well inside the 30 s sleep that would follow if the requests were lost.
    ASSERT_TRUE(waitUntil([&] { return daemon.heartbeats() >= 2 && daemon.idle(); }, 10000)) << daemon.lastLine();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(daemon.heartbeats(), 2) << "both signals answered by one pass";
    const std::vector<std::string> log = texts(daemon);
    EXPECT_EQ(std::count(log.begin(), log.end(), kReloading), 2) << "a line per signal";
    EXPECT_EQ(box.serviceCalls(), (std::vector<std::string>{"smstools stop", "smstools start"}));
    EXPECT_EQ(daemon.stop(), 0);
}

TEST(Foreground, APidFileIsNeitherCreatedNorRemoved)
{
    Box box;
    const std::string fresh = box.root() + "/run/fresh.pid";
    const std::string foreign = box.root() + "/run/foreign.pid";
    writeFile(foreign, "4242\n");
    for (const std::string& path : {fresh, foreign}) {
        DaemonOptions options;
        options.extra_args = {"-p", path};
        Daemon daemon(box, options);
        EXPECT_EQ(daemon.stop(), 0);
    }
    EXPECT_FALSE(fileExists(fresh));
    // A running daemon's pid file: removing it would let a second daemon start.
    EXPECT_EQ(readFile(foreign), "4242\n");
}

TEST(Foreground, ASigintDuringAServiceCommandStopsTheDaemonAfterThePass)
{
    Box box;
    box.slowService(1);
    DaemonOptions options;
    options.wait_for_first_pass = false;
    Daemon daemon(box, options);
    ASSERT_TRUE(waitUntil([&] { return !box.serviceCalls().empty(); }));
    kill(daemon.pid(), SIGINT);
    // Well inside the 30 s sleep that would follow if the stop request were lost.
    EXPECT_EQ(daemon.waitForExit(15000), 0);
    EXPECT_EQ(box.serviceCalls(), (std::vector<std::string>{"smstools stop", "smstools start"}));
    const std::vector<std::string> log = texts(daemon);
    EXPECT_EQ(log.back(), kStopping);
    EXPECT_EQ(daemon.heartbeats(), 1);
}

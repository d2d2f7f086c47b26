// Faults and bad input the daemon must survive: each test checks what the daemon does and that
// the pass after it runs normally.
#include "sandbox/daemon_run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <random>
#include <set>
#include <thread>

namespace {

bool contains(const std::vector<std::string>& lines, const std::string& wanted)
{
    return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

std::string quietTail(int configured, int receiving, int blocked)
{
    return "Modem count from smsd.conf is:  " + std::to_string(configured) + "|" +
           std::to_string(receiving) + "|" + std::to_string(blocked);
}

// The quiet-pass lines, folded into one comparable text.
std::string quietPass(const std::vector<std::string>& lines)
{
    if (lines.size() != 5) {
        return "not a quiet pass: " + std::to_string(lines.size()) + " lines";
    }
    return lines[1] + "|" + lines[3].substr(lines[3].rfind(' ') + 1) + "|" + lines[4].substr(lines[4].rfind(' ') + 1);
}

} // namespace

TEST(Faults, AHundredMegabyteStatusLineIsReadInConstantMemory)
{
    Box box;
    box.plug("gsmmodem1");
    box.writeStatus("GSM1: Receiving,\n");
    Daemon daemon(box);
    const long before = procKb(daemon.pid(), "VmHWM:");
    {
        std::ofstream status(box.hostPath("/var/spool/sms/stats/status"), std::ios::binary | std::ios::trunc);
        const std::string chunk(1 << 20, 'x');
        for (int mb = 0; mb < 100; ++mb) {
            status << chunk;
        }
        status << "GSM1: Blocked,";
    }
    ASSERT_TRUE(daemon.pass());
    // Only the first MiB is read, far more than smsd ever writes, so the pass ends at once
    // whatever size smsd's user gives the file; the blocked port beyond it is not seen.
    EXPECT_EQ(quietPass(daemon.passLines(2)), quietTail(1, 0, 0));
    EXPECT_EQ(box.syslog().waitFor("/var/spool/sms/stats/status is longer than 1048576 bytes: only its start is read")
                  .priority, 28);  // daemon.warning
    EXPECT_LT(procKb(daemon.pid(), "VmHWM:") - before, 4096) << "the line was read into memory";
    box.writeStatus("GSM1: Blocked,\n");
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(textOf(daemon.lines().back()), "Starting smstools...") << "one blocked port: a restart";
}

TEST(Faults, GarbageAndNulBytesInTheStatusFileAndTheConfigurationAreSurvived)
{
    Box box;
    box.plug("gsmmodem1");
    box.plug("gsmmodem2");
    std::mt19937 random(20261207);
    std::string garbage(65536, '\0');
    for (char& c : garbage) {
        c = static_cast<char>(random());
        if (c == 'G') {
            c = 'g';  // no port line but the ones put in on purpose
        }
    }
    using namespace std::string_literals;
    box.writeStatus(garbage.substr(0, 30000) + "\nGSM1: Receiving,\0\n"s + garbage.substr(30000) + "\nGSM2:\0Blocked,\n\0\0"s);
    ASSERT_TRUE(box.writeInside("/etc/smsd.conf", garbage + "\nGSM1 = x\n" + garbage));
    Daemon daemon(box);
    const std::vector<std::string> first = daemon.passLines(1);
    EXPECT_EQ(first.size(), 8U);
    EXPECT_EQ(first.at(3), "Modem count from /var/spool/sms/stats/status is: 1");
    EXPECT_EQ(first.at(4), "Blocked modem count from /var/spool/sms/stats/status is: 1");
    EXPECT_EQ(first.back(), "Starting smstools...") << "the first pass writes a clean configuration";
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(quietPass(daemon.passLines(2)), quietTail(2, 1, 1));
}

TEST(Faults, AThousandModemEntriesFillThirtyPorts)
{
    Box box;
    for (int i = 1; i <= 1000; ++i) {
        box.plug("gsmmodem" + std::to_string(i));
    }
    Daemon daemon(box);
    const std::string conf = box.readInside("/etc/smsd.conf").value_or("");
    EXPECT_NE(conf.find("devices= GSM* 1-30\n"), std::string::npos);
    EXPECT_NE(conf.find("\nGSM30 = 0,1,2,3,4,5,6,7,8,9,s\n"), std::string::npos);
    EXPECT_EQ(conf.find("GSM31"), std::string::npos);
    EXPECT_TRUE(fileExists(box.hostPath("/mnt/flash/spool/GSM30")));
    EXPECT_FALSE(fileExists(box.hostPath("/mnt/flash/spool/GSM31")));
    EXPECT_TRUE(contains(daemon.passLines(1), "More than 30 gsmmodem entries in /dev: only the first 30 are served"));
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(box.serviceCalls().size(), 2U) << "30 configured, 30 served: the next pass is quiet";
}

TEST(Faults, ABurstOfAThousandSighupsTearsNoLineAndSigintStillStops)
{
    Box box;
    box.plug("gsmmodem1");
    Daemon daemon(box);
    for (int i = 0; i < 1000; ++i) {
        kill(daemon.pid(), SIGHUP);
    }
    // Asleep, and still asleep a moment later with no pass in between: every signal is handled.
    const auto settled = [&] {
        const int heartbeats = daemon.heartbeats();
        if (!daemon.idle()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return daemon.idle() && daemon.heartbeats() == heartbeats;
    };
    ASSERT_TRUE(waitUntil(settled, 60000));
    EXPECT_EQ(daemon.stop(), 0);

    const std::set<std::string> known = {
        "Checking modemstatus", "Modem count from smsd.conf is:  1", "/var/spool/sms/stats/status does not exist",
        "Writing /mnt/ModemCount", "Modem count from /var/spool/sms/stats/status is: 1",
        "Modem count from /var/spool/sms/stats/status is: -1",
        "Blocked modem count from /var/spool/sms/stats/status is: 0", "Stopping smstools...", "Writing /etc/smsd.conf",
        "Starting smstools...", "Debug: reloading daemon config file ...", "Debug: stopping daemon ..."};
    int reloads = 0;
    for (const std::string& line : daemon.lines()) {
        if (!isHeartbeat(line)) {
            EXPECT_EQ(known.count(textOf(line)), 1U) << "torn or unknown line: " << line;
            reloads += textOf(line) == "Debug: reloading daemon config file ...";
        }
    }
    EXPECT_GE(reloads, 1);
    EXPECT_LE(reloads, 1000);
    EXPECT_EQ(textOf(daemon.lines().back()), "Debug: stopping daemon ...");
    EXPECT_EQ(box.serviceCalls().size(), 2U);
}

TEST(Faults, AServiceCommandThatHangsForAMinuteHoldsThePassAndNothingElse)
{
    Box box;
    box.plug("gsmmodem1");
    box.slowService(60, true);
    DaemonOptions options;
    options.wait_for_first_pass = false;
    Daemon daemon(box, options);
    ASSERT_TRUE(waitUntil([&] { return !box.serviceCalls().empty(); }));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    kill(daemon.pid(), SIGHUP);
    EXPECT_EQ(kill(daemon.pid(), 0), 0) << "alive while the service command hangs";
    EXPECT_FALSE(daemon.idle());
    EXPECT_EQ(box.serviceCalls(), std::vector<std::string>{"smstools stop"}) << "the pass waits for the command";
    EXPECT_EQ(box.readInside("/etc/smsd.conf"), std::nullopt) << "smsd.conf is not written while smsd may run";

    // The SIGHUP that came during the pass starts the next one as soon as the pass ends.
    ASSERT_TRUE(waitUntil([&] { return daemon.heartbeats() >= 2 && daemon.idle(); }, 90000));
    EXPECT_EQ(box.serviceCalls(), (std::vector<std::string>{"smstools stop", "smstools start"}));
    EXPECT_EQ(textOf(daemon.lines()[daemon.passLines(1).size() + 1]), "Debug: reloading daemon config file ...");
    EXPECT_EQ(daemon.passLines(2).size(), 6U) << "a quiet pass follows";
    EXPECT_EQ(daemon.stop(), 0);
}

// What the operator is shown is what the box does: a dead smsd is seen and brought back, ports are
// named by the configuration smsd runs on, smsd's words count only once it has said them, and
// smsd's user cannot make the daemon read what it must not, or read for ever.
#include "e2e/box_helpers.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string portLabels(const std::map<std::string, std::string>& found)
{
    std::string ports;
    for (const auto& [series, value] : found) {
        if (series.rfind("modemwatchd_port_state{", 0) == 0) {
            ports += series.substr(23, series.size() - 24) + "\n";
        }
    }
    return ports;
}

const char kThreeReceiving[] = "GSM1:\t1,\tReceiving,\t0\nGSM2:\t1,\tReceiving,\t0\nGSM3:\t1,\tReceiving,\t0\n";

} // namespace

TEST(TellsTheTruth, ADeadSmsdIsCriticalAndRestartedLessOftenWhileItStaysDead)
{
    Box box;
    box.plug("gsmmodem1");
    Daemon daemon(box);
    writeFile(box.root() + "/smsd.fails", "");  // from now on smsd does not come up
    killSmsd(box);
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(daemon.passLines(2), (std::vector<std::string>{
                                       "Checking modemstatus", "Modem count from smsd.conf is:  1",
                                       "/var/spool/sms/stats/status does not exist", "Writing /mnt/ModemCount",
                                       "Modem count from /var/spool/sms/stats/status is: 1",
                                       "Blocked modem count from /var/spool/sms/stats/status is: 0",
                                       "Stopping smstools...", "Writing /etc/smsd.conf", "Starting smstools..."}))
        << "the usual restart, and no count changed";
    EXPECT_EQ(box.syslog().waitFor("smsd is not running: restarting smstools").priority, 28);
    std::map<std::string, std::string> found = samples(box);
    EXPECT_EQ(found["modemwatchd_smsd_running"], "0");
    EXPECT_EQ(found["modemwatchd_smsd_restarts_total{cause=\"smsd_not_running\"}"], "1");
    int status = 0;
    EXPECT_EQ(check(box, status).rfind("MODEMWATCHD CRITICAL - smsd not running;", 0), 0U);
    EXPECT_EQ(status, 2);

    // Seven passes more: restarts after 1, 2 and 4 of them, not at each.
    for (int pass = 0; pass < 7; ++pass) {
        ASSERT_TRUE(daemon.pass());
    }
    EXPECT_EQ(samples(box)["modemwatchd_smsd_restarts_total{cause=\"smsd_not_running\"}"], "4");
    unlink((box.root() + "/smsd.fails").c_str());
    for (int pass = 0; pass < 8 && samples(box)["modemwatchd_smsd_running"] != "1"; ++pass) {
        ASSERT_TRUE(daemon.pass());
    }
    found = samples(box);
    EXPECT_EQ(found["modemwatchd_smsd_running"], "1") << "back after the next try";
    EXPECT_EQ(found["modemwatchd_smsd_restarts_total{cause=\"smsd_not_running\"}"], "5");
    EXPECT_EQ(box.serviceCalls().size(), 12U) << "first pass and five tries, a stop and a start each";
}

TEST(TellsTheTruth, PortsAreNamedByTheConfigurationSmsdRunsOn)
{
    Box box;
    box.plug("gsmmodem-a");
    Daemon daemon(box);
    box.unplug("gsmmodem-a");
    box.plug("gsmmodem-c");  // replugged between passes: the same count, no restart
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(box.serviceCalls().size(), 2U);
    EXPECT_EQ(portLabels(samples(box)), "port=\"GSM1\",device=\"gsmmodem-a\",target=\"\",state=\"unknown\"\n");
}

TEST(TellsTheTruth, SmsdsWordsCountOnlyOnceTheRunningSmsdHasSaidThem)
{
    Box box;
    box.writeStatus("Status:\t1,\n");
    box.statusOnStart(kThreeReceiving);
    Daemon daemon(box);
    for (const char* name : {"gsmmodem1", "gsmmodem2", "gsmmodem3"}) {
        box.plug(name);
    }
    ASSERT_TRUE(daemon.pass());  // restarts smsd for three modems
    int status = 0;
    const std::string restarted = check(box, status);
    EXPECT_EQ(status, 0) << restarted;
    EXPECT_EQ(restarted.rfind("MODEMWATCHD OK - 3 modems, ? receiving, ? blocked,", 0), 0U) << restarted;
    ASSERT_TRUE(daemon.pass());
    const std::string reported = check(box, status);
    EXPECT_EQ(reported.rfind("MODEMWATCHD OK - 3 modems, 3 receiving, 0 blocked,", 0), 0U) << reported;

    // A status file older than the running smsd is a dead smsd's: nobody's word on the ports.
    const std::string path = box.hostPath("/var/spool/sms/stats/status");
    const struct timespec long_ago[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), long_ago, 0), 0);
    ASSERT_TRUE(daemon.pass());
    const std::map<std::string, std::string> found = samples(box);
    EXPECT_EQ(found.count("modemwatchd_ports_receiving"), 0U);
    EXPECT_EQ(portLabels(found).find("Receiving"), std::string::npos) << portLabels(found);
    EXPECT_EQ(readFile(box.hostPath("/mnt/ModemCount")), "3") << "what the box's scripts read stays as it was";

    struct timespec boot {};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    EXPECT_NEAR(std::stod(found.at("modemwatchd_last_pass_end_boottime_seconds")), static_cast<double>(boot.tv_sec), 5)
        << "ages are published on the clock no step moves";
}

TEST(HostileBox, AStatusFileLinkedElsewhereIsNotReadAndAHugeOneNotToTheEnd)
{
    Box box;
    box.plug("gsmmodem1");
    Daemon daemon(box);
    const std::string stats = box.hostPath("/var/spool/sms/stats");
    const std::string status = stats + "/status";

    // A link to a file only root may read: not followed, so nothing of it is published.
    const std::string secret = box.root() + "/run/secret";
    writeFile(secret, "GSM1:\t1,\tSECRET,\t0\n");
    chmod(secret.c_str(), 0600);
    ASSERT_EQ(symlink(secret.c_str(), status.c_str()), 0);
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(daemon.passLines(2).size(), 2U) << "a status file that cannot be read: no count lines";
    EXPECT_EQ(readFile(box.hostPath("/run/modemwatchd/modemwatchd.prom")).find("SECRET"), std::string::npos);
    unlink(status.c_str());

    // A linked stats directory, as for a RAM disk, is read as before.
    const std::string ram = box.root() + "/spool/ramdisk";
    mkdir(ram.c_str(), 0755);
    writeFile(ram + "/status", "GSM1:\t1,\tReceiving,\t0\n");
    rmdir(stats.c_str());
    ASSERT_EQ(symlink("ramdisk", stats.c_str()), 0);
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(daemon.passLines(3).back(), "Blocked modem count from /var/spool/sms/stats/status is: 0");
    EXPECT_EQ(readFile(box.hostPath("/mnt/ModemCount")), "1");

    // 15 TB of holes: read only so far, and the pass ends at once.
    ASSERT_EQ(truncate((ram + "/status").c_str(), 15LL << 40), 0);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(daemon.pass());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(box.syslog().waitFor("/var/spool/sms/stats/status is longer than 1048576 bytes: only its start is read")
                  .priority, 28);
    EXPECT_EQ(daemon.stop(), 0);
}

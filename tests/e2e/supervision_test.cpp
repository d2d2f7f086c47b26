// The supervision pass as the box sees it: when smstools is restarted, with what
// configuration, and what is published on the way.
#include "sandbox/daemon_run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <sys/stat.h>

namespace {

const char kQuietTail[] = "Writing /mnt/ModemCount";
const std::vector<std::string> kRestart = {"Stopping smstools...", "Writing /etc/smsd.conf", "Starting smstools..."};

// smsd's status file: one line per port in the given states.
std::string status(const std::vector<std::string>& states)
{
    std::string text = "Status:\t12-07 06:37:09,\t3\n";
    for (size_t i = 0; i < states.size(); ++i) {
        text += "GSM" + std::to_string(i + 1) + ":\t12-07 06:37:09,\t" + states[i] + ",\t0,\t0,\t0\n";
    }
    return text;
}

std::vector<std::string> probeLines(const std::string& configured, int receiving, int blocked)
{
    std::vector<std::string> lines = {"Checking modemstatus"};
    if (!configured.empty()) {
        lines.push_back("Modem count from smsd.conf is:  " + configured);
    }
    lines.push_back(kQuietTail);
    lines.push_back("Modem count from /var/spool/sms/stats/status is: " + std::to_string(receiving));
    lines.push_back("Blocked modem count from /var/spool/sms/stats/status is: " + std::to_string(blocked));
    return lines;
}

// A pass with no status file and, here, no smsd.conf: the fallback count is published.
std::vector<std::string> missingStatusLines(int configured)
{
    return {"Checking modemstatus", "/var/spool/sms/stats/status does not exist", kQuietTail,
            "Modem count from /var/spool/sms/stats/status is: " + std::to_string(configured),
            "Blocked modem count from /var/spool/sms/stats/status is: 0"};
}

std::vector<std::string> withRestart(std::vector<std::string> lines, const std::string& mismatch = "")
{
    if (!mismatch.empty()) {
        lines.push_back("Number of GSM ports in smsd.conf" + mismatch + ")");
    }
    lines.insert(lines.end(), kRestart.begin(), kRestart.end());
    return lines;
}

// The device lines of a configuration, in port order.
std::vector<std::string> devicesOf(const std::string& conf)
{
    std::vector<std::string> devices;
    std::stringstream lines(conf);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("device = /dev/", 0) == 0) {
            devices.push_back(line.substr(14));
        }
    }
    return devices;
}

std::string conf(const Box& box)
{
    return box.readInside("/etc/smsd.conf").value_or("<missing>");
}

std::string modemCount(const Box& box)
{
    return readFile(box.hostPath("/mnt/ModemCount"));
}

const std::vector<std::string> kOneRestart = {"smstools stop", "smstools start"};
const std::vector<std::string> kTwoRestarts = {"smstools stop", "smstools start", "smstools stop", "smstools start"};

} // namespace

TEST(Supervision, TheFirstPassRestartsSmstoolsEvenWhenEverythingMatches)
{
    Box box;
    box.plug("gsmmodem1");
    box.plug("gsmmodem2");
    box.writeStatus(status({"Receiving", "Receiving"}));
    ASSERT_TRUE(box.writeInside("/etc/smsd.conf", "GSM1 = 0,1\nGSM2 = 0,1\n"));
    Daemon daemon(box);
    EXPECT_EQ(daemon.passLines(1), withRestart(probeLines("2", 2, 0)));
    EXPECT_EQ(box.serviceCalls(), kOneRestart);
    EXPECT_EQ(devicesOf(conf(box)), (std::vector<std::string>{"gsmmodem1", "gsmmodem2"}));
    EXPECT_EQ(modemCount(box), "2");
}

TEST(Supervision, AQuietPassTouchesNothing)
{
    Box box;
    box.plug("gsmmodem1");
    box.writeStatus(status({"Receiving"}));
    Daemon daemon(box);
    const std::string first_conf = conf(box);
    writeFile(box.hostPath("/mnt/ModemCount"), "stale");
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(daemon.passLines(2), probeLines("1", 1, 0));
    EXPECT_EQ(box.serviceCalls(), kOneRestart);
    EXPECT_EQ(conf(box), first_conf);
    EXPECT_EQ(modemCount(box), "1") << "published on every pass";
}

TEST(Supervision, PluggingInAModemRestartsSmstoolsOnceWithTheNewPort)
{
    Box box;
    box.plug("gsmmodem1");
    box.plug("gsmmodem2");
    box.writeStatus(status({"Receiving", "Receiving"}));
    Daemon daemon(box);
    box.plug("gsmmodem3");
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(daemon.passLines(2), withRestart(probeLines("2", 2, 0), "(2) is diffrent from actual count(3"));
    EXPECT_EQ(devicesOf(conf(box)).size(), 3U);
    EXPECT_EQ(devicesOf(box.confAt("stop")).size(), 2U) << "smsd stopped before its file was rewritten";
    EXPECT_EQ(devicesOf(box.confAt("start")).size(), 3U) << "and started on the new one";
    EXPECT_EQ(modeOf(box.hostPath("/mnt/flash/spool/GSM3")), 0777U);

    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(daemon.passLines(3), probeLines("3", 2, 0));
    EXPECT_EQ(box.serviceCalls(), kTwoRestarts);
}

TEST(Supervision, UnpluggingAModemRestartsSmstoolsWithoutIt)
{
    Box box;
    for (const char* name : {"gsmmodemA", "gsmmodemB", "gsmmodemC"}) {
        box.plug(name);
    }
    Daemon daemon(box);
    box.unplug("gsmmodemB");
    ASSERT_TRUE(daemon.pass());
    const std::vector<std::string> lines = daemon.passLines(2);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Number of GSM ports in smsd.conf(3) is diffrent from actual count(2)"),
              lines.end());
    std::vector<std::string> devices = devicesOf(conf(box));
    std::sort(devices.begin(), devices.end());
    EXPECT_EQ(devices, (std::vector<std::string>{"gsmmodemA", "gsmmodemC"}));
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(box.serviceCalls(), kTwoRestarts);
}

TEST(Supervision, ABlockedCountThatChangesRestartsSmstoolsAndASteadyOneDoesNot)
{
    Box box;
    box.plug("gsmmodem1");
    box.plug("gsmmodem2");
    box.writeStatus(status({"Receiving", "Receiving"}));
    Daemon daemon(box);

    box.writeStatus(status({"Receiving", "Blocked"}));
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(daemon.passLines(2), withRestart(probeLines("2", 1, 1), "(2) is diffrent from actual count(2"));
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(daemon.passLines(3), probeLines("2", 1, 1));

    box.writeStatus(status({"Receiving", "Receiving"}));
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(daemon.passLines(4), withRestart(probeLines("2", 2, 0), "(2) is diffrent from actual count(2"));
    EXPECT_EQ(box.serviceCalls().size(), 6U);
}

TEST(Supervision, WithNoModemAndNoConfigurationOnlyTheFirstPassRestarts)
{
    Box box;
    Daemon daemon(box);
    EXPECT_EQ(daemon.passLines(1), withRestart(missingStatusLines(-1)));
    EXPECT_EQ(conf(box).substr(0, 37), "# /etc/smsd.conf\n#\ndevices= GSM* 1-0\n");
    ASSERT_TRUE(daemon.pass());
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(box.serviceCalls(), kOneRestart);
    EXPECT_EQ(modemCount(box), "0");
}

TEST(Supervision, WithoutAStatusFileTheConfiguredCountIsPublished)
{
    Box box;
    box.plug("gsmmodem1");
    ASSERT_TRUE(box.writeInside("/etc/smsd.conf", "GSM1 = x\nGSM2 = x\nGSM3 = x\n"));
    Daemon daemon(box);
    std::vector<std::string> expected = missingStatusLines(3);
    expected.insert(expected.begin() + 1, "Modem count from smsd.conf is:  3");
    EXPECT_EQ(daemon.passLines(1), withRestart(expected));
}

TEST(Supervision, AStatusFileThatCannotBeReadPublishesNothing)
{
    Box box;
    box.plug("gsmmodem1");
    box.writeStatus(status({"Receiving"}));
    DaemonOptions options;
    // As root the daemon would read a mode-000 file anyway.
    options.prefix = withoutDacOverride();
    Daemon daemon(box, options);
    EXPECT_EQ(modemCount(box), "1");

    chmod(box.hostPath("/var/spool/sms/stats/status").c_str(), 0);
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(daemon.passLines(2), (std::vector<std::string>{"Checking modemstatus", "Modem count from smsd.conf is:  1"}));
    EXPECT_EQ(modemCount(box), "1");

    unlink(box.hostPath("/var/spool/sms/stats/status").c_str());
    mkdir(box.hostPath("/var/spool/sms/stats/status").c_str(), 0755);
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(daemon.passLines(3).size(), 2U) << "a directory cannot be read either";
    EXPECT_EQ(modemCount(box), "1");
    EXPECT_EQ(box.serviceCalls(), kOneRestart);
}

TEST(Supervision, ADevThatCannotBeListedEndsTheDaemon)
{
    Box box;
    // Searchable, so /dev/log still takes the alert, but not listable.
    chmod(box.hostPath("/dev/").c_str(), 0311);
    DaemonOptions options;
    options.prefix = withoutDacOverride();
    options.wait_for_first_pass = false;
    Daemon daemon(box, options);
    EXPECT_EQ(daemon.waitForExit(), 1);
    chmod(box.hostPath("/dev/").c_str(), 0755);
    const SyslogMessage alert = box.syslog().waitFor("Cannot open directory.. /dev");
    EXPECT_EQ(alert.priority, 25);  // daemon.alert
    EXPECT_EQ(textOf(daemon.lines().back()), "Cannot open directory.. /dev");
    EXPECT_EQ(box.syslog().count("Stopped " + daemonBinary()), 0);
    EXPECT_NE(readFile(box.hostPath("/run/modemwatchd/modemwatchd.prom")).find("\nmodemwatchd_up 0\n"), std::string::npos)
        << "a daemon that gives up says it has stopped";
}

TEST(Supervision, RunLogsAreEmptiedAndNoStrayFileIsCreated)
{
    Box box;
    box.plug("gsmmodem1");
    {
        Daemon daemon(box);
        EXPECT_EQ(daemon.stop(), 0);
    }
    EXPECT_FALSE(fileExists(box.hostPath("/var/ramlog/smsd_run_GSM*")));
    writeFile(box.hostPath("/var/ramlog/smsd_run_GSM1.log"), "old run\n");
    writeFile(box.hostPath("/var/ramlog/other.log"), "kept\n");
    Daemon daemon(box);
    EXPECT_EQ(readFile(box.hostPath("/var/ramlog/smsd_run_GSM1.log")), "");
    EXPECT_EQ(readFile(box.hostPath("/var/ramlog/other.log")), "kept\n");
}

TEST(Supervision, FilesForOtherUsersAreCreatedSafelyAndSpoolDirectoriesUsable)
{
    Box box;
    box.plug("gsmmodem1");
    box.plug("gsmmodem2");
    mkdir(box.hostPath("/mnt/flash/spool/GSM2").c_str(), 0750);
    {
        // Foreground, under the usual umask 022.
        Daemon daemon(box);
        EXPECT_EQ(modeOf(box.hostPath("/mnt/flash/spool/GSM1")), 0777U);
        EXPECT_EQ(modeOf(box.hostPath("/mnt/flash/spool/GSM2")), 0750U) << "an existing directory is left alone";
    }
    unlink(box.hostPath("/mnt/ModemCount").c_str());
    ASSERT_EQ(box.inside([] { return unlink("/etc/smsd.conf"); }), 0);
    {
        DaemonOptions options;
        options.daemon_mode = true;  // umask 0
        Daemon daemon(box, options);
        EXPECT_EQ(box.modeInside("/etc/smsd.conf"), 0644U);
        EXPECT_EQ(modeOf(box.hostPath("/mnt/ModemCount")), 0644U);
    }
    ASSERT_EQ(box.inside([] { return chmod("/etc/smsd.conf", 0600); }), 0);
    Daemon daemon(box);
    EXPECT_EQ(box.modeInside("/etc/smsd.conf"), 0600U) << "an existing file keeps its mode";
}

TEST(Supervision, ADeviceNameWithAControlCharacterNeverReachesTheConfiguration)
{
    Box box;
    box.plug("gsmmodem1");
    box.plug("gsmmodem\neventhandler = evil.sh");
    box.plug("gsmmodem\x1b[2J");
    Daemon daemon(box);
    const std::string text = conf(box);
    EXPECT_EQ(devicesOf(text), (std::vector<std::string>{"gsmmodem1"}));
    EXPECT_EQ(text.find("evil"), std::string::npos);
    EXPECT_FALSE(fileExists(box.hostPath("/mnt/flash/spool/GSM2")));
    int ignored = 0;
    for (const std::string& line : daemon.passLines(1)) {
        if (line.rfind("Ignoring /dev/gsmmodem\\x", 0) == 0) {
            ++ignored;
            EXPECT_EQ(line.find_first_of("\n\x1b"), std::string::npos);
        }
    }
    EXPECT_EQ(ignored, 2);
    EXPECT_TRUE(daemon.pass());
    EXPECT_EQ(box.serviceCalls(), kOneRestart);
}

TEST(Supervision, UnwritableFilesAreReportedAndSmstoolsIsStillStarted)
{
    Box box;
    box.plug("gsmmodem1");
    ASSERT_TRUE(box.makeReadOnly("/etc"));
    ASSERT_TRUE(box.makeReadOnly("/mnt"));
    Daemon daemon(box);
    EXPECT_EQ(box.syslog().waitFor("Can not write /etc/smsd.conf, error: Read-only file system").priority, 27);
    EXPECT_EQ(box.syslog().waitFor("Can not write /mnt/ModemCount, error: Read-only file system").priority, 27);
    EXPECT_EQ(daemon.passLines(1), withRestart(missingStatusLines(-1)));
    EXPECT_EQ(box.serviceCalls(), kOneRestart);
    EXPECT_TRUE(daemon.pass());
    EXPECT_EQ(daemon.passLines(2), withRestart(missingStatusLines(-1), "(-1) is diffrent from actual count(1"));
    EXPECT_EQ(box.serviceCalls(), kTwoRestarts) << "no configuration yet, so smstools is restarted again";
}

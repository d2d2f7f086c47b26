// A box that works against the daemon: smsd's user planting links, FIFOs and devices where the
// root daemon reads and writes, a full disk, stray kills, odd device names, a vanished log. The
// pid file's case of this group stands with the daemon-mode tests, beside their exit-status probe.
#include "e2e/box_helpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kWarning = 28;  // daemon.warning
constexpr int kError = 27;    // daemon.err

// The daemon run under strace, its first call of `syscall` held up for `ms` on its way out. -D
// keeps the daemon the process the test started, so its pid and signals are the daemon's own.
// A sanitizer build's leak check cannot work under ptrace and would fail the exit status.
std::vector<std::string> delaying(const std::string& syscall, int ms)
{
    return {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-D", "-qq", "-o", "/dev/null", "-e",
            "inject=" + syscall + ":delay_exit=" + std::to_string(ms * 1000) + ":when=1"};
}

std::vector<std::string> warnings(Box& box)
{
    std::vector<std::string> texts;
    for (const SyslogMessage& message : box.syslog().messages()) {
        if (message.priority == kWarning) {
            texts.push_back(message.text);
        }
    }
    return texts;
}

std::string last(const std::vector<std::string>& texts)
{
    return texts.empty() ? "<none>" : texts.back();
}

std::string conf(const Box& box)
{
    return box.readInside("/etc/smsd.conf").value_or("<missing>");
}

const std::vector<std::string> kOneRestart = {"smstools stop", "smstools start"};

} // namespace

TEST(HostileBox, RunLogsAreEmptiedOnlyWhenTheyAreRegularFilesOfTheirOwn)
{
    Box box;
    box.plug("gsmmodem1");
    ASSERT_TRUE(box.writeInside("/etc/victim", "precious\n"));
    const auto ramlog = [&](const std::string& name) { return box.hostPath("/var/ramlog/" + name); };
    ASSERT_EQ(symlink("/etc/victim", ramlog("smsd_run_GSM1.log").c_str()), 0);
    ASSERT_EQ(mkfifo(ramlog("smsd_run_GSM2.log").c_str(), 0644), 0);
    writeFile(ramlog("smsd_run_GSM3.log"), "an old run\n");
    writeFile(ramlog("other.log"), "kept\n");
    ASSERT_EQ(link(ramlog("other.log").c_str(), ramlog("smsd_run_GSM4.log").c_str()), 0);
    ASSERT_EQ(mkdir(ramlog("smsd_run_GSM5.log").c_str(), 0755), 0);

    Daemon daemon(box);  // the first pass restarts smstools
    EXPECT_EQ(box.serviceCalls(), kOneRestart);
    EXPECT_EQ(box.readInside("/etc/victim"), "precious\n");
    EXPECT_EQ(readFile(ramlog("smsd_run_GSM3.log")), "");
    EXPECT_EQ(readFile(ramlog("other.log")), "kept\n");
    std::vector<std::string> seen = warnings(box);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "Not emptying /var/ramlog/smsd_run_GSM1.log: a symbolic link",
                        "Not emptying /var/ramlog/smsd_run_GSM2.log: not a regular file",
                        "Not emptying /var/ramlog/smsd_run_GSM4.log: a file with other links",
                        "Not emptying /var/ramlog/smsd_run_GSM5.log: Is a directory",
                    }));
}

TEST(HostileBox, ASpoolDirectorySwappedForALinkAfterMkdirDoesNotPassOnItsMode)
{
    Box box;
    box.plug("gsmmodem1");
    ASSERT_TRUE(box.writeInside("/etc/victim", "root's\n"));
    ASSERT_EQ(box.inside([] { return chmod("/etc/victim", 0644); }), 0);
    DaemonOptions options;
    options.prefix = delaying("mkdir,mkdirat", 500);
    options.wait_for_first_pass = false;
    Daemon daemon(box, options);
    // The daemon is held right after its mkdir: the owner of the spool tree swaps what it made.
    const std::string made = box.hostPath("/mnt/flash/spool/GSM1");
    ASSERT_TRUE(waitUntil([&] { return fileExists(made); }));
    ASSERT_EQ(rmdir(made.c_str()), 0);
    ASSERT_EQ(symlink("/etc/victim", made.c_str()), 0);
    ASSERT_TRUE(waitUntil([&] { return daemon.heartbeats() >= 1 && daemon.idle(); }));
    EXPECT_EQ(box.modeInside("/etc/victim"), 0644U);
    const std::vector<std::string> seen = warnings(box);
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].rfind("Can not make spool directory /mnt/flash/spool/GSM1, error: ", 0), 0U) << seen[0];
}

TEST(HostileBox, AStatusFileThatIsAFifoOrADeviceNeitherHangsNorPublishes)
{
    for (const std::string kind : {"fifo", "link to a device", "device"}) {
        Box box;
        box.plug("gsmmodem1");
        box.writeStatus("GSM1: Receiving,\n");
        Daemon daemon(box);
        ASSERT_EQ(readFile(box.hostPath("/mnt/ModemCount")), "1");
        const std::string status = box.hostPath("/var/spool/sms/stats/status");
        unlink(status.c_str());
        if (kind == "fifo") {
            ASSERT_EQ(mkfifo(status.c_str(), 0644), 0);
        } else if (kind == "link to a device") {
            ASSERT_EQ(symlink((box.root() + "/full").c_str(), status.c_str()), 0);  // reads as endless zeros
        } else {
            writeFile(status, "");
            ASSERT_EQ(box.inside([] {
                return mount("/dev/null", "/var/spool/sms/stats/status", nullptr, MS_BIND, nullptr);
            }),
                      0);
        }
        ASSERT_TRUE(daemon.pass()) << kind << ": the pass did not end";
        EXPECT_EQ(daemon.passLines(2), (std::vector<std::string>{"Checking modemstatus", "Modem count from smsd.conf is:  1"}))
            << kind;
        EXPECT_EQ(readFile(box.hostPath("/mnt/ModemCount")), "1") << kind;
        ASSERT_TRUE(daemon.pass()) << kind;
        kill(daemon.pid(), SIGINT);
        EXPECT_EQ(daemon.waitForExit(1000), 0) << kind << ": SIGINT did not stop the daemon within a second";
    }
}

TEST(HostileBox, AFullDiskLeavesTheOldConfigurationWholeAndSmsdRunningUntilThereIsRoom)
{
    Box box;
    box.plug("gsmmodem1");
    box.plug("gsmmodem2");
    // Four pages: three for other files, one for the configuration of two ports.
    ASSERT_EQ(box.inside([] { return mount("tmpfs", "/etc", "tmpfs", 0, "size=16k,mode=0755"); }), 0);
    ASSERT_TRUE(box.writeInside("/etc/filler", std::string(12288, 'x')));
    Daemon daemon(box);
    const std::string old_conf = conf(box);
    ASSERT_NE(old_conf.find("devices= GSM* 1-2\n"), std::string::npos);

    for (int i = 3; i <= 30; ++i) {
        box.plug("gsmmodem" + std::to_string(i));  // thirty ports need a second page
    }
    for (int pass = 2; pass <= 3; ++pass) {
        ASSERT_TRUE(daemon.pass());
        EXPECT_EQ(last(daemon.passLines(pass)),
                  "Not restarting smstools: no room for a new /etc/smsd.conf (No space left on device)");
        EXPECT_EQ(conf(box), old_conf) << "pass " << pass;
        EXPECT_EQ(box.serviceCalls(), kOneRestart) << "smsd was stopped with no configuration to start on";
    }
    EXPECT_EQ(box.syslog().count("Can not write /etc/smsd.conf, error: No space left on device"), 2);
    EXPECT_EQ(box.syslog().waitFor("Can not write /etc/smsd.conf, error: No space left on device").priority, kError);

    ASSERT_EQ(box.inside([] { return unlink("/etc/filler"); }), 0);
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(last(daemon.passLines(4)), "Starting smstools...");
    EXPECT_NE(conf(box).find("\nGSM30 = 0,1,2,3,4,5,6,7,8,9,s\n"), std::string::npos);
    EXPECT_EQ(box.confAt("start"), conf(box));
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(box.serviceCalls().size(), 4U) << "the pass after the rewrite is quiet";
}

// A restart whose configuration did not go in is no restart: it stays owed, and is published so,
// until a pass writes the configuration. With /etc full smsd is never stopped; with /etc
// read-only it is stopped and started on the old configuration.
TEST(HostileBox, ARestartThatDidNotWriteItsConfigurationIsOwedUntilOneDoes)
{
    const std::string owed = "modemwatchd_smsd_restart_owed";
    const std::string plugged = "modemwatchd_smsd_restarts_total{cause=\"modem_count_changed\"}";
    for (const bool full : {true, false}) {
        const char* kind = full ? "full /etc" : "read-only /etc";
        Box box;
        box.plug("gsmmodem1");
        ASSERT_EQ(box.inside([] { return mount("tmpfs", "/etc", "tmpfs", 0, "size=16k,mode=0755"); }), 0);
        Daemon daemon(box);
        EXPECT_EQ(samples(box)[owed], "0") << kind;
        const std::string old_conf = conf(box);
        const auto readOnly = [&box](bool on) {
            return box.inside([on] {
                return mount(nullptr, "/etc", nullptr, MS_BIND | MS_REMOUNT | (on ? MS_RDONLY : 0), nullptr);
            });
        };
        ASSERT_TRUE(full ? box.writeInside("/etc/filler", std::string(12288, 'x')) : readOnly(true) == 0) << kind;

        box.plug("gsmmodem2");
        ASSERT_TRUE(daemon.pass()) << kind;
        EXPECT_EQ(samples(box)[owed], "1") << kind;
        EXPECT_EQ(samples(box)[plugged], "0") << kind;
        EXPECT_EQ(conf(box), old_conf) << kind;
        EXPECT_EQ(box.serviceCalls().size(), full ? 2U : 4U) << kind;

        ASSERT_EQ(full ? box.inside([] { return unlink("/etc/filler"); }) : readOnly(false), 0) << kind;
        ASSERT_TRUE(daemon.pass()) << kind;
        EXPECT_EQ(samples(box)[owed], "0") << kind;
        EXPECT_EQ(samples(box)[plugged], "1") << kind;
        EXPECT_NE(conf(box).find("devices= GSM* 1-2\n"), std::string::npos) << kind;
    }
}

TEST(HostileBox, AKillWhileSmsdIsStoppedWaitsUntilSmsdIsStartedAgain)
{
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    for (int sig : {SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM}) {
        Box box;
        box.plug("gsmmodem1");
        box.slowService(1, true);
        DaemonOptions options;
        options.wait_for_first_pass = false;
        Daemon daemon(box, options);
        ASSERT_TRUE(waitUntil([&] { return !box.serviceCalls().empty(); }));
        kill(daemon.pid(), sig);
        EXPECT_EQ(daemon.waitForExit(), 128 + sig) << strsignal(sig) << " takes its default action in the end";
        EXPECT_EQ(box.serviceCalls(), kOneRestart) << strsignal(sig);
        EXPECT_EQ(daemon.lastLine(), "Starting smstools...") << strsignal(sig);
    }
}

TEST(HostileBox, ADeviceNameThePortCountWouldMiscountIsIgnored)
{
    Box box;
    box.plug("gsmmodem1");
    box.plug("gsmmodem-GSM12=x");
    Daemon daemon(box);
    const std::vector<std::string> first = daemon.passLines(1);
    EXPECT_NE(std::find(first.begin(), first.end(),
                        "Ignoring /dev/gsmmodem-GSM12=x: \"GSM\", two characters and \"=\" in its name would be "
                        "counted as a port of smsd.conf"),
              first.end());
    EXPECT_EQ(conf(box).find("GSM12="), std::string::npos);
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(daemon.passLines(2).at(1), "Modem count from smsd.conf is:  1");
    EXPECT_EQ(box.serviceCalls(), kOneRestart);
}

TEST(HostileBox, ASpoolDirectoryThatCannotBeMadeIsReportedOnceUntilItCanBe)
{
    Box box;
    box.plug("gsmmodem1");
    const std::string spool = box.hostPath("/mnt/flash/spool");
    ASSERT_EQ(rmdir(spool.c_str()), 0);
    Daemon daemon(box);
    EXPECT_EQ(warnings(box), (std::vector<std::string>{
                                 "Can not make spool directory /mnt/flash/spool/GSM1, error: No such file or directory"}));
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(warnings(box).size(), 1U) << "not again every pass";

    ASSERT_EQ(mkdir(spool.c_str(), 0755), 0);
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(modeOf(spool + "/GSM1"), 0777U);
    ASSERT_EQ(rmdir((spool + "/GSM1").c_str()), 0);
    ASSERT_EQ(rmdir(spool.c_str()), 0);
    ASSERT_EQ(rmdir(box.hostPath("/mnt/flash").c_str()), 0);
    writeFile(box.hostPath("/mnt/flash"), "");
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(last(warnings(box)), "Can not make spool directory /mnt/flash/spool/GSM1, error: Not a directory");
    EXPECT_EQ(warnings(box).size(), 2U);
}

TEST(HostileBox, ALogFileRemovedOrRenamedAwayIsOpenedAfreshAtItsPath)
{
    Box box;
    Daemon daemon(box);
    const std::string rotated = daemon.logPath() + ".1";
    // A pass has ended when its last line is in the file and the daemon sleeps again.
    const auto passInNewFile = [&] {
        kill(daemon.pid(), SIGHUP);
        return waitUntil([&] {
            return daemon.idle() && readFile(daemon.logPath()).find("Blocked modem count") != std::string::npos;
        });
    };
    ASSERT_EQ(rename(daemon.logPath().c_str(), rotated.c_str()), 0);
    ASSERT_TRUE(passInNewFile());
    const std::vector<std::string> lines = daemon.lines();
    EXPECT_TRUE(isHeartbeat(lines.at(0))) << "the new file starts with the pass after the rename";
    EXPECT_EQ(textOf(lines.at(1)), "Checking modemstatus");
    const std::string rotated_text = readFile(rotated);

    ASSERT_EQ(unlink(daemon.logPath().c_str()), 0);
    ASSERT_TRUE(passInNewFile());
    EXPECT_TRUE(isHeartbeat(daemon.lines().at(0)));
    EXPECT_EQ(readFile(rotated), rotated_text) << "nothing more went into the renamed file";
    EXPECT_EQ(daemon.stop(), 0);
}

TEST(HostileBox, SigintAndSighupRightAfterStartAreHandledNotFatal)
{
    for (int sig : {SIGHUP, SIGINT}) {
        Box box;
        DaemonOptions options;
        // Held just after the "Started" message, before the handlers exist.
        options.prefix = delaying("sendto", 500);
        options.wait_for_first_pass = false;
        Daemon daemon(box, options);
        ASSERT_EQ(box.syslog().waitFor("Started " + daemonBinary()).priority, 30);
        kill(daemon.pid(), sig);
        if (sig == SIGINT) {
            EXPECT_EQ(daemon.waitForExit(), 0);
            EXPECT_EQ(daemon.lastLine(), "Debug: stopping daemon ...");
            continue;
        }
        // Its line follows the first pass, and the pass it asked for comes straight after.
        ASSERT_TRUE(waitUntil([&] { return daemon.heartbeats() >= 2 && daemon.idle(); }));
        EXPECT_EQ(textOf(daemon.lines()[daemon.passLines(1).size() + 1]), "Debug: reloading daemon config file ...");
        EXPECT_EQ(daemon.stop(), 0);
    }
}

TEST(HostileBox, AStandardOutputWithNoReaderIsAFailedFlushNotADeath)
{
    Box box;
    box.plug("gsmmodem1");
    const std::vector<std::string> command = daemonCommand({});
    const pid_t pid = box.startInside([&] {
        int ends[2];
        if (pipe(ends) != 0 || close(ends[0]) != 0 || dup2(ends[1], STDOUT_FILENO) < 0) {
            return 126;
        }
        std::vector<char*> argv;
        for (const std::string& word : command) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        return 127;
    });
    const SyslogMessage error = box.syslog().waitFor("Can not fflush() log stream: stdout, error: Broken pipe");
    EXPECT_EQ(error.priority, kError);
    EXPECT_EQ(box.serviceCalls(), kOneRestart);
    kill(pid, SIGINT);
    EXPECT_EQ(waitExit(pid), 0);
    EXPECT_EQ(box.syslog().waitFor("Stopped " + daemonBinary()).priority, 30);
}

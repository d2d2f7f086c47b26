// The real daemon against the real smsd (Debian's smstools) with simulated modems: every
// configuration it writes must be accepted, and smsd must serve exactly the ports present.
#include "e2e/box_helpers.hpp"
#include "integration/modem_sim.hpp"
#include "sandbox/daemon_run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iostream>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Ports = std::map<std::string, std::string>;  // GSMn -> state word or device

const auto kStart = std::chrono::steady_clock::now();

void timeline(const std::string& event)
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - kStart).count();
    std::printf("[timeline] %6.1f s  %s\n", seconds, event.c_str());
    std::fflush(stdout);
}

// What the smstools package and its init script need in the box: spool directories owned by
// smsd, a log it can open after dropping privileges, the event handler the configuration names,
// a /run of the box's own, and the real service command instead of the fake.
void prepareSmstools(const Box& box)
{
    const passwd* smsd = getpwnam("smsd");
    ASSERT_NE(smsd, nullptr) << "the smstools package is not installed";
    const uid_t uid = smsd->pw_uid;
    const gid_t gid = smsd->pw_gid;
    for (const char* directory : {"", "/checked", "/failed", "/incoming", "/outgoing", "/sent", "/stats"}) {
        const std::string path = box.root() + "/spool" + directory;
        mkdir(path.c_str(), 02775);
        ASSERT_EQ(chown(path.c_str(), uid, gid), 0);
        chmod(path.c_str(), 02775);
    }
    chmod((box.root() + "/ramlog").c_str(), 0777);
    const std::string all = box.hostPath("/mnt/flash/spool/all");
    mkdir(all.c_str(), 0777);
    chmod(all.c_str(), 0777);
    ASSERT_TRUE(mountBoxTerminals(box));
    ASSERT_EQ(box.inside([&] {
        if (umount2("/usr/sbin/service", MNT_DETACH) != 0 || mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) {
            return 1;
        }
        mkdir("/etc/sms", 0755);
        mkdir("/etc/sms/scripts", 0755);
        writeFile("/etc/sms/scripts/eventhandlerGSM1.sh", "#!/bin/sh\nexit 0\n");
        chmod("/etc/sms/scripts/eventhandlerGSM1.sh", 0755);
        writeFile("/var/log/smsd.log", "");
        return chown("/var/log/smsd.log", uid, gid) == 0 ? 0 : 2;
    }), 0);
}

// The ports of smsd's status file (GSMn -> state word) or of a configuration (GSMn -> device).
Ports portsOf(const std::string& text, bool from_status)
{
    Ports ports;
    std::stringstream lines(text);
    std::string section;
    for (std::string line; std::getline(lines, line);) {
        if (from_status && line.rfind("GSM", 0) == 0) {
            const std::string port = line.substr(0, line.find(':'));
            const size_t state = line.find(",\t") + 2;
            ports[port] = line.substr(state, line.find(',', state) - state);
        } else if (!from_status && line.rfind("[GSM", 0) == 0) {
            section = line.substr(1, line.size() - 2);
        } else if (!from_status && line.rfind("device = /dev/", 0) == 0) {
            ports[section] = line.substr(14);
        }
    }
    return ports;
}

class RealSmsd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "smsd runs as its own user: the test needs root";
        }
        prepareSmstools(box_);
    }

    // One pass and no more: the daemon is held stopped between passes, so that its own 30 s
    // timer never races smsd's 30 s wait for a missing modem.
    void onePass(Daemon& daemon)
    {
        const int before = daemon.heartbeats();
        kill(daemon.pid(), SIGHUP);
        kill(daemon.pid(), SIGCONT);
        ASSERT_TRUE(waitUntil([&] {
            reapOrphansBut(daemon.pid());
            return daemon.heartbeats() > before && daemon.idle();
        }, 60000));
        kill(daemon.pid(), SIGSTOP);
    }

    // smsd is started in the background by start-stop-daemon and so falls to the test, the
    // subreaper, as init would take it on a box. Like init, reap it when it ends: the init
    // script waits for its pid to vanish before it returns from "stop".
    static void reapOrphansBut(pid_t keep)
    {
        siginfo_t info {};
        while (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid > 0 && info.si_pid != keep) {
            waitpid(info.si_pid, nullptr, 0);
            info = {};
        }
    }

    timespec smsdStarted() const
    {
        timespec started {};
        box_.inside([&] {
            struct stat info {};
            const bool ok = stat("/run/smstools/smsd.pid", &info) == 0;
            writeFile(box_.root() + "/run/smsd-started", std::to_string(info.st_mtim.tv_sec) + " " +
                                                            std::to_string(info.st_mtim.tv_nsec));
            return ok ? 0 : 1;
        });
        std::stringstream(readFile(box_.root() + "/run/smsd-started")) >> started.tv_sec >> started.tv_nsec;
        return started;
    }

    // Waits until smsd, since its latest start, has reported exactly `expected`.
    bool waitForStatus(const Ports& expected, int timeout_ms)
    {
        const timespec started = smsdStarted();
        const std::string path = box_.hostPath("/var/spool/sms/stats/status");
        return waitUntil([&] {
            struct stat info {};
            if (stat(path.c_str(), &info) != 0) {
                return false;
            }
            const bool fresh = info.st_mtim.tv_sec > started.tv_sec ||
                               (info.st_mtim.tv_sec == started.tv_sec && info.st_mtim.tv_nsec > started.tv_nsec);
            return fresh && portsOf(readFile(path), true) == expected;
        }, timeout_ms);
    }

    Ports configured() const { return portsOf(box_.readInside("/etc/smsd.conf").value_or(""), false); }

    std::string portOf(const std::string& device) const
    {
        for (const auto& [port, name] : configured()) {
            if (name == device) {
                return port;
            }
        }
        return "<none>";
    }

    Ports allIn(const std::string& state) const
    {
        Ports ports;
        for (const auto& entry : configured()) {
            ports[entry.first] = state;
        }
        return ports;
    }

    void expectSmsdHappy(const std::string& when)
    {
        const std::string log = box_.readInside("/var/log/smsd.log").value_or("");
        EXPECT_EQ(log.find("problems found"), std::string::npos) << when << "\n" << log;
        const int pid = std::atoi(box_.readInside("/run/smstools/smsd.pid").value_or("0").c_str());
        EXPECT_TRUE(pid > 0 && kill(pid, 0) == 0) << when << ": smsd is not running\n" << log;
    }

    Box box_;
};

} // namespace

TEST_F(RealSmsd, FollowsModemsPluggedInUnpluggedAndDead)
{
    std::map<std::string, pid_t> modems;
    const auto plug = [&](const std::string& name) {
        modems[name] = plugSimulatedModem(box_, name);
        ASSERT_TRUE(waitUntil([&] { return fileExists(box_.hostPath("/dev/" + name)); }));
    };
    // A quiet pass ends with the blocked-count line and publishes the receiving ports.
    const auto quietPassPublishes = [&](Daemon& daemon, const std::string& count) {
        onePass(daemon);
        EXPECT_EQ(textOf(daemon.lines().back()).rfind("Blocked modem count", 0), 0U) << "the pass restarted smstools";
        EXPECT_EQ(readFile(box_.hostPath("/mnt/ModemCount")), count);
    };

    plug("gsmmodem1");
    plug("gsmmodem2");
    timeline("two simulated modems plugged in; daemon starting");
    Daemon daemon(box_);
    kill(daemon.pid(), SIGSTOP);
    EXPECT_EQ(configured().size(), 2U);
    ASSERT_TRUE(waitForStatus(allIn("Receiving"), 20000)) << readFile(box_.hostPath("/var/spool/sms/stats/status"));
    expectSmsdHappy("first start");
    timeline("smsd receiving on GSM1 and GSM2");
    quietPassPublishes(daemon, "2");

    plug("gsmmodem3");
    onePass(daemon);
    EXPECT_EQ(configured().size(), 3U);
    ASSERT_TRUE(waitForStatus(allIn("Receiving"), 20000));
    expectSmsdHappy("third modem");
    timeline("third modem plugged in: smsd restarted, receiving on three ports");
    quietPassPublishes(daemon, "3");

    kill(modems["gsmmodem2"], SIGKILL);
    waitExit(modems["gsmmodem2"]);
    unlink(box_.hostPath("/dev/gsmmodem2").c_str());
    onePass(daemon);
    EXPECT_EQ(configured().size(), 2U);
    EXPECT_EQ(portOf("gsmmodem2"), "<none>");
    ASSERT_TRUE(waitForStatus(allIn("Receiving"), 20000));
    expectSmsdHappy("modem unplugged");
    timeline("second modem unplugged: smsd restarted, receiving on two ports");
    quietPassPublishes(daemon, "2");

    // A device entry whose terminal is gone: smsd cannot open it and reports it blocked.
    plug("gsmmodem4");
    kill(modems["gsmmodem4"], SIGKILL);
    waitExit(modems["gsmmodem4"]);
    onePass(daemon);
    ASSERT_EQ(configured().size(), 3U);
    Ports expected = allIn("Receiving");
    expected[portOf("gsmmodem4")] = "Blocked";
    timeline("dead entry gsmmodem4 appeared: smsd restarted with it as " + portOf("gsmmodem4"));
    ASSERT_TRUE(waitForStatus(expected, 45000)) << readFile(box_.hostPath("/var/spool/sms/stats/status"));
    expectSmsdHappy("dead entry");
    timeline("smsd reports " + portOf("gsmmodem4") + " blocked");

    const size_t restarts_before = daemon.lines().size();
    onePass(daemon);
    const std::vector<std::string> lines = daemon.lines();
    EXPECT_NE(std::find_if(lines.begin() + static_cast<long>(restarts_before), lines.end(),
                           [](const std::string& line) { return textOf(line) == "Starting smstools..."; }),
              lines.end()) << "a change in the blocked count restarts smstools";
    ASSERT_TRUE(waitForStatus(expected, 45000));
    expectSmsdHappy("restart for the blocked port");
    timeline("blocked count changed: smsd restarted, the dead port blocked again");
    quietPassPublishes(daemon, "2");
    timeline("steady: the next pass is quiet");

    kill(daemon.pid(), SIGCONT);
    EXPECT_EQ(daemon.stop(), 0);
    for (const auto& [name, pid] : modems) {
        kill(pid, SIGKILL);
    }
}

namespace {

// smsd's main processes (those whose parent is no smsd), as /proc shows them.
std::vector<pid_t> smsdMains()
{
    const auto isSmsd = [](const std::string& pid) { return readFile("/proc/" + pid + "/comm") == "smsd\n"; };
    std::vector<pid_t> mains;
    DIR* proc = opendir("/proc");
    while (const dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") == std::string::npos && isSmsd(pid) &&
            procField(std::stoi(pid), "status", "State:").rfind('Z', 0) != 0 &&
            !isSmsd(procField(std::stoi(pid), "status", "PPid:"))) {
            mains.push_back(std::stoi(pid));
        }
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    return mains;
}

} // namespace

// smsd's user owns smsd's run directory, and smstools' init script, run as root, stops whatever
// pid it finds there (SIGKILL after 15 s). The two ways a red team had it kill a process of its
// choosing: a directory where the daemon once wrote the pid aside, and the victim's pid written
// back the moment anything in the directory changes. The victim lives; the smsd that ran is
// stopped and one new smsd runs.
TEST_F(RealSmsd, NoPidThatSmsdsUserWritesIsSignalledByTheStop)
{
    const passwd* user = getpwnam("smsd");
    ASSERT_NE(user, nullptr);
    std::map<std::string, pid_t> modems{{"gsmmodem1", plugSimulatedModem(box_, "gsmmodem1")}};
    Daemon daemon(box_);
    kill(daemon.pid(), SIGSTOP);
    ASSERT_TRUE(waitForStatus(allIn("Receiving"), 20000));
    std::vector<pid_t> before;
    ASSERT_TRUE(waitUntil([&] {
        reapOrphansBut(daemon.pid());
        return (before = smsdMains()).size() == 1;
    }, 10000)) << before.size() << " smsd main processes";

    const pid_t victim = fork();
    if (victim == 0) {
        execl("/bin/sleep", "sleep", "1000", static_cast<char*>(nullptr));
        _exit(127);
    }
    const std::string pid_text = std::to_string(victim) + "\n";
    const pid_t attacker = box_.startInside([&] {
        if (setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0) {
            return 1;
        }
        mkdir("/run/smstools/.smsd.pid.modemwatchd", 0755);
        const int watch = inotify_init1(IN_NONBLOCK);
        inotify_add_watch(watch, "/run/smstools", IN_ALL_EVENTS);
        for (char events[4096];;) {
            const int fd = open("/run/smstools/smsd.pid", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                static_cast<void>(write(fd, pid_text.data(), pid_text.size()));
                close(fd);
            }
            pollfd ready{watch, POLLIN, 0};
            poll(&ready, 1, 1);
            while (read(watch, events, sizeof events) > 0) {
            }
        }
    });
    modems["gsmmodem2"] = plugSimulatedModem(box_, "gsmmodem2");
    ASSERT_TRUE(waitUntil([&] { return fileExists(box_.hostPath("/dev/gsmmodem2")); }));
    const auto started = std::chrono::steady_clock::now();
    onePass(daemon);
    timeline("restart with the pid file rewritten to name a victim: " +
             std::to_string(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()) + " s");
    // Reaped already (by the waits above) when it was killed: then it is not ours to signal again.
    const bool victim_alive = waitpid(victim, nullptr, WNOHANG) == 0;
    EXPECT_TRUE(victim_alive) << "the stop killed the process the pid file named";
    kill(attacker, SIGKILL);
    waitExit(attacker);
    EXPECT_EQ(configured().size(), 2U);
    // smsd believes its pid file too, and quits when it names a live process: the smsd started
    // under the attack may have done so, and then the next pass brings it back.
    const std::vector<pid_t> during = smsdMains();
    EXPECT_EQ(std::count(during.begin(), during.end(), before.front()), 0) << "the smsd that ran was not stopped";
    onePass(daemon);
    std::vector<pid_t> after;
    ASSERT_TRUE(waitUntil([&] {
        reapOrphansBut(daemon.pid());
        return (after = smsdMains()).size() == 1 && after != before;
    }, 10000)) << after.size() << " smsd main processes after the attack";
    if (victim_alive) {
        kill(victim, SIGKILL);
        waitpid(victim, nullptr, 0);
    }
    kill(daemon.pid(), SIGCONT);
    EXPECT_EQ(daemon.stop(), 0);
    for (const auto& [name, pid] : modems) {
        kill(pid, SIGKILL);
    }
}

namespace {

// A message for smsd's outgoing directory, to go out through `queue`, put in place whole.
void queueMessage(const Box& box, const std::string& name, const std::string& queue)
{
    const passwd* smsd = getpwnam("smsd");
    const std::string path = box.hostPath("/var/spool/sms/" + name);
    writeFile(path, "To: 358401111111\nQueue: " + queue + "\n\nhello\n");
    ASSERT_EQ(chown(path.c_str(), smsd->pw_uid, smsd->pw_gid), 0);
    ASSERT_EQ(rename(path.c_str(), box.hostPath("/var/spool/sms/outgoing/" + name).c_str()), 0);
}

// The box has a /run of its own here: the published file is read inside it.
constexpr char kPublished[] = "/run/modemwatchd/modemwatchd.prom";

std::map<std::string, std::string> publishedSamples(const Box& box)
{
    return samplesOf(box.readInside(kPublished).value_or(""));
}

size_t occurrences(const std::string& text, const std::string& word)
{
    size_t count = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        ++count;
    }
    return count;
}

} // namespace

// What moved through each port and why it does not, from smsd's own words; a SIM or a network
// that refuses is not healed; a message that waits, and an smsd that stops, are told.
TEST_F(RealSmsd, MessagesCountedCausesToldApartAndAStillSmsdRestarted)
{
    const std::map<std::string, ModemIdentity> plugged = {
        {"gsmmodem1", {"", "", "358240051111111", "", ""}},
        {"gsmmodem2", {"", "", "358240051111112", "", "+CMS ERROR: 38"}},
        {"gsmmodem3", {"", "", "358240051111113", "+CME ERROR: 11", ""}},
        {"gsmmodem4", {"", "", "358240051111114", "", "+CMS ERROR: 331"}},
    };
    for (const auto& [name, identity] : plugged) {
        plugSimulatedModem(box_, name, identity);
        ASSERT_TRUE(waitUntil([&] { return fileExists(box_.hostPath("/dev/" + name)); }));
    }
    DaemonOptions options;
    options.extra_args = {"--heal"};
    Daemon daemon(box_, options);
    kill(daemon.pid(), SIGSTOP);
    const std::string healthy = portOf("gsmmodem1");
    const std::string refusing = portOf("gsmmodem2");
    const std::string pin = portOf("gsmmodem3");
    const std::string unregistered = portOf("gsmmodem4");
    const auto smsdLog = [&] { return box_.readInside("/var/log/smsd.log").value_or(""); };
    ASSERT_TRUE(waitUntil([&] { return smsdLog().find(pin + ": Modem did not accept the second init string, SIM PIN required") != std::string::npos; }, 20000))
        << smsdLog();
    timeline("four modems served: one healthy, one refusing sends, one wanting a PIN, one not registered");

    for (int k = 1; k <= 3; ++k) {
        queueMessage(box_, "healthy" + std::to_string(k), healthy);
    }
    queueMessage(box_, "refused", refusing);
    queueMessage(box_, "unregistered", unregistered);
    ASSERT_TRUE(waitUntil([&] {
        return occurrences(smsdLog(), ": SMS sent,") == 3 && occurrences(smsdLog(), " failed, trying time") == 2;
    }, 60000)) << smsdLog();
    // A message waiting behind the port that cannot send, for twenty minutes.
    const std::string waiting = box_.hostPath("/mnt/flash/spool/" + pin + "/waiting");
    writeFile(waiting, "To: 358401111111\n\nhello\n");
    const timespec twenty_minutes_ago[2] = {{0, UTIME_OMIT}, {time(nullptr) - 1200, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, waiting.c_str(), twenty_minutes_ago, 0), 0);
    onePass(daemon);
    timeline("three messages sent, two refused");

    std::map<std::string, std::string> found = publishedSamples(box_);
    const auto at = [&](const char* name, const std::string& port, const std::string& more = "") {
        return found[std::string(name) + "{port=\"" + port + "\"" + more + "}"];
    };
    ASSERT_EQ(at("modemwatchd_port_messages_sent_total", healthy), "3")
        << box_.readInside("/run/modemwatchd/modemwatchd.prom").value_or("(none)");
    EXPECT_EQ(at("modemwatchd_port_send_failures_total", healthy), "0");
    EXPECT_EQ(at("modemwatchd_port_send_failures_total", refusing), "1");
    EXPECT_NE(at("modemwatchd_port_last_sent_time_seconds", healthy), "0.000000");
    const std::pair<std::string, std::string> causes[] = {
        {refusing, "rejected"}, {pin, "sim"}, {unregistered, "network"}};
    for (const auto& [port, cause] : causes) {
        EXPECT_EQ(at("modemwatchd_port_problem", port, ",cause=\"" + cause + "\""), "1") << port;
    }
    for (const char* cause : {"not_answering", "sim", "network", "rejected", "storage_full"}) {
        EXPECT_EQ(at("modemwatchd_port_problem", healthy, ",cause=\"" + std::string(cause) + "\""), "0") << cause;
    }
    EXPECT_EQ(at("modemwatchd_port_last_failure_info", refusing, ",words=\"+CMS ERROR: 38 (Network out of order)\""), "1");
    EXPECT_EQ(found["modemwatchd_messages_waiting"], "1");
    EXPECT_EQ(std::stod(found["modemwatchd_oldest_message_waiting_seconds"]) >= 1200, true);

    // Healing on: the ports whose SIM or network refuses are said once and never reset.
    const std::vector<std::string> lines = daemon.lines();
    const auto logged = [&](const std::string& text) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return textOf(line) == text; });
    };
    EXPECT_EQ(logged("Not healing gsmmodem2: the network refuses its messages: +CMS ERROR: 38 (Network out of order)"), 1);
    EXPECT_EQ(logged("Not healing gsmmodem3: its SIM is refused: SIM PIN required"), 1);
    EXPECT_EQ(box_.syslog().count("Not healing gsmmodem2: the network refuses its messages: +CMS ERROR: 38 (Network "
                                  "out of order)"),
              1);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return textOf(line).rfind("Healing", 0) == 0; }),
              0);
    int status = -1;
    std::string line = check(box_, status, kPublished);
    EXPECT_EQ(status, 2) << line;
    for (const std::string& words : std::vector<std::string>{refusing + " (gsmmodem2) messages rejected (+CMS ERROR: 38 (Network out of order))",
          pin + " (gsmmodem3) SIM refused (SIM PIN required)", unregistered + " (gsmmodem4) no network",
          "1 message waiting, the oldest 20 min"}) {
        EXPECT_NE(line.find(words), std::string::npos) << words << "\n" << line;
    }
    timeline("causes told apart, the waiting message told, nothing healed");

    // smsd stopped whole: none of its files moves again.
    const pid_t smsd = std::atoi(box_.readInside("/run/smstools/smsd.pid").value_or("0").c_str());
    ASSERT_GT(smsd, 0);
    ASSERT_EQ(getpgid(smsd), smsd) << "smsd leads its own process group";
    // Whatever fails below, the stopped processes go on, and end with the box.
    const std::unique_ptr<void, std::function<void(void*)>> resume(&daemon, [smsd](void*) { kill(-smsd, SIGCONT); });
    ASSERT_EQ(kill(-smsd, SIGSTOP), 0);
    timeline("smsd stopped with SIGSTOP");
    ASSERT_TRUE(waitUntil([&] {
        std::this_thread::sleep_for(std::chrono::seconds(5));
        onePass(daemon);
        return publishedSamples(box_)["modemwatchd_smsd_restarts_total{cause=\"smsd_not_responding\"}"] == "1";
    }, 300000)) << smsdLog();
    timeline("smsd found not responding and restarted");
    const auto said = [&](const std::string& start, const std::string& end) {
        std::vector<int> priorities;
        for (const SyslogMessage& message : box_.syslog().messages()) {
            if (message.text.rfind(start, 0) == 0 && message.text.size() >= end.size() &&
                message.text.compare(message.text.size() - end.size(), end.size(), end) == 0) {
                priorities.push_back(message.priority);
            }
        }
        return priorities;
    };
    EXPECT_EQ(said("smsd is not responding: it has written none of its files for ", " s; restarting smstools"),
              std::vector<int>{28}) << "once, daemon.warning";
    EXPECT_EQ(said("smsd did not end within 15 s of SIGTERM: ", " of its processes killed"), std::vector<int>{28})
        << "once, daemon.warning";
    line = check(box_, status, kPublished);
    EXPECT_NE(line.find("smsd not responding"), std::string::npos) << line;
    onePass(daemon);
    line = check(box_, status, kPublished);
    EXPECT_EQ(line.find("smsd not responding"), std::string::npos) << line;
    expectSmsdHappy("after the restart");
    kill(daemon.pid(), SIGCONT);
    EXPECT_EQ(daemon.stop(), 0);
}

// smsd's pid file is written by smsd's user, and smstools' init script acts on it as root: the
// daemon neither believes a pid that is not smsd's nor leaves one for the script to kill, nor a
// FIFO for it to block on; and an smsd that dies soon after each start is restarted ever less
// often.
#include "e2e/box_helpers.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const char kRevivals[] = "modemwatchd_smsd_restarts_total{cause=\"smsd_not_running\"}";

// A process of the test's that is no smsd: what smsd's user would name to have it killed.
struct Victim {
    Victim()
    {
        pid = fork();
        if (pid == 0) {
            execl("/bin/sleep", "sleep", "1000", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Victim()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    bool alive() const { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }
    pid_t pid;
};

} // namespace

TEST(SmsdPidFile, APidThatIsNotSmsdsIsNeitherBelievedNorLeftForTheInitScriptToKill)
{
    Box box;
    box.plug("gsmmodem1");
    Daemon daemon(box);
    const std::string pid_file = box.hostPath("/run/smstools/smsd.pid");
    const std::string warning =
        "Removed /run/smstools/smsd.pid before it reached smstools' init script: the process it names is not smsd";

    // smsd dead, its pid file naming a live process of someone else: smsd is not running.
    killSmsd(box);
    const Victim dead_smsds;
    writeFile(pid_file, std::to_string(dead_smsds.pid) + "\n");
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(samples(box)[kRevivals], "1") << "a dead smsd is brought back, whatever its pid file names";
    EXPECT_TRUE(dead_smsds.alive()) << "the init script's stop killed the process the pid file named";
    EXPECT_EQ(box.syslog().waitFor(warning).priority, 28);  // daemon.warning

    // smsd running, a restart due, and the pid file rewritten to name a victim: the init script
    // stops the smsd that runs, and the victim lives.
    const pid_t smsd = std::atoi(readFile(pid_file).c_str());
    const Victim victim;
    writeFile(pid_file, std::to_string(victim.pid) + "\n");
    box.plug("gsmmodem2");
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(box.serviceCalls().size(), 6U) << "restarted for the second modem";
    EXPECT_TRUE(victim.alive()) << "the init script's stop killed the process the pid file named";
    EXPECT_EQ(waitExit(smsd, 5000), 128 + SIGTERM) << "the smsd that ran was not stopped";
    // smsd is stopped by the daemon, and the pid left for the script to read is removed.
    EXPECT_EQ(box.syslog().count(warning), 2);
}

TEST(SmsdPidFile, AFifoAtThePidFilesPathDoesNotStallTheRestart)
{
    Box box;
    box.plug("gsmmodem1");
    Daemon daemon(box);
    const std::string pid_file = box.hostPath("/run/smstools/smsd.pid");
    killSmsd(box);
    ASSERT_EQ(unlink(pid_file.c_str()), 0);
    ASSERT_EQ(mkfifo(pid_file.c_str(), 0644), 0);
    box.plug("gsmmodem2");
    ASSERT_TRUE(daemon.pass()) << "the pass stalled on the FIFO: " << daemon.lastLine();
    struct stat info {};
    ASSERT_EQ(lstat(pid_file.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << "smstools' start wrote a pid file of its own";
    EXPECT_EQ(samples(box)["modemwatchd_smsd_running"], "1");
    EXPECT_EQ(box.syslog()
                  .waitFor("Removed /run/smstools/smsd.pid before it reached smstools' init script: it is no regular file")
                  .priority,
              28);
}

TEST(SmsdPidFile, AnSmsdThatDiesSoonAfterEachStartIsRestartedLessAndLessOften)
{
    Box box;
    box.plug("gsmmodem1");
    writeFile(box.root() + "/smsd.lives", "2");  // each smsd started dies 2 s later
    Daemon daemon(box);
    // Five passes, each after the last smsd has died: restarts after 1, 2 and 4 passes.
    for (int pass = 1; pass <= 5; ++pass) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2300));
        ASSERT_TRUE(daemon.pass());
    }
    EXPECT_EQ(samples(box)[kRevivals], "3");
    unlink((box.root() + "/smsd.lives").c_str());
}

// What a daemon killed in the middle of a restart leaves: smstools' run directory aside and the
// empty stand-in in its place. The next restart puts smsd's own directory back before anything
// else. And an smsd that takes no SIGTERM (stopped, here) is killed when its time is up.
TEST(SmsdPidFile, ARunDirectoryLeftAsideIsPutBackAndAStuckSmsdIsKilled)
{
    Box box;
    box.plug("gsmmodem1");
    Daemon daemon(box);
    ASSERT_EQ(box.inside([] {
        return rename("/run/smstools", "/run/.smstools.modemwatchd") == 0 && mkdir("/run/smstools", 0700) == 0 &&
                       chmod("/run/smstools", 0700) == 0
                   ? 0
                   : 1;
    }), 0);
    writeFile(box.hostPath("/run/.smstools.modemwatchd/mark"), "");
    const pid_t smsd = std::atoi(readFile(box.hostPath("/run/.smstools.modemwatchd/smsd.pid")).c_str());
    ASSERT_GT(smsd, 0);
    kill(smsd, SIGSTOP);

    box.plug("gsmmodem2");
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(waitExit(smsd, 1000), 128 + SIGKILL) << "the stuck smsd was not killed";
    EXPECT_TRUE(fileExists(box.hostPath("/run/smstools/mark"))) << "smsd's run directory is not back";
    EXPECT_FALSE(fileExists(box.hostPath("/run/.smstools.modemwatchd")));
    EXPECT_EQ(samples(box)["modemwatchd_smsd_running"], "1");
    EXPECT_EQ(box.serviceCalls().size(), 4U);
    for (const SyslogMessage& message : box.syslog().messages()) {
        EXPECT_NE(message.text.rfind("Removed /run/smstools/smsd.pid", 0), 0U)
            << "the pid file of the smsd the daemon stopped is no stranger's: " << message.text;
    }
}

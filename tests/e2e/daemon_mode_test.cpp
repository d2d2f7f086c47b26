// Daemon mode: detaching, the locked pid file, and what the background process holds open.
#include "sandbox/daemon_run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

DaemonOptions daemonMode()
{
    DaemonOptions options;
    options.daemon_mode = true;
    return options;
}

bool lockedByAnother(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    const bool locked = lockf(fd, F_TEST, 0) != 0;
    close(fd);
    return locked;
}

// Runs a daemon launch to its end under strace and gives the exit status of each of its
// processes, sorted. Waiting for them is no use: the background process may end before the
// intermediate one, which ignores SIGCHLD, so the kernel reaps it and its status is gone.
std::vector<int> exitStatusesOf(Box& box, const std::vector<std::string>& args)
{
    const std::string trace = box.root() + "/run/exits";
    std::vector<std::string> command = daemonCommand(args);
    command.insert(command.begin(), {"strace", "-f", "-qq", "-e", "trace=exit_group", "-o", trace});
    EXPECT_EQ(waitExit(box.spawn(command)), 0);
    std::vector<int> statuses;
    std::stringstream lines(readFile(trace));
    for (std::string line; std::getline(lines, line);) {
        const size_t call = line.find("exit_group(");
        if (call != std::string::npos) {
            statuses.push_back(std::atoi(line.c_str() + call + 11));
        }
    }
    std::sort(statuses.begin(), statuses.end());
    return statuses;
}

} // namespace

TEST(DaemonMode, TheDaemonDetachesAndHoldsALockedPidFile)
{
    Box box;
    writeFile(box.root() + "/run/modemwatchd.pid", "1234567890123\nstale\n");
    Daemon daemon(box, daemonMode());  // waits for the launcher to exit 0
    const pid_t pid = daemon.pid();

    EXPECT_EQ(readFile(daemon.pidPath()), std::to_string(pid) + "\n") << "no tail of the old content";
    EXPECT_TRUE(lockedByAnother(daemon.pidPath()));
    EXPECT_NE(getsid(pid), getsid(0)) << "a session of its own";
    EXPECT_NE(getsid(pid), pid) << "no session leader, so it can never gain a terminal";
    EXPECT_EQ(procField(pid, "status", "Umask:"), "0000");
    char cwd[256] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(pid) + "/cwd").c_str(), cwd, sizeof cwd - 1), 0);
    EXPECT_STREQ(cwd, "/");
    // Created under a umask of 0, yet not writable by others.
    EXPECT_EQ(modeOf(daemon.logPath()), 0644U);
    EXPECT_TRUE(daemon.pass());
}

TEST(DaemonMode, ADaemonThatNeverStartsFailsItsTestAndNothingIsSignalled)
{
    Box box;
    DaemonOptions options = daemonMode();
    options.prefix = {"sh", "-c", "echo no daemon here; exit 1", "sh"};
    try {
        Daemon daemon(box, options);
        ADD_FAILURE() << "a Daemon without a process";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("no daemon here"), std::string::npos) << error.what();
    }
    EXPECT_EQ(waitExit(-1), -1);
    EXPECT_EQ(waitExit(0), -1);
}

TEST(DaemonMode, ANewPidFileIsReadableByItsGroupOnly)
{
    Box box;
    Daemon daemon(box, daemonMode());
    EXPECT_EQ(modeOf(daemon.pidPath()), 0640U);
}

TEST(DaemonMode, StandardDescriptorsLeadToDevNullAndNothingElseIsInherited)
{
    Box box;
    DaemonOptions options = daemonMode();
    // Hand the launcher descriptors it must not pass on.
    options.prefix = {"sh", "-c", "exec 7</dev/null 9>>" + box.root() + "/run/inherited; exec \"$@\"", "sh"};
    Daemon daemon(box, options);
    const std::string fd_dir = "/proc/" + std::to_string(daemon.pid()) + "/fd/";
    for (int fd : {0, 1, 2}) {
        struct stat info {};
        ASSERT_EQ(stat((fd_dir + std::to_string(fd)).c_str(), &info), 0) << fd;
        EXPECT_EQ(info.st_rdev, makedev(1, 3)) << fd << " is not /dev/null";
        const int flags = std::stoi(procField(daemon.pid(), "fdinfo/" + std::to_string(fd), "flags:"), nullptr, 8);
        EXPECT_EQ(flags & O_ACCMODE, fd == 0 ? O_RDONLY : O_WRONLY) << fd;
    }
    // Beyond those: the pid file, the log and the syslog socket, all closed on exec.
    int others = 0;
    for (int fd = 3; fd < 64; ++fd) {
        char target[512] = {};
        if (readlink((fd_dir + std::to_string(fd)).c_str(), target, sizeof target - 1) < 0) {
            continue;
        }
        ++others;
        const std::string what = target;
        EXPECT_TRUE(what == daemon.pidPath() || what == daemon.logPath() || what.rfind("socket:", 0) == 0) << what;
        const int flags = std::stoi(procField(daemon.pid(), "fdinfo/" + std::to_string(fd), "flags:"), nullptr, 8);
        EXPECT_NE(flags & O_CLOEXEC, 0) << what << " would leak into smsd";
    }
    EXPECT_EQ(others, 3);
}

TEST(DaemonMode, StartUpClosesInheritedDescriptorsInOneCall)
{
    // One close() per possible descriptor takes seconds at a limit of 1,048,576; the count of
    // close() calls up to the pid file's write shows which way it was done.
    Box box;
    const std::string trace = box.root() + "/run/closes";
    std::vector<std::string> command = daemonCommand({"-d", "-p", box.root() + "/run/x.pid", "-l", box.root() + "/run/x.log"});
    command.insert(command.begin(), {"strace", "-f", "-qq", "-e", "trace=close,close_range,pwrite64", "-o", trace});
    box.spawn(command);
    ASSERT_TRUE(waitUntil([&] { return readFile(trace).find(" pwrite64(") != std::string::npos; }));
    std::stringstream lines(readFile(trace));
    int closes = 0;
    int ranges = 0;
    for (std::string line; std::getline(lines, line) && line.find(" pwrite64(") == std::string::npos;) {
        closes += line.find(" close(") != std::string::npos;
        ranges += line.find(" close_range(3, ") != std::string::npos;
    }
    EXPECT_EQ(ranges, 1);
    EXPECT_LT(closes, 32);
}

TEST(DaemonMode, ASecondInstanceGivesUpWhileTheFirstRunsOn)
{
    Box box;
    Daemon first(box, daemonMode());
    const std::string pid_text = readFile(first.pidPath());

    // The launcher and the intermediate process exit 0, the background one 1 on finding the
    // lock taken.
    EXPECT_EQ(exitStatusesOf(box, {"-d", "-p", first.pidPath(), "-l", box.root() + "/run/second.log"}),
              (std::vector<int>{0, 0, 1}));

    EXPECT_FALSE(fileExists(box.root() + "/run/second.log"));
    EXPECT_EQ(readFile(first.pidPath()), pid_text);
    EXPECT_TRUE(first.pass());
    EXPECT_EQ(box.syslog().count("Started " + daemonBinary()), 1);
}

TEST(DaemonMode, SigintRemovesThePidFileAndSigtermLeavesIt)
{
    Box box;
    {
        Daemon daemon(box, daemonMode());
        EXPECT_EQ(daemon.stop(), 0);
        EXPECT_FALSE(fileExists(daemon.pidPath()));
        EXPECT_EQ(textOf(daemon.lines().back()), "Debug: stopping daemon ...");
        EXPECT_EQ(box.syslog().waitFor("Stopped " + daemonBinary()).priority, 30);
    }
    {
        Daemon daemon(box, daemonMode());
        kill(daemon.pid(), SIGTERM);
        EXPECT_EQ(daemon.waitForExit(), 128 + SIGTERM);
        EXPECT_EQ(readFile(daemon.pidPath()), std::to_string(daemon.pid()) + "\n");
    }
}

TEST(DaemonMode, RelativePathsAreTakenFromTheRootDirectory)
{
    Box box;
    const std::string relative = box.root().substr(1) + "/run/";
    const std::string elsewhere = box.root() + "/run/elsewhere";
    mkdir(elsewhere.c_str(), 0755);
    SpawnOptions options;
    options.cwd = elsewhere;
    const pid_t launcher = box.spawn(daemonCommand({"-d", "-p", relative + "rel.pid", "-l", relative + "rel.log"}), options);
    EXPECT_EQ(waitExit(launcher), 0);
    EXPECT_TRUE(waitUntil([&] { return readFile(box.root() + "/run/rel.log").find("Checking modemstatus") != std::string::npos; }));
    const pid_t pid = std::atoi(readFile(box.root() + "/run/rel.pid").c_str());
    ASSERT_GT(pid, 0);
    kill(pid, SIGINT);
    EXPECT_EQ(waitExit(pid), 0);
    EXPECT_FALSE(fileExists(box.root() + "/run/rel.pid"));
    EXPECT_FALSE(fileExists(elsewhere + "/" + relative + "rel.log"));
}

TEST(DaemonMode, APidFileThatCannotBeCreatedEndsTheDaemonWithNothingLeftBehind)
{
    Box box;
    EXPECT_EQ(exitStatusesOf(box, {"-d", "-p", box.root() + "/run/missing/x.pid", "-l", box.root() + "/run/x.log"}),
              (std::vector<int>{0, 0, 1}));
    EXPECT_FALSE(fileExists(box.root() + "/run/missing"));
    EXPECT_FALSE(fileExists(box.root() + "/run/x.log"));
    EXPECT_TRUE(box.syslog().messages().empty());
}

TEST(HostileBox, APidFileThatIsALinkOrNotARegularFileEndsTheDaemon)
{
    Box box;
    const std::string target = box.root() + "/run/target";
    const std::string link_path = box.root() + "/run/link.pid";
    const std::string fifo_path = box.root() + "/run/fifo.pid";
    writeFile(target, "someone's data\n");
    ASSERT_EQ(symlink(target.c_str(), link_path.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo_path.c_str(), 0644), 0);
    for (const std::string& path : {link_path, fifo_path}) {
        EXPECT_EQ(exitStatusesOf(box, {"-d", "-p", path, "-l", box.root() + "/run/x.log"}),
                  (std::vector<int>{0, 0, 1}))
            << path;
    }
    EXPECT_EQ(readFile(target), "someone's data\n");
    EXPECT_FALSE(fileExists(box.root() + "/run/x.log"));
}

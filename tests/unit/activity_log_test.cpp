// The activity log's own rules: appending, file modes, fallback and reopening.
#include "log/activity_log.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string readAll(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class ActivityLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/activity_log_test.XXXXXX";
        directory_ = mkdtemp(templ);
        path_ = directory_ + "/activity.log";
    }
    void TearDown() override
    {
        closeLogFile();
        unlink(path_.c_str());
        rmdir(directory_.c_str());
    }
    std::string directory_;
    std::string path_;
};

} // namespace

TEST_F(ActivityLog, TimestampsHaveTheFixedShape)
{
    const std::string stamp = gettimestamp();
    ASSERT_EQ(stamp.size(), 19U);
    for (size_t i : {4U, 7U}) {
        EXPECT_EQ(stamp[i], '-');
    }
    EXPECT_EQ(stamp[10], ' ');
    EXPECT_EQ(stamp[13], ':');
    EXPECT_EQ(stamp[16], ':');
}

TEST_F(ActivityLog, AppendsToAnExistingFileAndCreatesANewOneNotWritableByOthers)
{
    const mode_t old_mask = umask(0);
    openLogfile(path_.c_str());
    umask(old_mask);
    struct stat info {};
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644U);
    logLine("first %d", 1);
    closeLogFile();

    openLogfile(path_.c_str());
    logLine("%s", "second");
    flushLogfile(path_.c_str());
    const std::string text = readAll(path_);
    // The two lines may fall in two seconds (under emulation they do, now and then): what follows
    // each timestamp is compared.
    ASSERT_GE(text.size(), 48U) << text;
    EXPECT_EQ(text.substr(19, 10) + text.substr(48), ": first 1\n: second\n") << text;
}

TEST_F(ActivityLog, FallsBackToStandardOutputWhenTheFileCannotBeOpened)
{
    openLogfile((directory_ + "/missing/x.log").c_str());
    EXPECT_EQ(logSink(), stdout);
    openLogfile(nullptr);
    EXPECT_EQ(logSink(), stdout);
}

TEST_F(ActivityLog, AFailedHeartbeatReopensTheFileForTheRestOfThePass)
{
    openLogfile(path_.c_str());
    FILE* broken = logSink();
    // Make the next write fail at once: no buffer, and no descriptor under it.
    setvbuf(broken, nullptr, _IONBF, 0);
    close(fileno(broken));
    writeHeartbeat(path_.c_str());
    EXPECT_NE(logSink(), stdout);
    logLine("after the reopen");
    flushLogfile(path_.c_str());
    const std::string text = readAll(path_);
    EXPECT_EQ(text.substr(19), ": after the reopen\n");
}

// Reading smsd's log a piece at a time, across rotation and truncation, never through a link,
// and what its lines say of the modems.
#include "health/port_health.hpp"
#include "smstools/message_queue.hpp"
#include "smstools/smsd_log.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class LogFollower : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/smsd_log_test.XXXXXX";
        directory_ = mkdtemp(templ);
        path_ = directory_ + "/smsd.log";
    }
    void TearDown() override { static_cast<void>(std::system(("rm -rf " + directory_).c_str())); }
    void append(const std::string& text) const { std::ofstream(path_, std::ios::app) << text; }
    std::vector<std::string> read(size_t limit = kSmsdLogReadLimit) { return readNewLines(path_.c_str(), at_, limit); }
    std::string directory_;
    std::string path_;
    LogPosition at_;
};

using Lines = std::vector<std::string>;

} // namespace

TEST_F(LogFollower, ReadsOnlyWhatCameSinceAcrossRotationAndTruncation)
{
    append("said before the daemon started\n");
    EXPECT_EQ(read(), Lines{}) << "what was there at the first read is nobody's word now";
    append("one\ntwo\nthree, cut at the end of a rea");
    EXPECT_EQ(read(), (Lines{"one", "two"}));
    append("d\n");
    EXPECT_EQ(read(), Lines{"three, cut at the end of a read"});

    // Cut in place (copytruncate), then written again: read from the start.
    ASSERT_EQ(truncate(path_.c_str(), 0), 0);
    append("after the cut\n");
    EXPECT_EQ(read(), Lines{"after the cut"});

    // Renamed away and a new file made (rotation by rename): the new file from its start.
    ASSERT_EQ(rename(path_.c_str(), (path_ + ".1").c_str()), 0);
    append("in the new file\n");
    EXPECT_EQ(read(), Lines{"in the new file"});

    // Moved past everything there now, then a file made later: that one from its start.
    skipToEnd(path_.c_str(), at_);
    append("skipped over? no, written after the skip\n");
    EXPECT_EQ(read(), Lines{"skipped over? no, written after the skip"});
    unlink(path_.c_str());
    skipToEnd(path_.c_str(), at_);
    append("a log made after the skip\n");
    EXPECT_EQ(read(), Lines{"a log made after the skip"});
}

TEST_F(LogFollower, ALinkIsNotFollowedAndAHugeFileIsReadAPieceAtATime)
{
    append("");
    read();
    // smsd's user swaps the log for a link to a file only root may read.
    const std::string secret = directory_ + "/secret";
    std::ofstream(secret) << "root's secret\n";
    unlink(path_.c_str());
    ASSERT_EQ(symlink(secret.c_str(), path_.c_str()), 0);
    EXPECT_EQ(read(), Lines{});
    unlink(path_.c_str());

    // A sparse file of a gigabyte after the position: one bounded read of its newest bytes, and
    // what is written after the hole is read at once.
    append("");
    read();
    ASSERT_EQ(truncate(path_.c_str(), off_t{1} << 30), 0);
    EXPECT_EQ(read(4096), Lines{}) << "no end of line in a whole read: skipped";
    EXPECT_EQ(at_.offset, off_t{1} << 30);
    ASSERT_EQ(truncate(path_.c_str(), off_t{1} << 31), 0);
    append("\nthe next line\n");
    EXPECT_EQ(read(4096), Lines{"the next line"});
    ASSERT_EQ(truncate(path_.c_str(), 0), 0);  // back to something small
    append("small again\n");
    EXPECT_EQ(read(), Lines{"small again"});
}

TEST_F(LogFollower, ACutInPlaceIsToldWhateverItsLengthAndOnlyTheNewestBytesAreRead)
{
    append("");
    read();
    append("GSM1: CMD: AT+CSQ: +CSQ: 20,0 OK\n");
    EXPECT_EQ(read().size(), 1U);
    // copytruncate, then more bytes than the old length before the next read: from the start.
    ASSERT_EQ(truncate(path_.c_str(), 0), 0);
    append("GSM3: Modem is not ready to answer commands\nGSM3: and more than was there before\n");
    EXPECT_EQ(read(), (Lines{"GSM3: Modem is not ready to answer commands", "GSM3: and more than was there before"}));

    // A megabyte of chatter, then what matters: read in the same pass, the chatter's cut line dropped.
    std::string chatter;
    while (chatter.size() < (1U << 20)) {
        chatter += "GSM2: CMD: AT+CSQ: +CSQ: 20,0 OK\n";
    }
    append(chatter + "GSM1: Modem is not ready to answer commands\n");
    const Lines lines = read(4096);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "GSM2: CMD: AT+CSQ: +CSQ: 20,0 OK") << "no line cut in two";
    EXPECT_EQ(lines.back(), "GSM1: Modem is not ready to answer commands");
    EXPECT_EQ(read(), Lines{});
}

TEST(SmsdLogLine, PortTimeAndText)
{
    SmsdLogLine line;
    ASSERT_TRUE(parseSmsdLogLine("2026-12-07 23:07:43.086,3, GSM12: Modem is not ready to answer commands (Timeouts: 23)", line));
    EXPECT_EQ(line.port, 12);
    EXPECT_EQ(line.text, "Modem is not ready to answer commands (Timeouts: 23)");
    struct tm when {};
    const std::time_t time = line.time;
    localtime_r(&time, &when);
    EXPECT_EQ(when.tm_hour * 3600 + when.tm_min * 60 + when.tm_sec, 23 * 3600 + 7 * 60 + 43);
    ASSERT_TRUE(parseSmsdLogLine("2026-12-07 22:55:39.338,2, smsd: Smsd mainprocess terminated.", line));
    EXPECT_EQ(line.port, 0);
    for (const char* other : {"", "garbage", "2026-12-07 23:07:43", "2026-12-07 23:07:43.086,3, GSM: x",
                              "2026-1x-07 23:07:43.086,3, GSM1: x"}) {
        EXPECT_FALSE(parseSmsdLogLine(other, line)) << other;
    }
}

TEST(PortHealth, WhatSmsdSaysOfAModemThatDoesNotAnswer)
{
    // As the real smsd 3.1 writes them: timeouts while it runs, no answer to its start, a
    // device gone.
    for (const char* text : {"Modem is not ready to answer commands (Timeouts: 23)",
                             "Modem did not accept the second init string", "Modem did not accept the init string",
                             "write_to_modem: error 5: Input/output error"}) {
        EXPECT_TRUE(saysNotAnswering(text)) << text;
    }
    for (const char* text : {"IMEI: 358240051111110", "Modem handler 0 has started. PID: 481.", "SMS received"}) {
        EXPECT_FALSE(saysNotAnswering(text)) << text;
    }
}

TEST(PortHealth, AnAnswerIsAfterAHangWhenALaterPassReadItWhateverTimeSmsdPrinted)
{
    // smsd's printed times at the end of summer time: the answer, written 20 minutes after the
    // hang, carries a time 40 minutes before it.
    const std::time_t hung_at = 1'800'000'000;
    const std::time_t printed_answer = hung_at - 40 * 60;
    const std::vector<std::string> devices = {"gsmmodem-a"};
    const RunLogAnswer before_the_hang{1, 7, 100, hung_at - 3600};
    PortHealths health;
    judgePorts(devices, {}, {before_the_hang}, 1000, health);
    judgePorts(devices, {{hung_at, 1, "Modem is not ready to answer commands"}}, {before_the_hang}, 1030, health);
    EXPECT_FALSE(portHealth(health, "gsmmodem-a").answering) << "an answer read before the hang is no answer now";
    judgePorts(devices, {}, {before_the_hang}, 1060, health);
    EXPECT_FALSE(portHealth(health, "gsmmodem-a").answering);
    judgePorts(devices, {}, {RunLogAnswer{1, 7, 200, printed_answer}}, 2230, health);
    EXPECT_TRUE(portHealth(health, "gsmmodem-a").answering);

    // Both read in the same pass: smsd's printed times tell the order.
    judgePorts(devices, {{hung_at + 100, 1, "Modem is not ready to answer commands"}},
               {RunLogAnswer{1, 7, 300, hung_at + 90}}, 2260, health);
    EXPECT_FALSE(portHealth(health, "gsmmodem-a").answering);
    judgePorts(devices, {{hung_at + 200, 1, "Modem is not ready to answer commands"}},
               {RunLogAnswer{1, 7, 400, hung_at + 210}}, 2290, health);
    EXPECT_TRUE(portHealth(health, "gsmmodem-a").answering);
}

TEST(PortHealth, AModemAnsweringSmsdsStartAfterAHangInTheSameLogAnswers)
{
    const std::vector<std::string> devices = {"gsmmodem-a"};
    PortHealths health;
    judgePorts(devices, {}, {std::nullopt}, 1000, health);
    EXPECT_LT(portHealth(health, "gsmmodem-a").answer_read, 0) << "no answer seen yet";
    // In the order smsd wrote them, whatever their printed times.
    judgePorts(devices,
               {{2000, 1, "Modem is not ready to answer commands (Timeouts: 22)"}, {1990, 1, "IMEI: 358240051111110"}},
               {std::nullopt}, 1030, health);
    EXPECT_TRUE(portHealth(health, "gsmmodem-a").answering);
    EXPECT_EQ(portHealth(health, "gsmmodem-a").answer_read, 1030);
    judgePorts(devices, {{1995, 1, "IMSI: 244051234567890"}, {2001, 1, "Modem did not accept the init string"}},
               {std::nullopt}, 1060, health);
    EXPECT_FALSE(portHealth(health, "gsmmodem-a").answering);
}

TEST(PortHealth, MessagesAndWhyAPortDoesNotMoveThemFromWhatSmsdLogs)
{
    // smsd 3.1's own lines at loglevel 5, as Debian's smsd wrote them against simulated modems.
    struct Case {
        std::vector<std::string> said;  // port 1's lines, in order
        const char* expected;           // sent/failed/received cause "words"
    };
    const std::string refused = "The modem answer was not OK: ";
    const std::string gave_up = "Sending SMS to 358401111111 failed, trying time 8 sec. Retries: 2.";
    const std::string init = "Modem did not accept the second init string";
    const Case cases[] = {
        {{"SMS sent, Message_id: 17, To: 358401111111, sending time 1 sec.", "SMS received, From: 35840123456"},
         "1/0/1 - \"\""},
        {{refused + "+CMS ERROR: 38 (Network out of order)", "Waiting 3 sec. before retrying",
          refused + "+CMS ERROR: 38 (Network out of order)", gave_up},
         "0/1/0 rejected \"+CMS ERROR: 38 (Network out of order)\""},
        // A retry that went through is no failure.
        {{refused + "+CMS ERROR: 331 (No network service)", "SMS sent, Message_id: 3, To: 1, sending time 4 sec."},
         "1/0/0 - \"\""},
        {{refused + "+CMS ERROR: 331 (No network service)", gave_up}, "0/1/0 network \"+CMS ERROR: 331 (No network service)\""},
        {{refused + "+CME ERROR: 30 (No network service)", gave_up}, "0/1/0 network \"+CME ERROR: 30 (No network service)\""},
        {{refused + "+CMS ERROR: 311 ((U)SIM PIN required)", gave_up}, "0/1/0 sim \"+CMS ERROR: 311 ((U)SIM PIN required)\""},
        {{refused + "+CME ERROR: 10 (SIM not inserted)", gave_up}, "0/1/0 sim \"+CME ERROR: 10 (SIM not inserted)\""},
        {{refused + "+CMS ERROR: 322 (Memory full)", gave_up}, "0/1/0 storage_full \"+CMS ERROR: 322 (Memory full)\""},
        {{refused + "+CMS ERROR: 500 (Unknown error)", gave_up}, "0/1/0 rejected \"+CMS ERROR: 500 (Unknown error)\""},
        {{refused + "ERROR", gave_up}, "0/1/0 rejected \"ERROR\""},
        {{init + ", SIM not inserted"}, "0/0/0 sim \"SIM not inserted\""},
        {{init + ", SIM PIN required"}, "0/0/0 sim \"SIM PIN required\""},
        {{init + ", SIM failure"}, "0/0/0 sim \"SIM failure\""},
        // Without smsd's explanation the modem is as silent as it always was.
        {{init}, "0/0/0 not_answering \"\""},
        // The newest word wins; a message received ends a refusal.
        {{refused + "+CMS ERROR: 38 (Network out of order)", gave_up, "Modem is not ready to answer commands"},
         "0/1/0 not_answering \"+CMS ERROR: 38 (Network out of order)\""},
        {{refused + "+CMS ERROR: 38 (Network out of order)", gave_up, "SMS received, From: 1"},
         "0/1/1 - \"+CMS ERROR: 38 (Network out of order)\""},
        {{init + ", SIM not inserted", "IMEI: 358240051111110", "IMSI: 244051234567890"}, "0/0/0 - \"SIM not inserted\""},
    };
    for (const Case& c : cases) {
        PortHealths health;
        std::vector<SmsdLogLine> said;
        for (const std::string& text : c.said) {
            said.push_back({1'800'000'000, 1, text});
        }
        judgePorts({"gsmmodem1"}, said, {std::nullopt}, 1000, health);
        const PortHealth port = portHealth(health, "gsmmodem1");
        const PortCause cause = portCause(port);
        const std::string summary = std::to_string(port.sent) + "/" + std::to_string(port.send_failures) + "/" +
                                    std::to_string(port.received) + " " +
                                    (cause == PortCause::none ? "-" : portCauseName(cause)) + " \"" +
                                    port.last_failure + "\"";
        EXPECT_EQ(summary, c.expected) << c.said.front();
    }
}

TEST_F(LogFollower, TheQueueIsCountedByNameAndLstatUpToItsBound)
{
    const std::string outgoing = directory_ + "/outgoing";
    const std::string queue = directory_ + "/GSM1";
    mkdir(outgoing.c_str(), 0755);
    mkdir(queue.c_str(), 0755);
    std::ofstream(outgoing + "/old");
    std::ofstream(queue + "/new");
    std::ofstream(queue + "/new.LOCK");
    mkdir((queue + "/directory").c_str(), 0755);
    symlink("/etc/passwd", (queue + "/link").c_str());
    mkfifo((queue + "/fifo").c_str(), 0600);
    const timespec times[2] = {{0, UTIME_OMIT}, {1'700'000'000, 0}};
    utimensat(AT_FDCWD, (outgoing + "/old").c_str(), times, 0);

    QueueReading reading = readQueue({outgoing, queue, directory_ + "/missing"});
    EXPECT_EQ(reading.waiting, 2);
    EXPECT_EQ(reading.oldest, 1'700'000'000);
    EXPECT_TRUE(reading.complete);
    // A link in a directory's place is not followed.
    symlink(queue.c_str(), (directory_ + "/linked").c_str());
    EXPECT_EQ(readQueue({directory_ + "/linked"}).waiting, 0);
    // Past the bound the count stops and says so.
    reading = readQueue({outgoing, queue}, 3);
    EXPECT_FALSE(reading.complete);
    EXPECT_LE(reading.waiting, 2);
}

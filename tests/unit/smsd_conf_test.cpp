// The generated smsd.conf, byte for byte, and the port count the probe reads back from it.
#include "smstools/smsd_conf.hpp"
#include "supervision/smsd_probes.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

ModemSlots slotsOf(std::initializer_list<std::string> names)
{
    ModemSlots slots;
    size_t k = 0;
    for (const std::string& name : names) {
        slots[k++] = name;
    }
    return slots;
}

ModemSlots numberedSlots(int count, const char* format)
{
    ModemSlots slots;
    for (int k = 0; k < count; ++k) {
        char name[64];
        std::snprintf(name, sizeof name, format, k);
        slots[k] = name;
    }
    return slots;
}

// Counts the ports of `text` with the very pipeline the daemon runs on /etc/smsd.conf.
int countPortsOf(const std::string& text)
{
    char path[] = "/tmp/smsd_conf_test.XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    FILE* pipeline = popen(configCountCommand(path).c_str(), "r");
    int lines = 0;
    for (int c; (c = std::fgetc(pipeline)) != EOF;) {
        lines += c == '\n';
    }
    pclose(pipeline);
    unlink(path);
    return lines;
}

int lineCount(const std::string& text)
{
    int lines = 0;
    for (const char c : text) {
        lines += c == '\n';
    }
    return lines;
}

} // namespace

TEST(SmsdConf, MatchesTheGoldenFilesByteForByte)
{
    EXPECT_EQ(smsdConfText(ModemSlots{}, 0), readFile(GOLDEN_DIR "/smsd_0.conf"));
    EXPECT_EQ(smsdConfText(slotsOf({"gsmmodemA", "gsmmodemB"}), 2), readFile(GOLDEN_DIR "/smsd_2.conf"));
    ModemSlots eleven;
    for (int k = 0; k < 11; ++k) {
        eleven[k] = "gsmmodem" + std::to_string(k + 1);
    }
    EXPECT_EQ(smsdConfText(eleven, 11), readFile(GOLDEN_DIR "/smsd_11.conf"));
    EXPECT_EQ(smsdConfText(numberedSlots(30, "ttyUSB-gsmmodem%02d"), 30), readFile(GOLDEN_DIR "/smsd_30.conf"));
}

TEST(SmsdConf, HasSixtyThreePlusSevenLinesPerPortAndIgnoresSlotsBeyondTheCount)
{
    const ModemSlots full = numberedSlots(30, "gsmmodem%d");
    for (int n : {0, 1, 9, 10, 29, 30}) {
        const std::string text = smsdConfText(full, n);
        EXPECT_EQ(lineCount(text), 63 + 7 * n) << n;
        EXPECT_EQ(text.find("[GSM" + std::to_string(n + 1) + "]"), std::string::npos) << n;
        EXPECT_EQ(text.back(), '\n');
    }
}

TEST(SmsdConf, EveryPortSharesTheFirstPortsEventHandler)
{
    const std::string text = smsdConfText(numberedSlots(30, "gsmmodem%d"), 30);
    EXPECT_NE(text.find("\neventhandler = /etc/sms/scripts/eventhandlerGSM1.sh\n"), std::string::npos);
    EXPECT_EQ(text.find("eventhandlerGSM2"), std::string::npos);
}

TEST(ConfigCount, ReadsBackThePortCountOfEveryGeneratedFile)
{
    const ModemSlots full = numberedSlots(30, "gsmmodem%d");
    for (int n : {0, 2, 9, 10, 11, 30}) {
        EXPECT_EQ(countPortsOf(smsdConfText(full, n)), n) << n;
    }
}

TEST(ConfigCount, CountsGsmTwoCharactersAndEqualsSign)
{
    EXPECT_EQ(countPortsOf("GSM1=x\n"), 0);
    EXPECT_EQ(countPortsOf("GSM1 =x\n"), 1);
    EXPECT_EQ(countPortsOf("gsm12=x\nGSM12=x\nGSM12 = x\nGSM1 = x\n"), 2);
}

// Counting receiving and blocked ports in smsd's status file, whatever the file holds.
#include "smstools/status_file.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// The counting itself, with no limit on how much is read.
PortStates countText(const std::string& text, size_t limit = SIZE_MAX)
{
    FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (text.empty()) {
        file = std::fopen("/dev/null", "r");
    }
    const PortStates states = countPortStates(file, limit);
    std::fclose(file);
    return states;
}

void expectCounts(const std::string& text, int receiving, int blocked)
{
    const PortStates states = countText(text);
    EXPECT_EQ(states.receiving, receiving) << text.substr(0, 80);
    EXPECT_EQ(states.blocked, blocked) << text.substr(0, 80);
    EXPECT_FALSE(states.read_error);
}

} // namespace

TEST(StatusCount, OnlyLinesNamingAPortCount)
{
    expectCounts("GSM1: Receiving, 1\nGSM2: Receiving, 2\nGSM3: Blocked, 3\nStatus: Blocked, all\n", 2, 1);
    expectCounts("", 0, 0);
    expectCounts("gsm1: Receiving,\nGSM1: receiving,\nGSM1: Receiving\nGSM1: Blocked\n", 0, 0);
}

TEST(StatusCount, ALineWithBothWordsIsReceiving)
{
    expectCounts("GSM1: Blocked, Receiving,\n", 1, 0);
    expectCounts("Receiving, GSM1 Blocked,\n", 1, 0);
}

TEST(StatusCount, WordsAreFoundAnywhereOnTheirOwnLineOnly)
{
    expectCounts("GSM1: Receiving,", 1, 0);  // no newline at the end
    expectCounts("GSM1:\r\nReceiving,\r\n", 0, 0);
    expectCounts("GGSM1: RReceivingReceiving, BBlocked,\n", 1, 0);
    expectCounts("GSGSM1: BlBlocked,\n", 0, 1);
    static const char kWithNuls[] = "GSM1: \0\0 Blocked,\n\0GSM2\0Receiving,\0";
    expectCounts(std::string(kWithNuls, sizeof kWithNuls - 1), 1, 1);
}

TEST(StatusCount, LongLinesAndWordsAcrossReadBoundariesAreCounted)
{
    for (size_t pad : {8180U, 8185U, 8190U, 8191U, 8192U, 16380U, 3000000U}) {
        expectCounts(std::string(pad, 'x') + "GSM1: Receiving,\n" + std::string(pad, 'y') + "GSM2 Blocked,\n", 1, 1);
    }
}

TEST(StatusCount, AFileThatCannotBeReadIsFlagged)
{
    FILE* directory = std::fopen("/", "r");
    ASSERT_NE(directory, nullptr);
    EXPECT_TRUE(countPortStates(directory).read_error);
    std::fclose(directory);
}

TEST(StatusCount, OnlyTheFirstMegabyteIsRead)
{
    const std::string port_line = "GSM1: Receiving,\n";
    const PortStates within = countText(std::string(kStatusReadLimit - port_line.size() - 1, 'x') + "\n" + port_line,
                                        kStatusReadLimit);
    EXPECT_EQ(within.receiving, 1);
    EXPECT_FALSE(within.cut_short);
    const PortStates beyond = countText(std::string(kStatusReadLimit, 'x') + "\n" + port_line, kStatusReadLimit);
    EXPECT_EQ(beyond.receiving, 0);
    EXPECT_TRUE(beyond.cut_short);
}

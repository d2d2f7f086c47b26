// When a modem is healed, how often, and when the daemon gives up on it: on a clock of the
// test's own.
#include "heal/heal.hpp"

#include <gtest/gtest.h>

namespace {

// What healing remembers, carried from pass to pass as the daemon's pass carries it.
HealState heals;

HealRecord healRecord(const std::string& device)
{
    return ::healRecord(heals, device);
}

PortObservation hung(const std::string& device, std::time_t since, std::time_t latest, const std::string& usb = "1-1@1:2")
{
    PortObservation port;
    port.device = device;
    port.health.answering = false;
    port.health.not_answering_since = since;
    port.health.last_not_answering = latest;
    port.usb_address = usb;
    return port;
}

PortObservation fine(const std::string& device)
{
    PortObservation port;
    port.device = device;
    port.usb_address = "1-2@1:3";
    return port;
}

// The steps of the heals planned at these times (boot-clock seconds), "-" where none.
std::string plan(const std::vector<PortObservation>& ports, double smsd_running_for, double now)
{
    std::vector<HealGivenUp> given_up;
    const std::vector<HealTarget> targets =
        portsToHeal(ports, smsd_running_for, now, static_cast<std::time_t>(now), heals, given_up);
    std::string steps;
    for (const HealTarget& target : targets) {
        steps += (steps.empty() ? "" : " ") + std::string("GSM") + std::to_string(target.port) + ":" +
                 usbResetStepName(target.step);
    }
    return steps.empty() ? "-" : steps;
}

} // namespace

TEST(Heal, NoneUntilSmsdHasRunTwoMinutesThenEachPortAtMostOnceInAWhile)
{
    enableHealing();
    const std::vector<PortObservation> ports = {fine("gsmmodem-ok"), hung("gsmmodem-hung", 1000, 1000)};
    EXPECT_EQ(plan(ports, 119, 2000), "-") << "smsd judges a port in its first two minutes";
    EXPECT_EQ(plan(ports, 120, 2000), "GSM2:reset") << "the other modem is never touched";
    EXPECT_EQ(plan(ports, 200, 2030), "-") << "healed, its outcome not known yet";
    // smsd says anew that it does not answer: the heal did not help; the next, harder, after 20 min.
    const std::vector<PortObservation> still = {fine("gsmmodem-ok"), hung("gsmmodem-hung", 1000, 2040)};
    EXPECT_EQ(plan(still, 200, 2060), "-");
    EXPECT_EQ(healRecord("gsmmodem-hung").not_answering, 1);
    EXPECT_EQ(plan(still, 600, 2000 + 1199), "-");
    EXPECT_EQ(plan(still, 600, 2000 + 1200), "GSM2:reauthorize");
    // No word from smsd for long enough after the heal counts as not helped too.
    EXPECT_EQ(plan(still, 600, 3200 + 149), "-");
    EXPECT_EQ(plan(still, 600, 3200 + 150), "-");
    EXPECT_EQ(healRecord("gsmmodem-hung").not_answering, 2);
    EXPECT_EQ(plan(still, 600, 3200 + 2399), "-");
    EXPECT_EQ(plan(still, 600, 3200 + 2400), "GSM2:power-cycle");
    // A third failure within a day: left alone, published as given up.
    const std::vector<PortObservation> again = {fine("gsmmodem-ok"), hung("gsmmodem-hung", 1000, 5700)};
    EXPECT_EQ(plan(again, 600, 5710), "-");
    EXPECT_TRUE(healRecord("gsmmodem-hung").given_up);
    EXPECT_EQ(plan(again, 600, 5710 + 86400 * 3), "-") << "given up stays given up";
    // Another device plugged into its place (its USB address changes): a new start.
    const std::vector<PortObservation> replugged = {fine("gsmmodem-ok"), hung("gsmmodem-hung", 1000, 5700, "1-1@1:9")};
    EXPECT_EQ(plan(replugged, 600, 5710 + 86400 * 3 + 1), "GSM2:reset");
    EXPECT_FALSE(healRecord("gsmmodem-hung").given_up);
}

TEST(Heal, AHealThatBringsTheModemBackStartsItsCountAgain)
{
    enableHealing();
    EXPECT_EQ(plan({hung("gsmmodem-back", 1000, 1000)}, 300, 2000), "GSM1:reset");
    EXPECT_EQ(plan({fine("gsmmodem-back")}, 10, 2030), "-");
    EXPECT_EQ(healRecord("gsmmodem-back").answering, 1);
    // Hangs again later: at most once in ten minutes, and the mildest step again.
    EXPECT_EQ(plan({hung("gsmmodem-back", 2300, 2300)}, 300, 2400), "-");
    EXPECT_EQ(plan({hung("gsmmodem-back", 2300, 2300)}, 300, 2600), "GSM1:reset");
}

TEST(Heal, ABlockedPortIsHealedToo)
{
    PortObservation blocked = fine("gsmmodem-blocked");
    blocked.blocked = true;
    enableHealing();
    EXPECT_EQ(plan({fine("gsmmodem-x"), blocked}, 300, 2000), "GSM2:reset");
    EXPECT_EQ(healRecord("gsmmodem-blocked").answering + healRecord("gsmmodem-blocked").not_answering, 0);
}

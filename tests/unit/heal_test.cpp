// Healing's state machine on a clock of the test's own: when a port is healed, how hard, how its
// step is judged, when healing gives up on it and what brings it back.
#include "heal/heal.hpp"
#include "heal/heal_limits.hpp"

#include <gtest/gtest.h>

namespace {

// One port of a box, pass by pass.
struct Port {
    HealState heals;
    std::vector<HealWithheld> withheld;  // every port ever withheld, in order
    PortObservation seen;
    double now = 10'000;  // CLOCK_BOOTTIME

    explicit Port(const std::string& device = "gsmmodem-a", const std::string& usb_name = "1-1")
    {
        seen.device = device;
        UsbDevice usb;
        usb.name = usb_name;
        usb.bus = 1;
        usb.address = 2;
        seen.usb = usb;
        seen.health.answer_read = now;  // it answered smsd when the daemon first looked
    }
    void hang() { seen.health.answering = false; }
    void answer()
    {
        seen.health.answering = true;
        seen.health.answer_read = now;
    }
    // A pass at `seconds` from the last: the step it hands out ("-" for none), smsd having run long.
    std::string pass(double seconds, std::vector<HealGivenUp>* given_up = nullptr)
    {
        now += seconds;
        std::vector<HealGivenUp> said;
        const std::vector<HealTarget> targets =
            portsToHeal({seen}, 600, now, heals, given_up ? *given_up : said, withheld);
        return targets.empty() ? "-" : usbResetStepName(targets.front().step);
    }
    void ran(HealOutcome::Kind kind, const std::string& why = "")
    {
        std::vector<HealGivenUp> said;
        healStepRan(heals, seen.device, {kind, why, now + 5}, said);
    }
    HealRecord record() const { return healRecord(heals, seen.device); }
};

} // namespace

TEST(Heal, AStepIsRecordedOnlyWhenItRan)
{
    Port port;
    port.hang();
    for (int pass = 0; pass < 5; ++pass) {
        EXPECT_EQ(port.pass(30), "reset") << "a step that never ran is neither judged nor escalated";
        port.ran(HealOutcome::not_run);
    }
    EXPECT_EQ(port.record().done + port.record().failed + port.record().not_answering, 0);
    EXPECT_FALSE(port.record().given_up);
    port.ran(HealOutcome::done);
    EXPECT_EQ(port.record().done, 1);
    EXPECT_EQ(port.record().last_outcome, "done");
}

TEST(Heal, AModemLeftInStorageModeIsAFailedStepOfItsOwnKindAndTheNextStepIsHarder)
{
    Port port;
    port.hang();
    EXPECT_EQ(port.pass(30), "reset");
    port.ran(HealOutcome::mode_switch, "USB device 1-1 in storage mode (12d1:1f01)");
    EXPECT_EQ(port.record().mode_switch, 1);
    EXPECT_EQ(port.record().failed + port.record().done, 0);
    EXPECT_EQ(port.record().last_outcome, "mode_switch: USB device 1-1 in storage mode (12d1:1f01)");
    EXPECT_EQ(port.pass(kHealLimits.backoff_seconds), "-") << "a failure doubles the time to the next step";
    EXPECT_EQ(port.pass(kHealLimits.backoff_seconds + 10), "reauthorize");
}

TEST(Heal, AModemTheStepMadeTheKernelEnumerateAnewIsJudgedOnItsNewAddress)
{
    Port port;
    port.hang();
    EXPECT_EQ(port.pass(30), "reset");
    port.ran(HealOutcome::done);
    port.seen.usb->address = 9;  // a power cycle, or a stick switched back from storage mode
    EXPECT_EQ(port.pass(30), "-");
    port.now += 30;
    port.answer();
    EXPECT_EQ(port.pass(0), "-");
    EXPECT_EQ(port.record().answering, 1);

    // Another model plugged in its place while the step is judged: a new start, not judged as
    // the step's, whose own silence gets a step without the first one's wait.
    Port swapped;
    swapped.seen.usb->product = "1001";
    swapped.hang();
    EXPECT_EQ(swapped.pass(30), "reset");
    swapped.ran(HealOutcome::done);
    swapped.seen.usb->address = 9;
    swapped.seen.usb->product = "1003";
    EXPECT_EQ(swapped.pass(30), "-");
    swapped.now += 30;
    swapped.answer();
    EXPECT_EQ(swapped.pass(0), "-");
    EXPECT_EQ(swapped.record().answering, 0);
    swapped.hang();
    EXPECT_EQ(swapped.pass(30), "reset");
}

TEST(Heal, AStepIsJudgedByTheModemAnsweringAfterItWhateverSmsdSaidWhileItStarted)
{
    Port port;
    port.hang();
    EXPECT_EQ(port.pass(30), "reset");
    port.ran(HealOutcome::done);
    // smsd, restarted, says "not ready" while the modem boots: no verdict yet.
    EXPECT_EQ(port.pass(30), "-");
    EXPECT_EQ(port.pass(30), "-");
    port.now += 30;
    port.answer();
    EXPECT_EQ(port.pass(0), "-");
    EXPECT_EQ(port.record().answering, 1);
    EXPECT_EQ(port.record().not_answering, 0);
    // An unrelated hang hours later starts again at the mildest step.
    port.hang();
    EXPECT_EQ(port.pass(4 * 3600), "reset");
}

TEST(Heal, NoAnswerInTheWindowIsAFailureTheNextStepHarderAndLaterThreeGiveUp)
{
    Port port;
    port.hang();
    std::vector<HealGivenUp> given_up;
    const char* const steps[] = {"reset", "reauthorize", "power-cycle"};
    for (const char* step : steps) {
        std::string handed = "-";
        for (int pass = 0; pass < 200 && handed == "-"; ++pass) {
            handed = port.pass(30, &given_up);
        }
        EXPECT_EQ(handed, step);
        port.ran(HealOutcome::done);
        EXPECT_EQ(port.pass(kHealLimits.judge_seconds - 10, &given_up), "-") << "still in its window";
    }
    for (int pass = 0; pass < 10 && given_up.empty(); ++pass) {
        port.pass(30, &given_up);
    }
    ASSERT_EQ(given_up.size(), 1U);
    EXPECT_EQ(given_up.front().failures, 3U);
    EXPECT_TRUE(port.record().given_up);
    EXPECT_EQ(port.record().not_answering, 3);
    EXPECT_EQ(port.pass(86400 * 3), "-") << "given up stays given up";
}

TEST(Heal, AGiveUpIsLiftedByAnHourOfAnswersOrAnotherDeviceNotByOneLine)
{
    Port port;
    port.hang();
    std::vector<HealGivenUp> given_up;
    port.pass(30, &given_up);
    port.ran(HealOutcome::refused, "its hub does not switch its ports' power");
    EXPECT_TRUE(port.record().given_up);
    EXPECT_EQ(port.record().last_outcome, "refused: its hub does not switch its ports' power");
    // One forged answer, then silence again: still given up.
    port.answer();
    EXPECT_EQ(port.pass(60), "-");
    port.hang();
    EXPECT_EQ(port.pass(60), "-");
    EXPECT_TRUE(port.record().given_up);
    // Answering for an hour: watched again, from the mildest step.
    port.answer();
    EXPECT_EQ(port.pass(30), "-");
    EXPECT_EQ(port.pass(kHealLimits.answering_to_lift_seconds - 60), "-");
    EXPECT_TRUE(port.record().given_up) << "answering, but not for an hour yet";
    EXPECT_EQ(port.pass(60), "-");
    EXPECT_FALSE(port.record().given_up);
    port.hang();
    EXPECT_EQ(port.pass(30), "reset");

    // Another device in its place lifts it at once.
    Port replugged;
    replugged.hang();
    replugged.pass(30);
    replugged.ran(HealOutcome::refused, "no");
    ASSERT_TRUE(replugged.record().given_up);
    replugged.seen.usb->address = 9;
    EXPECT_EQ(replugged.pass(30), "-") << "the new device has not answered smsd yet";
    replugged.answer();
    replugged.hang();
    EXPECT_EQ(replugged.pass(30), "reset");
}

TEST(Heal, WhatIsNeverHealed)
{
    struct Case {
        const char* name;
        void (*change)(Port&);
        const char* expected;
        const char* given_up_why;
    };
    const Case cases[] = {
        {"a modem that answers", [](Port&) {}, "-", ""},
        {"a hung modem", [](Port& p) { p.hang(); }, "reset", ""},
        {"a blocked port of a modem that answers", [](Port& p) { p.seen.blocked = true; }, "reset", ""},
        {"a device that never answered smsd since it was plugged (a GPS, a UPS cable)",
         [](Port& p) {
             p.hang();
             p.seen.health.answer_read = -1;
         },
         "-", ""},
        {"no USB device behind the link", [](Port& p) {
             p.hang();
             p.seen.usb.reset();
         },
         "-", ""},
        {"a modem behind a USB-serial bridge",
         [](Port& p) {
             p.hang();
             p.seen.bridge = true;
         },
         "-", "it is behind a USB-serial bridge, which healing cannot reach through"},
    };
    for (const Case& c : cases) {
        Port port;
        c.change(port);
        std::vector<HealGivenUp> given_up;
        EXPECT_EQ(port.pass(30, &given_up), c.expected) << c.name;
        EXPECT_EQ(given_up.empty() ? "" : given_up.front().why, c.given_up_why) << c.name;
    }
}

TEST(Heal, TheLadderEndsAtReauthorizeWhereThePowerMayNotBeSwitched)
{
    Port port;
    port.seen.no_power_cycle_why = "network interface eth0 on the same hub";
    port.hang();
    std::vector<HealGivenUp> given_up;
    for (int round = 0; round < 2; ++round) {
        std::string handed = "-";
        for (int pass = 0; pass < 200 && handed == "-"; ++pass) {
            handed = port.pass(30, &given_up);
        }
        port.ran(HealOutcome::done);
    }
    for (int pass = 0; pass < 200 && given_up.empty(); ++pass) {
        EXPECT_EQ(port.pass(30, &given_up), "-") << "never a power cycle";
    }
    ASSERT_EQ(given_up.size(), 1U);
    EXPECT_EQ(given_up.front().why, "no power cycle: network interface eth0 on the same hub");
    EXPECT_EQ(port.record().refused, 1);
}

TEST(Heal, WhateverSmsdsFilesSayAPortGetsAFewStepsADayAndOnePortAPass)
{
    // smsd's user writes "not ready" and a forged answer after every step: each step "helps".
    Port port;
    int steps = 0;
    for (const double start = port.now; port.now - start < kHealLimits.day_seconds - 60;) {
        port.hang();
        if (port.pass(30) != "-") {
            ++steps;
            port.ran(HealOutcome::done);
            port.now += 10;
            port.answer();
        }
    }
    EXPECT_EQ(steps, static_cast<int>(kHealLimits.steps_a_day));

    Port two;
    PortObservation other = two.seen;
    other.device = "gsmmodem-b";
    two.hang();
    other.health = two.seen.health;
    std::vector<HealGivenUp> said;
    EXPECT_EQ(portsToHeal({two.seen, other}, 600, two.now + 30, two.heals, said, two.withheld).size(), 1U);

    // A bridge after the port that gets the pass's step is given up on in that pass all the same.
    other.bridge = true;
    EXPECT_EQ(portsToHeal({two.seen, other}, 600, two.now + 30, two.heals, said, two.withheld).size(), 1U);
    ASSERT_EQ(said.size(), 1U);
    EXPECT_EQ(said.front().device, "gsmmodem-b");
}

TEST(Heal, OnlyASilentModemOrALastingLossOfTheNetworkGetsAStep)
{
    struct Case {
        PortCause cause;
        bool answering;
        double lasted;          // seconds the cause has lasted at the pass
        const char* step;       // handed out, "-" for none
        const char* withheld;   // what the pass says, "" for nothing
    };
    const Case cases[] = {
        {PortCause::not_answering, false, 0, "reset", ""},
        {PortCause::network, true, 300, "-", ""},
        {PortCause::network, true, kHealLimits.network_seconds, "reset", ""},
        {PortCause::sim, true, 86400, "-", "its SIM is refused: SIM PIN required"},
        {PortCause::rejected, true, 86400, "-", "the network refuses its messages: SIM PIN required"},
        {PortCause::storage_full, true, 86400, "-", "its message store is full: SIM PIN required"},
        // A blocked port whose log names the SIM is no "blocked, heal it".
        {PortCause::sim, false, 0, "-", "its SIM is refused: SIM PIN required"},
    };
    for (const Case& c : cases) {
        Port port;
        port.seen.health.answering = c.answering;
        port.seen.health.last_failure = "SIM PIN required";
        port.seen.blocked = c.cause == PortCause::sim && !c.answering;
        port.seen.cause = c.cause;
        port.seen.cause_for = c.lasted;
        EXPECT_EQ(port.pass(30), c.step) << portCauseName(c.cause) << " for " << c.lasted << " s";
        ASSERT_EQ(port.withheld.size(), *c.withheld ? 1U : 0U) << portCauseName(c.cause) << ": said once";
        if (*c.withheld) {
            EXPECT_EQ(port.withheld.front().why, c.withheld);
        }
    }
}

// What a pass decides from what it measured and what earlier passes kept, and what it hands the
// next pass after acting: tables of cases, no box needed.
#include "supervision/act.hpp"
#include "supervision/decide.hpp"

#include <gtest/gtest.h>

namespace {

constexpr double kNow = 1'800'000'000;

// A box with two modems served by an smsd that has run for ten minutes, after a first pass.
Measurements quietBox()
{
    Measurements seen;
    seen.configured = 2;
    seen.present = 2;
    seen.slots[0] = "gsmmodem1";
    seen.slots[1] = "gsmmodem2";
    seen.ports.resize(2);
    seen.ports[0].device = "gsmmodem1";
    seen.ports[1].device = "gsmmodem2";
    for (PortSeen& port : seen.ports) {
        // Modems that have answered smsd, each on a USB device of its own.
        port.answer = RunLogAnswer{1, 2, 0, static_cast<std::time_t>(kNow) - 3600};
        port.usb = UsbDevice{};
        port.usb->name = "1-" + port.device;
        port.usb->bus = 1;
        port.usb->address = 2;
    }
    seen.smsd.running = true;
    seen.smsd.started.tv_sec = static_cast<std::time_t>(kNow) - 600;
    seen.wall = kNow;
    seen.smsd_signs = {kNow - 20, kNow - 20};  // a run log written by the regular command
    seen.boottime = 5000;
    return seen;
}

KeptState afterFirstPass()
{
    KeptState kept;
    kept.first_pass = false;
    kept.restart_owed = false;
    kept.passes = 10;
    return kept;
}

std::string summary(const Decision& decision)
{
    if (!decision.restart) {
        return std::string("-") + (decision.mismatch_line ? " line" : "");
    }
    std::string text = restartCauseName(decision.cause);
    text += decision.mismatch_line ? " line" : "";
    text += decision.needs_config ? " config" : "";
    for (const HealTarget& target : decision.heal) {
        text += " heal:GSM" + std::to_string(target.port) + ":" + usbResetStepName(target.step);
    }
    return text;
}

} // namespace

TEST(Decide, TheRestartAndItsCauseFromWhatThePassMeasured)
{
    struct Case {
        const char* name;
        void (*change)(Measurements&, KeptState&);
        const char* expected;
    };
    const Case cases[] = {
        {"first pass, all in line", [](Measurements&, KeptState& k) { k = KeptState{}; }, "first_pass config"},
        {"first pass, a modem more", [](Measurements& m, KeptState& k) { k = KeptState{}; m.present = 3; },
         "first_pass config"},
        {"quiet", [](Measurements&, KeptState&) {}, "-"},
        {"a modem plugged", [](Measurements& m, KeptState&) { m.present = 3; }, "modem_count_changed line config"},
        {"no smsd.conf", [](Measurements& m, KeptState&) { m.configured = -1; }, "modem_count_changed line config"},
        {"a port blocked", [](Measurements& m, KeptState&) { m.blocked = 1; }, "blocked_count_changed line config"},
        {"smsd died", [](Measurements& m, KeptState&) { m.smsd.running = false; }, "smsd_not_running"},
        {"smsd died, no modem",
         [](Measurements& m, KeptState&) {
             m.smsd.running = false;
             m.configured = m.present = 0;
         },
         "-"},
        {"smsd died, backing off",
         [](Measurements& m, KeptState& k) {
             m.smsd.running = false;
             k.next_revival_pass = 11;
         },
         "-"},
        {"owed, backing off",
         [](Measurements&, KeptState& k) {
             k.restart_owed = true;
             k.next_owed_pass = 11;
         },
         "-"},
        {"owed, due", [](Measurements&, KeptState& k) { k.restart_owed = true; k.next_owed_pass = 10; },
         "first_pass config"},
        {"owed, a change meanwhile",
         [](Measurements& m, KeptState& k) {
             k.restart_owed = true;
             k.next_owed_pass = 99;
             m.present = 1;
         },
         "modem_count_changed line config"},
        {"hung modem, healing off",
         [](Measurements& m, KeptState&) { m.smsd_said.push_back({1, 1, "Modem is not ready to answer commands"}); },
         "-"},
        {"hung modem, healing on",
         [](Measurements& m, KeptState&) {
             m.healing = true;
             m.smsd_said.push_back({static_cast<std::time_t>(kNow) - 60, 2, "Modem is not ready to answer commands"});
         },
         "heal heal:GSM2:reset"},
        {"hung modem, smsd just started",
         [](Measurements& m, KeptState&) {
             m.healing = true;
             m.smsd.started.tv_sec = static_cast<std::time_t>(kNow) - 60;
             m.smsd_said.push_back({static_cast<std::time_t>(kNow) - 30, 2, "Modem is not ready to answer commands"});
         },
         "-"},
        {"hung modem, and a modem plugged",
         [](Measurements& m, KeptState&) {
             m.healing = true;
             m.present = 3;
             m.smsd_said.push_back({static_cast<std::time_t>(kNow) - 60, 2, "Modem is not ready to answer commands"});
         },
         "modem_count_changed line config"},
        {"smsd still for 3 min",
         [](Measurements& m, KeptState&) { m.smsd_signs = {kNow - kSmsdQuietSeconds, kNow - kSmsdQuietSeconds}; }, "-"},
        {"smsd still for longer",
         [](Measurements& m, KeptState&) { m.smsd_signs = {kNow - kSmsdQuietSeconds - 1, kNow - 500}; }, "smsd_not_responding"},
        {"smsd still, backing off",
         [](Measurements& m, KeptState& k) {
             m.smsd_signs = {kNow - 300, kNow - 300};
             k.next_unresponsive_pass = 11;
         },
         "-"},
        {"smsd still, no port to serve",
         [](Measurements& m, KeptState&) {
             m.smsd_signs = {kNow - 300, kNow - 300};
             m.ports.clear();
             m.configured = m.present = 0;
         },
         "-"},
        {"smsd still, no run log written since its start",
         [](Measurements& m, KeptState&) { m.smsd_signs = {kNow - 3600, kNow - 7200}; }, "-"},
        {"smsd still, every modem hung or blocked",
         [](Measurements& m, KeptState&) {
             m.smsd_signs = {kNow - 300, kNow - 300};
             m.smsd_said.push_back({static_cast<std::time_t>(kNow) - 600, 1, "Modem is not ready to answer commands"});
             m.status.outcome = StatusReading::read;
             m.status.states.words[0] = "Receiving";
             m.status.states.words[1] = "Blocked";
         },
         "-"},
        {"smsd still, and a modem plugged",
         [](Measurements& m, KeptState&) {
             m.smsd_signs = {kNow - 300, kNow - 300};
             m.present = 3;
         },
         "modem_count_changed line config"},
        {"a port without a SIM, healing on",
         [](Measurements& m, KeptState&) {
             m.healing = true;
             m.smsd_said.push_back({static_cast<std::time_t>(kNow) - 60, 2,
                                    "Modem did not accept the second init string, SIM not inserted"});
         },
         "-"},
        {"blocked port, healing on, counts moved",
         [](Measurements& m, KeptState&) {
             m.healing = true;
             m.blocked = 1;
         },
         "blocked_count_changed line config"},
    };
    for (const Case& c : cases) {
        Measurements seen = quietBox();
        KeptState kept = afterFirstPass();
        c.change(seen, kept);
        EXPECT_EQ(summary(decide(seen, kept)), c.expected) << c.name;
    }
}

TEST(Decide, WhatTheNextPassStartsFromAfterWhatWasDone)
{
    struct Case {
        const char* name;
        void (*change)(Measurements&, KeptState&);
        Acted acted;
        // restart_owed, next_owed_pass, failed_writes, next_revival_pass, failed_restarts, last_blocked_count
        const char* expected;
    };
    Acted refused;
    Acted ran_unwritten;
    ran_unwritten.ran = true;
    ran_unwritten.smsd.running = true;
    Acted done = ran_unwritten;
    done.written = true;
    Acted done_dead = done;
    done_dead.smsd.running = false;
    Acted revived;
    revived.ran = revived.written = revived.smsd.running = true;
    const auto summary = [](const KeptState& k) {
        return std::to_string(k.restart_owed) + " " + std::to_string(k.next_owed_pass) + " " +
               std::to_string(k.failed_writes) + " " + std::to_string(k.next_revival_pass) + " " +
               std::to_string(k.failed_restarts) + " " + std::to_string(k.last_blocked_count);
    };
    const Case cases[] = {
        {"quiet", [](Measurements&, KeptState&) {}, refused, "0 0 0 0 0 0"},
        {"blocked, restarted", [](Measurements& m, KeptState&) { m.blocked = 1; }, done, "0 0 0 0 0 1"},
        {"blocked, refused: tried again next pass", [](Measurements& m, KeptState&) { m.blocked = 1; }, refused,
         "1 0 0 0 0 0"},
        {"blocked, ran without its configuration", [](Measurements& m, KeptState&) { m.blocked = 1; }, ran_unwritten,
         "1 11 1 0 0 1"},
        {"owed again without it: backs off further",
         [](Measurements&, KeptState& k) {
             k.restart_owed = true;
             k.failed_writes = 3;
             k.next_owed_pass = 10;
         },
         ran_unwritten, "1 18 4 0 0 0"},
        {"owed, written at last",
         [](Measurements&, KeptState& k) {
             k.restart_owed = true;
             k.failed_writes = 3;
         },
         done, "0 0 0 0 0 0"},
        {"revived", [](Measurements& m, KeptState&) { m.smsd.running = false; }, revived, "0 0 0 11 1 0"},
        {"revived again soon after",
         [](Measurements& m, KeptState& k) {
             m.smsd.running = false;
             k.failed_restarts = 2;
             k.next_revival_pass = 10;
         },
         revived, "0 0 0 14 3 0"},
        {"a change left no smsd running", [](Measurements& m, KeptState&) { m.present = 3; }, done_dead,
         "0 0 0 11 1 0"},
        {"smsd runs on its own again",
         [](Measurements&, KeptState& k) {
             k.failed_restarts = 4;
             k.next_revival_pass = 26;
         },
         Acted{false, false, {true, {}}, {}, {}}, "0 0 0 0 0 0"},
    };
    for (const Case& c : cases) {
        Measurements seen = quietBox();
        KeptState kept = afterFirstPass();
        c.change(seen, kept);
        const Decision decision = decide(seen, kept);
        std::vector<HealGivenUp> given_up;
        const KeptState next = rememberPass(kept, seen, decision, c.acted, given_up);
        EXPECT_EQ(summary(next), c.expected) << c.name;
        EXPECT_EQ(next.passes, 11) << c.name;
        EXPECT_FALSE(next.first_pass) << c.name;
    }
}

// NTP steps the wall clock of a board without a real-time clock by months: smsd's files, written
// before the step, then look months old, and only the boot-time clock tells how long it has
// really been still.
TEST(Decide, SmsdStillnessIsTimedOnTheBootClock)
{
    Measurements seen = quietBox();
    KeptState kept = afterFirstPass();
    std::vector<HealGivenUp> given_up;
    const auto pass = [&](double boot_seconds, double wall_seconds) {
        seen.boottime += boot_seconds;
        seen.wall += wall_seconds;
        const Decision decision = decide(seen, kept);
        kept = rememberPass(kept, seen, decision, Acted{}, given_up);
        return decision.responding;
    };
    EXPECT_TRUE(pass(0, 0));
    EXPECT_TRUE(pass(30, 90 * 86400.0)) << "the step itself";
    seen.smsd_signs = {seen.wall - 86400, seen.wall - 86400};  // written since, stamped before the step
    EXPECT_TRUE(pass(30, 30)) << "a sign new since the last pass";
    EXPECT_TRUE(pass(kSmsdQuietSeconds, kSmsdQuietSeconds)) << "still for as long as smsd ever is";
    EXPECT_FALSE(pass(1, 1)) << "still for longer";
}

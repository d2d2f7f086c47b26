// Healing a modem that stopped answering, through its USB device, where the admin allows it:
// which port to heal, when, how hard, when to give up. Each port goes watching -> (a step in a
// restart) -> judging -> watching again, or given up; every limit is in heal_limits.hpp.
#pragma once

#include "health/port_health.hpp"
#include "usb/usb_device.hpp"
#include "usb/usb_reset.hpp"

#include <ctime>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Off unless the daemon was started with --heal.
void enableHealing();
bool healingEnabled();

// A port of the configuration in force, as the pass found it.
struct PortObservation {
    std::string device;       // its /dev name
    PortHealth health;        // whether smsd says its modem answers
    bool blocked = false;     // smsd's status file, written since smsd started, says Blocked
    std::optional<UsbDevice> usb;  // the USB device its link leads to now
    std::string no_usb_why;        // why there is none
    bool bridge = false;           // its tty is on a USB-serial bridge, not on the modem
    std::string no_power_cycle_why;  // why its hub port's power may not be switched; empty: it may
    PortCause cause = PortCause::none;  // why it does not move messages now (portCause)
    double cause_for = 0;               // seconds a refusal has lasted
};

// A port that would be healed but for its cause, for the pass to say once.
struct HealWithheld {
    std::string device;
    std::string why;  // "the SIM: SIM PIN required"
};

// A port to heal in this pass's restart of smstools.
struct HealTarget {
    int port = 0;         // n of GSMn
    std::string device;   // its /dev name, a gsmmodem link
    std::string why;      // "not answering since 2026-12-07 23:07:43", "blocked"
    UsbResetStep step = UsbResetStep::reset;
    UsbDevice usb;        // the modem's USB device as the pass found it
};

// What became of a step.
struct HealOutcome {
    // mode_switch: the modem came back from the step in storage mode and was not switched to a
    // modem in time
    enum Kind { not_run, done, failed, refused, mode_switch } kind = not_run;
    std::string why;  // with failed, refused and mode_switch
    double at = 0;    // when it ended, on CLOCK_BOOTTIME
};

const char* healOutcomeName(HealOutcome::Kind kind);  // "done", "failed", "refused", "mode_switch"

// What became of a port's heals, for the published state.
struct HealRecord {
    long answering = 0;      // steps after which the modem answered again
    long not_answering = 0;  // steps after which it did not
    long done = 0, failed = 0, refused = 0, mode_switch = 0;  // steps by outcome
    std::string last_outcome;  // "done", "failed: ...", "refused: ...", "mode_switch: ..."; empty before any
    bool given_up = false;     // left alone until it answers for a while or is replugged
    std::string given_up_why;
};

enum class HealPhase { watching, judging, given_up };

// What healing remembers of one port (by /dev name); times on CLOCK_BOOTTIME.
struct PortHeals {
    HealPhase phase = HealPhase::watching;
    HealRecord record;
    UsbResetStep step = UsbResetStep::reset;  // the next step
    double step_at = 0;                       // when the step being judged ended
    double next_allowed = 0;
    std::deque<double> steps;     // steps run within the last day
    std::deque<double> failures;  // failures within the last day
    std::string usb_address;      // the USB device in the port ("1-1.2@1:7"): a replug changes it
    std::string usb_model;        // its ids and serial number
    double usb_seen = 0;          // since when
    double answering_since = -1;  // given up: since when the modem answers
    PortCause withheld = PortCause::none;  // the cause last said to keep healing away
};
using HealState = std::map<std::string, PortHeals>;

// A port given up on in this pass, for the pass to say.
struct HealGivenUp {
    std::string device;
    size_t failures = 0;
    std::string why;  // empty: that many failures in a day
};

// The port (at most one) to heal now, `heals` brought up to date: a port whose modem does not
// answer (or stays blocked), once smsd has run long enough to judge it (`smsd_running_for`
// seconds), whose modem has answered smsd since its USB device was plugged in (a GPS receiver or
// a UPS cable never has), not behind a USB-serial bridge, at most once in a while and a few times
// a day; a port given up on in this pass goes to `given_up`. A port whose messages are refused for
// the SIM, by the network or for a full store is never healed, nor one that lost the network until
// that has lasted a while (a longer loss is healed like a silent modem): the first pass that would
// heal it but for that cause puts it in `withheld`. Steps done earlier are judged first.
// `now` is on CLOCK_BOOTTIME, as every time healing keeps.
std::vector<HealTarget> portsToHeal(const std::vector<PortObservation>& ports, double smsd_running_for, double now,
                                    HealState& heals, std::vector<HealGivenUp>& given_up,
                                    std::vector<HealWithheld>& withheld);

// Records the outcome of a step handed out by portsToHeal: done, it is judged from then on;
// failed, or left in storage mode, it counts as a failure and the next step is harder; refused where the power cycle was
// the step, the ladder ends there and the port is given up on. A step not run is not recorded.
void healStepRan(HealState& heals, const std::string& device, const HealOutcome& outcome,
                 std::vector<HealGivenUp>& given_up);

// A USB device as path, bus and number ("1-1.2@1:7"): a replug changes it.
std::string usbAddressOf(const UsbDevice& usb);

HealRecord healRecord(const HealState& heals, const std::string& device);

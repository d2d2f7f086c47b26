// Healing a modem that stopped answering, through its USB device, where the admin allows it.
#pragma once

#include "health/port_health.hpp"
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

// A port to heal in this pass's restart of smstools.
struct HealTarget {
    int port = 0;         // n of GSMn
    std::string device;   // its /dev name, a gsmmodem link
    std::string why;      // "not answering since 2026-12-07 23:07:43", "blocked"
    UsbResetStep step = UsbResetStep::reset;
    std::optional<UsbDevice> usb;  // the modem's USB device as the pass found it
    std::string no_usb_why;        // why there is none
};

// What became of a port's heals, for the published state.
struct HealRecord {
    long answering = 0;      // heals after which the modem answered again
    long not_answering = 0;  // heals after which it did not
    bool given_up = false;   // too many failures in a day: left alone until it answers or is replugged
};

// A port of the configuration in force, as the pass found it.
struct PortObservation {
    std::string device;       // its /dev name
    PortHealth health;        // whether smsd says its modem answers
    bool blocked = false;     // smsd's status file, written since smsd started, says Blocked
    std::string usb_address;  // the USB device its link leads to now ("1-1.2@1:7"); changes on a replug
    std::optional<UsbDevice> usb;
    std::string no_usb_why;
};

// What healing remembers of one port (by /dev name); times on CLOCK_BOOTTIME.
struct PortHeals {
    HealRecord record;
    bool pending = false;          // healed, the outcome not known yet
    double healed_at = 0;
    std::time_t healed_at_wall = 0;
    double next_allowed = 0;
    std::deque<double> failures;   // within the last day
    UsbResetStep step = UsbResetStep::reset;
    std::string given_up_on;       // the USB device (bus and number) it was given up on
};
using HealState = std::map<std::string, PortHeals>;

// A port healing gave up on in this pass, for the pass to say.
struct HealGivenUp {
    std::string device;
    size_t failures = 0;
};

// The ports (port n in ports[n - 1]) to heal now: not answering, or blocked, once smsd has run
// long enough to judge them (`smsd_running_for` seconds), each at most once in a while, the
// interval doubling with each heal that did not help, none that has been given up on. Judges
// the heals done before (`now` on CLOCK_BOOTTIME, `now_wall` on the wall clock, as smsd writes
// its times), and gives up on a port after three that failed within a day, until it answers or
// another device is plugged in its place.
// `heals` is what healing remembers, brought up to date; the ports given up on now go to
// `given_up`. Ports that left the configuration are forgotten.
std::vector<HealTarget> portsToHeal(const std::vector<PortObservation>& ports, double smsd_running_for, double now,
                                    std::time_t now_wall, HealState& heals, std::vector<HealGivenUp>& given_up);

// A USB device as path, bus and number ("1-1.2@1:7"): a replug changes it.
std::string usbAddressOf(const UsbDevice& usb);

// Between smstools' stop and its start: each target's USB device put through its step, its
// gsmmodem link waited for (at most 20 s). Writes a line to the activity log and a LOG_WARNING
// for each.
void healPorts(const std::vector<HealTarget>& targets);

HealRecord healRecord(const HealState& heals, const std::string& device);

// A pass's first step: everything it goes by, read once, nothing written.
#pragma once

#include "common/modem_slots.hpp"
#include "smstools/message_queue.hpp"
#include "smstools/run_logs.hpp"
#include "smstools/smsd_log.hpp"
#include "smstools/smsd_signs.hpp"
#include "smstools/smsd_process.hpp"
#include "supervision/smsd_probes.hpp"
#include "usb/usb_device.hpp"

#include <ctime>
#include <optional>
#include <string>
#include <vector>

// A port of the configuration in force, as the pass found it.
struct PortSeen {
    std::string device;                     // its /dev name from smsd.conf; empty when none
    std::string target;                     // what that entry links to (ttyUSB3), printable; empty for none
    bool spool_directory = false;           // its /mnt/flash/spool/GSMn is there
    std::optional<RunLogAnswer> answer;     // its run log's last answer
    // With healing on: the modem's USB device, or why there is none; whether the tty is on a
    // USB-serial bridge; why its hub port's power may not be switched (empty: it may).
    std::optional<UsbDevice> usb;
    std::string no_usb_why;
    bool bridge = false;
    std::string no_power_cycle_why;
};

struct Measurements {
    int configured = -1;       // getsmsdcount: the ports smsd.conf configures
    ModemSlots slots;          // the gsmmodem entries of /dev
    int present = 0;           // inUse of those
    std::vector<std::string> modem_targets;  // what each of those links to, as PortSeen::target
    StatusReading status;      // smsd's status file
    int blocked = 0;           // ModemsBlocked
    SmsdProcess smsd;          // smsd as it runs now
    std::vector<PortSeen> ports;        // the configuration in force, port n in ports[n - 1]
    std::vector<SmsdLogLine> smsd_said; // smsd's log since the last pass
    SmsdSigns smsd_signs;      // when smsd last wrote its files, wall clock
    QueueReading queue;        // the messages waiting in the spool
    bool healing = false;      // --heal
    double boottime = 0;       // when the pass measured, on CLOCK_BOOTTIME (ages, backoffs)
    double wall = 0;           // and on the wall clock (smsd's times)
};

// Fills `seen`, logging what the pass always logs as it measures ("Checking modemstatus", the
// configured count, /dev entries it ignores, a missing status file). False when /dev cannot be
// listed: the box cannot be supervised.
bool measure(Measurements& seen);

// The /dev names of the configuration in force, port by port.
std::vector<std::string> devicesOf(const std::vector<PortSeen>& ports);

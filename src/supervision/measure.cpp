// A pass's first step: everything it goes by, read once, nothing written.
#include "supervision/measure.hpp"

#include "common/clock.hpp"
#include "common/concat.hpp"
#include "common/printable_name.hpp"
#include "heal/heal.hpp"
#include "log/activity_log.hpp"
#include "smstools/run_logs.hpp"
#include "smstools/smsd_conf.hpp"
#include "smstools/smsd_signs.hpp"
#include "supervision/dev_scan.hpp"
#include "supervision/pass_reports.hpp"
#include "supervision/port_spools.hpp"
#include "usb/hub_power.hpp"
#include "usb/serial_bridge.hpp"
#include "usb/usb_reset.hpp"

#include <algorithm>
#include <iterator>
#include <unistd.h>

namespace {

// What a /dev entry links to (udev's names lead to ttyUSBn and the like); empty for no link.
std::string linkTarget(const std::string& name)
{
    char target[256];
    const ssize_t length = readlink(concat("/dev/", name).c_str(), target, sizeof target - 1);
    return length > 0 ? printableName(std::string_view(target, static_cast<size_t>(length))) : std::string();
}

PortSeen seePort(int port, const std::string& device, bool healing)
{
    PortSeen seen;
    seen.device = device;
    seen.target = device.empty() ? std::string() : linkTarget(device);
    seen.spool_directory = portSpoolDirectoryExists(port);
    seen.answer = lastAnswer(port);
    if (healing && !device.empty()) {
        const std::optional<TtyOnUsb> tty = modemTtyBehindLink("/sys", "/dev", device, seen.no_usb_why);
        if (tty) {
            seen.usb = tty->device;
            seen.bridge = isUsbSerialBridgeDriver(tty->interface.driver);
            seen.no_power_cycle_why = powerCycleRefusal(tty->device, "/proc/self/mountinfo");
        }
    }
    return seen;
}

} // namespace

bool measure(Measurements& seen)
{
    seen.boottime = clockSeconds(CLOCK_BOOTTIME);
    seen.wall = wallClockSeconds();
    seen.healing = healingEnabled();
    logLine("Checking modemstatus");
    seen.configured = getsmsdcount();
    clearSlots(seen.slots);
    if (!getallgsmmodemfolders(seen.slots)) {
        return false;
    }
    seen.present = inUse(seen.slots, kModemSlotCount);
    seen.blocked = ModemsBlocked(seen.configured, seen.status);
    reportStatusFileCutShort(seen.status.outcome == StatusReading::read && seen.status.states.cut_short);
    seen.smsd = findSmsd();
    const std::vector<std::string> devices = configuredDevices();
    // The same room every pass, whatever the count: a heap that grows to each pass's own sizes
    // creeps up over days of modems coming and going.
    seen.ports.reserve(kModemSlotCount);
    seen.modem_targets.reserve(kModemSlotCount);
    for (size_t k = 0; k < devices.size(); ++k) {
        seen.ports.push_back(seePort(static_cast<int>(k) + 1, devices[k], seen.healing));
    }
    // A configuration written by this pass serves the modems present: how they are published.
    for (int k = 0; k < seen.present; ++k) {
        const bool served = static_cast<size_t>(k) < seen.ports.size() && seen.ports[k].device == seen.slots[k];
        seen.modem_targets.push_back(served ? seen.ports[k].target : linkTarget(seen.slots[k]));
    }
    seen.smsd_said = readSmsdLog();
    seen.smsd_signs = smsdSigns(static_cast<int>(devices.size()));
    seen.queue = readQueue(queueDirectories(static_cast<int>(devices.size())));
    return true;
}

std::vector<std::string> devicesOf(const std::vector<PortSeen>& ports)
{
    std::vector<std::string> devices;
    devices.reserve(kModemSlotCount);
    std::transform(ports.begin(), ports.end(), std::back_inserter(devices),
                   [](const PortSeen& port) { return port.device; });
    return devices;
}

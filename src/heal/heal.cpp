// Healing a modem that stopped answering, through its USB device, where the admin allows it.
#include "heal/heal.hpp"

#include "common/clock.hpp"
#include "common/local_time.hpp"
#include "common/spawn.hpp"
#include "common/systemd.hpp"
#include "health/port_health.hpp"
#include "log/activity_log.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <sys/stat.h>
#include <syslog.h>
#include <thread>

namespace {

bool enabled = false;  // Default: disabled

// smsd judges a port by its answers over a minute or two after it starts: no heal before.
constexpr double kGraceSeconds = 120;
// A heal has not helped when the modem still does not answer this long after it.
constexpr double kJudgeSeconds = 150;
// At most one heal a port in this long, doubled after each that did not help (a third gives up).
constexpr double kBackoffSeconds = 600;
constexpr int kLongestBackoffShift = 4;
// Failed heals in a day after which the port is left alone.
constexpr size_t kFailuresToGiveUp = 3;
constexpr double kDay = 86400;

constexpr char kHelper[] = "/usr/lib/modemwatchd/usb-reset";
constexpr char kHelperUnit[] = "/lib/systemd/system/modemwatchd-usb-reset@.service";

std::string wallTime(std::time_t time)
{
    return localTimeText(time);
}

UsbResetStep harder(UsbResetStep step)
{
    return step == UsbResetStep::reset ? UsbResetStep::reauthorize : UsbResetStep::power_cycle;
}

// Judges a heal done earlier: the modem answered after it, or still does not.
void judge(const PortObservation& observed, PortHeals& port, double now, std::vector<HealGivenUp>& given_up)
{
    const PortHealth& health = observed.health;
    if (health.answering) {
        ++port.record.answering;
        port.pending = false;
        port.failures.clear();
        port.step = UsbResetStep::reset;
        return;
    }
    if (health.last_not_answering < port.healed_at_wall + 1 && now - port.healed_at < kJudgeSeconds) {
        return;  // no word yet
    }
    ++port.record.not_answering;
    port.pending = false;
    port.failures.push_back(now);
    const size_t shift = std::min(port.failures.size(), size_t{kLongestBackoffShift});
    port.next_allowed = port.healed_at + kBackoffSeconds * static_cast<double>(1 << shift);
    port.step = harder(port.step);
    while (!port.failures.empty() && now - port.failures.front() > kDay) {
        port.failures.pop_front();
    }
    if (port.failures.size() >= kFailuresToGiveUp) {
        port.record.given_up = true;
        port.given_up_on = observed.usb_address;
        given_up.push_back({observed.device, port.failures.size()});
    }
}

// Runs the step through its own unit where systemd runs (the daemon's own unit may neither write
// /sys nor open USB device nodes), else as a child. 0 when done.
int runStep(UsbResetStep step, const std::string& device)
{
    const std::string word = std::string(usbResetStepName(step)) + ":" + device;
    constexpr int kStepMilliseconds = 60000;
    struct stat info {};
    if (systemdRuns() && stat(kHelperUnit, &info) == 0) {
        // The instance name escaped as systemd-escape does: the unit unescapes it (%I).
        std::string instance;
        for (const char c : word) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
                               c == '_' || (c == '.' && !instance.empty());
            char escape[8];
            static_cast<void>(std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(c)));
            instance += plain ? std::string(1, c) : std::string(escape);
        }
        return runProgram({"/bin/systemctl", "start", "modemwatchd-usb-reset@" + instance + ".service"},
                          kStepMilliseconds);
    }
    return runProgram({kHelper, word}, kStepMilliseconds);
}

bool linkResolves(const std::string& device)
{
    struct stat info {};
    return stat(("/dev/" + device).c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

// Until `device` resolves to a character device (`want`) or no longer does, for at most `seconds`:
// how long it took, or -1.
double waitForLink(double seconds, bool want, const std::string& device)
{
    const double start = clockSeconds(CLOCK_MONOTONIC);
    for (;;) {
        const double took = clockSeconds(CLOCK_MONOTONIC) - start;
        if (linkResolves(device) == want) {
            return took;
        }
        if (took > seconds) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

} // namespace

void enableHealing()
{
    enabled = true;
}

bool healingEnabled()
{
    return enabled;
}

std::string usbAddressOf(const UsbDevice& usb)
{
    return usb.name + "@" + std::to_string(usb.bus) + ":" + std::to_string(usb.address);
}

std::vector<HealTarget> portsToHeal(const std::vector<PortObservation>& ports, double smsd_running_for, double now,
                                    std::time_t now_wall, HealState& heals, std::vector<HealGivenUp>& given_up)
{
    std::vector<HealTarget> targets;
    HealState kept;
    for (size_t k = 0; k < ports.size(); ++k) {
        const PortObservation& observed = ports[k];
        if (observed.device.empty()) {
            continue;
        }
        PortHeals& port = kept[observed.device] = heals[observed.device];
        if (port.pending) {
            judge(observed, port, now, given_up);
        }
        const PortHealth& health = observed.health;
        if (port.record.given_up && (health.answering || observed.usb_address != port.given_up_on)) {
            port = PortHeals{};  // answering again, or another device in that port: a new start
        }
        if ((health.answering && !observed.blocked) || port.pending || port.record.given_up ||
            now < port.next_allowed || smsd_running_for < kGraceSeconds) {
            continue;
        }
        HealTarget target;
        target.port = static_cast<int>(k) + 1;
        target.device = observed.device;
        target.why = health.answering ? "blocked" : "not answering since " + wallTime(health.not_answering_since);
        target.step = port.step;
        target.usb = observed.usb;
        target.no_usb_why = observed.no_usb_why;
        targets.push_back(target);
        port.pending = true;
        port.healed_at = now;
        port.healed_at_wall = now_wall;
        port.next_allowed = now + kBackoffSeconds;
    }
    heals = std::move(kept);
    return targets;
}

void healPorts(const std::vector<HealTarget>& targets)
{
    for (const HealTarget& target : targets) {
        const std::optional<UsbDevice>& usb = target.usb;
        if (!usb) {
            logLine("Not healing GSM%d through USB: %s", target.port, target.no_usb_why.c_str());
            continue;
        }
        const char* step = usbResetStepName(target.step);
        syslog(LOG_WARNING, "Healing GSM%d (%s), %s: %s of USB device %s", target.port, target.device.c_str(),
               target.why.c_str(), step, usb->name.c_str());
        logLine("Healing GSM%d (/dev/%s), %s: %s of USB device %s", target.port, target.device.c_str(),
                target.why.c_str(), step, usb->name.c_str());
        const int status = runStep(target.step, target.device);
        // The ttys of a reset device may go and come back: its link with them.
        static_cast<void>(waitForLink(2, false, target.device));
        const double back = waitForLink(20, true, target.device);
        if (status != 0) {
            logLine("%s of USB device %s failed (status %d)", step, usb->name.c_str(), status);
        } else if (back < 0) {
            logLine("%s of USB device %s done; /dev/%s not back within 20 s", step, usb->name.c_str(),
                    target.device.c_str());
        } else {
            logLine("%s of USB device %s done; /dev/%s back", step, usb->name.c_str(), target.device.c_str());
        }
    }
}

HealRecord healRecord(const HealState& heals, const std::string& device)
{
    const auto found = heals.find(device);
    return found == heals.end() ? HealRecord{} : found->second.record;
}

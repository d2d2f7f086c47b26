// Running a step of healing on a modem's USB device.
#include "heal/heal_steps.hpp"

#include "common/clock.hpp"
#include "common/spawn.hpp"
#include "common/systemd.hpp"
#include "heal/heal_limits.hpp"
#include "log/activity_log.hpp"
#include "usb/usb_device.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sys/stat.h>
#include <syslog.h>
#include <thread>

namespace {

constexpr char kHelper[] = "/usr/lib/modemwatchd/usb-reset";
constexpr char kHelperUnit[] = "/lib/systemd/system/modemwatchd-usb-reset@.service";

int milliseconds(double seconds)
{
    return static_cast<int>(seconds * 1000);
}

// The unit of one step, its instance name escaped as systemd-escape does (the unit unescapes it, %I).
std::string stepUnit(const std::string& word)
{
    std::string instance;
    for (const char c : word) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
                           c == '_' || (c == '.' && !instance.empty());
        char escape[8];
        static_cast<void>(std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(c)));
        instance += plain ? std::string(1, c) : std::string(escape);
    }
    return "modemwatchd-usb-reset@" + instance + ".service";
}

// Runs the step: the helper's exit status (StepExit), or -1 when it did not end in time (its
// unit is then stopped, which puts back what it left half done) or could not be run.
int runStep(UsbResetStep step, const std::string& device)
{
    const std::string word = std::string(usbResetStepName(step)) + ":" + device;
    const int bound = milliseconds(kHealLimits.step_seconds);
    // What the step came to is recorded and judged: its status must be seen, in daemon mode too.
    const ChildStatusesKept statuses;
    struct stat info {};
    constexpr int kStopBound = 10000;
    if (!systemdRuns() || stat(kHelperUnit, &info) != 0) {
        const int status = runProgram({kHelper, word}, bound);
        if (status < 0) {
            // Killed between its two writes, it may have left the modem switched off.
            static_cast<void>(runProgram({kHelper, "--restore", word}, kStopBound));
        }
        return status;
    }
    const std::string unit = stepUnit(word);
    const int started = runProgram({"/bin/systemctl", "start", unit}, bound);
    if (started == 0) {
        return 0;
    }
    if (started < 0) {
        // Its unit's stop ends the helper and puts back what it left half done.
        static_cast<void>(runProgram({"/bin/systemctl", "stop", unit}, kStopBound));
        return -1;
    }
    std::string status;
    static_cast<void>(runProgramOutput({"/bin/systemctl", "show", "--property=ExecMainStatus", "--value", unit}, bound,
                                       status));
    const long code = std::strtol(status.c_str(), nullptr, 10);
    return code > 0 && code < 256 ? static_cast<int>(code) : static_cast<int>(StepExit::failed);
}

bool linkResolves(const std::string& device)
{
    struct stat info {};
    return stat(("/dev/" + device).c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

// Polls `reached` ten times a second until it holds, for at most `seconds`: whether it did.
template <typename Condition>
bool pollUntil(double seconds, Condition reached)
{
    const double start = clockSeconds(CLOCK_MONOTONIC);
    for (;;) {
        if (reached()) {
            return true;
        }
        if (clockSeconds(CLOCK_MONOTONIC) - start > seconds) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// The kernel puts a device that a reset finds changed (a stick that came back as its CD-ROM: "device
// firmware changed") or that does not answer it through a new enumeration, and the reset fails.
// Whether the device in the target's USB path went away or changed within link_gone_seconds.
bool reEnumerated(const HealTarget& target)
{
    const std::string before = usbAddressOf(target.usb);
    return pollUntil(kHealLimits.link_gone_seconds, [&] {
        const std::optional<UsbDevice> now = usbDeviceAt("/sys", target.usb.name);
        return !now || usbAddressOf(*now) != before;
    });
}

// What came back after a step: the seconds from the step's end to the link's return (-1: not
// back), and the device its USB path held in storage mode meanwhile, if it did.
struct LinkBack {
    double after_step = -1;
    std::optional<UsbDevice> storage;
};

// Until the link resolves again, for at most link_back_seconds, or up to mode_switch_seconds
// after the step once the modem's USB path has been seen holding a device in storage mode: a
// reset can send a stick back to its CD-ROM, which usb_modeswitch switches to a modem again some
// seconds later.
LinkBack waitForLinkBack(const HealTarget& target, double step_end)
{
    LinkBack back;
    const double start = clockSeconds(CLOCK_MONOTONIC);
    for (int poll = 0;; ++poll) {
        const double now = clockSeconds(CLOCK_MONOTONIC);
        if (linkResolves(target.device)) {
            back.after_step = now - step_end;
            return back;
        }
        // sysfs twice a second, the link ten times.
        if (!back.storage && poll % 5 == 0) {
            back.storage = storageModeDeviceAt("/sys", target.usb.name);
        }
        if (back.storage ? now - step_end > kHealLimits.mode_switch_seconds
                         : now - start > kHealLimits.link_back_seconds) {
            return back;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// The step's outcome where its modem came back in storage mode, with its lines.
HealOutcome cameBackInStorageMode(const HealTarget& target, const char* step, const LinkBack& back)
{
    const std::string id = back.storage->vendor + ":" + back.storage->product;
    const char* usb = target.usb.name.c_str();
    if (back.after_step >= 0) {
        logLine("%s of USB device %s: it came back in storage mode (%s); /dev/%s back after its switch, in %.0f s", step,
                usb, id.c_str(), target.device.c_str(), back.after_step);
        return {HealOutcome::done, "", 0};
    }
    syslog(LOG_WARNING, "GSM%d (%s): USB device %s came back from its %s in storage mode (%s), not switched to a modem within %.0f s",
           target.port, target.device.c_str(), usb, step, id.c_str(), kHealLimits.mode_switch_seconds);
    logLine("%s of USB device %s: it came back in storage mode (%s), not switched to a modem within %.0f s", step, usb,
            id.c_str(), kHealLimits.mode_switch_seconds);
    return {HealOutcome::mode_switch, "USB device " + target.usb.name + " in storage mode (" + id + ")", 0};
}

} // namespace

HealOutcome healPort(const HealTarget& target)
{
    const char* step = usbResetStepName(target.step);
    const char* usb = target.usb.name.c_str();
    syslog(LOG_WARNING, "Healing GSM%d (%s), %s: %s of USB device %s", target.port, target.device.c_str(),
           target.why.c_str(), step, usb);
    logLine("Healing GSM%d (/dev/%s), %s: %s of USB device %s", target.port, target.device.c_str(),
            target.why.c_str(), step, usb);
    const int status = runStep(target.step, target.device);
    const double step_end = clockSeconds(CLOCK_MONOTONIC);
    const bool refused = status > 0 && stepExitRefused(status);
    HealOutcome outcome;
    if (status == 0) {
        // The ttys of a reset device may go and come back: its link with them.
        static_cast<void>(pollUntil(kHealLimits.link_gone_seconds, [&] { return !linkResolves(target.device); }));
    }
    const bool waited = status == 0 || (status > 0 && !refused && reEnumerated(target));
    const LinkBack back = waited ? waitForLinkBack(target, step_end) : LinkBack{};
    if (back.storage) {
        outcome = cameBackInStorageMode(target, step, back);
    } else if (status == 0) {
        outcome.kind = HealOutcome::done;
        if (back.after_step < 0) {
            logLine("%s of USB device %s done; /dev/%s not back within %.0f s", step, usb, target.device.c_str(),
                    kHealLimits.link_back_seconds);
        } else {
            logLine("%s of USB device %s done; /dev/%s back", step, usb, target.device.c_str());
        }
    } else if (refused) {
        outcome = {HealOutcome::refused, stepExitWhy(status), 0};
        logLine("%s of USB device %s refused: %s", step, usb, outcome.why.c_str());
    } else {
        outcome = {HealOutcome::failed,
                   status < 0 ? "no end within " + std::to_string(static_cast<int>(kHealLimits.step_seconds)) + " s"
                              : std::string(stepExitWhy(status)),
                   0};
        logLine("%s of USB device %s failed (status %d)", step, usb, status);
    }
    outcome.at = clockSeconds(CLOCK_BOOTTIME);
    return outcome;
}

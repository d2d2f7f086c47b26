// Running a step of healing on a modem's USB device.
#include "heal/heal_steps.hpp"

#include "common/clock.hpp"
#include "common/spawn.hpp"
#include "common/systemd.hpp"
#include "heal/heal_limits.hpp"
#include "log/activity_log.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
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

HealOutcome healPort(const HealTarget& target)
{
    const char* step = usbResetStepName(target.step);
    const char* usb = target.usb.name.c_str();
    syslog(LOG_WARNING, "Healing GSM%d (%s), %s: %s of USB device %s", target.port, target.device.c_str(),
           target.why.c_str(), step, usb);
    logLine("Healing GSM%d (/dev/%s), %s: %s of USB device %s", target.port, target.device.c_str(),
            target.why.c_str(), step, usb);
    const int status = runStep(target.step, target.device);
    HealOutcome outcome;
    if (status == 0) {
        // The ttys of a reset device may go and come back: its link with them.
        static_cast<void>(waitForLink(kHealLimits.link_gone_seconds, false, target.device));
        const double back = waitForLink(kHealLimits.link_back_seconds, true, target.device);
        outcome.kind = HealOutcome::done;
        if (back < 0) {
            logLine("%s of USB device %s done; /dev/%s not back within %.0f s", step, usb, target.device.c_str(),
                    kHealLimits.link_back_seconds);
        } else {
            logLine("%s of USB device %s done; /dev/%s back", step, usb, target.device.c_str());
        }
    } else if (status > 0 && stepExitRefused(status)) {
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

// modemwatchd-usb-reset STEP:LINK: one step of bringing back the hung modem whose AT port
// /dev/LINK names (reset, reauthorize or power-cycle), run by modemwatchd as a unit of its own
// (or as a child where no systemd runs), so the daemon's unit need not write /sys or open USB
// device nodes. How it ends is StepExit (usb/usb_reset.hpp).
// modemwatchd-usb-reset --restore STEP:LINK: puts back what that step left half done when it
// was killed between its two writes (the unit's ExecStopPost).
#include "common/unique_fd.hpp"
#include "usb/gsmmodem.hpp"
#include "usb/hub_power.hpp"
#include "usb/usb_reset.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Where a step in progress notes its device, for --restore: a directory of root's in /run.
constexpr char kRecordDirectory[] = "/run/modemwatchd-usb-reset";

std::string recordPath(const std::string& link)
{
    return std::string(kRecordDirectory) + "/" + link;
}

// The directory is root's alone: nobody else could have written a record there.
bool recordDirectoryIsRoots()
{
    struct stat info {};
    return lstat(kRecordDirectory, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == 0 && (info.st_mode & 077) == 0;
}

bool noteStep(const std::string& link, const UsbDevice& device)
{
    if (mkdir(kRecordDirectory, 0700) != 0 && errno != EEXIST) {
        return false;
    }
    if (!recordDirectoryIsRoots()) {
        return false;
    }
    unique_fd record(open(recordPath(link).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    const std::string text = device.path + "\n";
    return record.valid() && write(record.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int restore(const std::string& link)
{
    if (!recordDirectoryIsRoots()) {
        return 0;
    }
    char text[4096] = {};
    unique_fd record(open(recordPath(link).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const ssize_t got = record.valid() ? read(record.get(), text, sizeof text - 1) : -1;
    std::string path(text, got > 0 ? static_cast<size_t>(got) : 0);
    path.resize(std::min(path.size(), path.find('\n')));
    // Only a device directory of sysfs, as this helper wrote it.
    if (path.rfind("/sys/devices/", 0) == 0 && path.find("/../") == std::string::npos) {
        restoreUsbDevice(path);
        static_cast<void>(std::fprintf(stderr, "put back what a step left of %s (/dev/%s)\n", path.c_str(),
                                       link.c_str()));
    }
    unlink(recordPath(link).c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const bool restoring = argc == 3 && std::strcmp(argv[1], "--restore") == 0;
    const std::string word = restoring ? argv[2] : argc == 2 ? argv[1] : "";
    const size_t colon = word.find(':');
    UsbResetStep step = UsbResetStep::reset;
    if (colon == std::string::npos || !parseUsbResetStep(std::string_view(word).substr(0, colon), step)) {
        static_cast<void>(std::fprintf(stderr, "usage: modemwatchd-usb-reset reset|reauthorize|power-cycle:LINK\n"));
        return 1;
    }
    const std::string link = word.substr(colon + 1);
    // Only what the box's rules name a modem: the instance name is free text to systemd.
    if (!isGsmmodemName(link) || link.find('/') != std::string::npos) {
        static_cast<void>(std::fprintf(stderr, "not touching /dev/%s: no gsmmodem entry of /dev\n", link.c_str()));
        return 1;
    }
    if (restoring) {
        return restore(link);
    }
    std::string why;
    const std::optional<UsbDevice> device = modemBehindLink("/sys", "/dev", link, why);
    if (!device) {
        static_cast<void>(std::fprintf(stderr, "not touching /dev/%s: %s\n", link.c_str(), why.c_str()));
        return static_cast<int>(StepExit::refused);
    }
    if (step == UsbResetStep::power_cycle) {
        // The power of this port only, and nothing the box lives on with it.
        std::string refusal = powerCycleRefusal(*device, "/proc/self/mountinfo");
        StepExit exit = StepExit::power_unsafe;
        const HubPowerSwitching switching = hubPowerSwitching("/dev", *device);
        if (refusal.empty() && switching != HubPowerSwitching::per_port) {
            exit = switching == HubPowerSwitching::ganged ? StepExit::power_ganged : StepExit::power_none;
            refusal = switching == HubPowerSwitching::unknown ? "its hub did not give its hub descriptor"
                                                              : stepExitWhy(static_cast<int>(exit));
            if (switching == HubPowerSwitching::unknown) {
                exit = StepExit::power_unsafe;
            }
        }
        if (!refusal.empty()) {
            static_cast<void>(std::fprintf(stderr, "no power cycle of %s (/dev/%s): %s\n", device->name.c_str(),
                                           link.c_str(), refusal.c_str()));
            return static_cast<int>(exit);
        }
    }
    // From the first write to the second, a stop waits: the modem is never left switched off.
    sigset_t held;
    sigemptyset(&held);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        sigaddset(&held, sig);
    }
    sigprocmask(SIG_BLOCK, &held, nullptr);
    const bool noted = step == UsbResetStep::reset || noteStep(link, *device);
    const int error = resetUsbDevice("/dev", *device, step);
    if (noted && step != UsbResetStep::reset) {
        unlink(recordPath(link).c_str());
    }
    if (error != 0) {
        static_cast<void>(std::fprintf(stderr, "%s of %s (%s:%s, /dev/%s) failed: %s\n", usbResetStepName(step),
                                       device->name.c_str(), device->vendor.c_str(), device->product.c_str(),
                                       link.c_str(), std::strerror(error)));
        return static_cast<int>(StepExit::failed);
    }
    static_cast<void>(std::fprintf(stderr, "%s of %s (%s:%s, /dev/%s) done\n", usbResetStepName(step),
                                   device->name.c_str(), device->vendor.c_str(), device->product.c_str(),
                                   link.c_str()));
    return 0;
}

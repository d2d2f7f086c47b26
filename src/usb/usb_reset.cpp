// Bringing a hung modem back through its USB device.
#include "usb/usb_reset.hpp"

#include "common/unique_fd.hpp"
#include "common/write_file.hpp"
#include "usb/sysfs.hpp"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>

namespace {

// Writes `value` into a sysfs attribute, never through a link at its last component.
int writeAttribute(const std::string& path, const char* value)
{
    unique_fd fd(open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        return errno;
    }
    return writeAllAt(fd.get(), value, 0) ? 0 : errno;
}

// The second write of a step, which puts the device back: tried again for a while when it fails.
int writeBack(const std::string& path, const char* value)
{
    int error = 0;
    for (int tries = 0; tries < 10; ++tries) {
        if ((error = writeAttribute(path, value)) == 0) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return error;
}

} // namespace

const char* usbResetStepName(UsbResetStep step)
{
    switch (step) {
    case UsbResetStep::reauthorize:
        return "reauthorize";
    case UsbResetStep::power_cycle:
        return "power-cycle";
    case UsbResetStep::reset:
        break;
    }
    return "reset";
}

bool parseUsbResetStep(std::string_view name, UsbResetStep& step)
{
    static const UsbResetStep kSteps[] = {UsbResetStep::reset, UsbResetStep::reauthorize, UsbResetStep::power_cycle};
    const auto* found = std::find_if(std::begin(kSteps), std::end(kSteps),
                                     [&](UsbResetStep known) { return name == usbResetStepName(known); });
    if (found == std::end(kSteps)) {
        return false;
    }
    step = *found;
    return true;
}

std::optional<UsbDevice> modemBehindLink(const std::string& sys, const std::string& dev, const std::string& link,
                                         std::string& why)
{
    const std::optional<TtyOnUsb> tty = modemTtyBehindLink(sys, dev, link, why);
    return tty ? std::optional<UsbDevice>(tty->device) : std::nullopt;
}

std::optional<TtyOnUsb> modemTtyBehindLink(const std::string& sys, const std::string& dev, const std::string& link,
                                           std::string& why)
{
    const std::string target = resolvedPath(dev + "/" + link);
    if (target.empty() || parentOf(target) != resolvedPath(dev)) {
        why = "/dev/" + link + " leads to no device of /dev";
        return std::nullopt;
    }
    std::optional<TtyOnUsb> usb = usbBehindTty(sys, baseName(target));
    if (!usb) {
        why = "/dev/" + link + " is no tty on a USB device";
        return std::nullopt;
    }
    // A hub is never the modem: resetting one would take every device behind it with it.
    if (usb->device.device_class == "09" || usb->device.name.rfind("usb", 0) == 0) {
        why = usb->device.name + " is a hub";
        return std::nullopt;
    }
    if (usb->device.bus <= 0 || usb->device.address <= 0) {
        why = usb->device.name + " has no bus or device number";
        return std::nullopt;
    }
    return usb;
}

const char* stepExitWhy(int status)
{
    switch (status) {
    case static_cast<int>(StepExit::done):
        return "done";
    case static_cast<int>(StepExit::refused):
        return "no USB modem behind its link";
    case static_cast<int>(StepExit::power_ganged):
        return "its hub switches the power of all its ports at once";
    case static_cast<int>(StepExit::power_none):
        return "its hub does not switch its ports' power";
    case static_cast<int>(StepExit::power_unsafe):
        return "its hub port's power may not be switched";
    default:
        return "the kernel refused the step";
    }
}

bool stepExitRefused(int status)
{
    return status == static_cast<int>(StepExit::refused) || status >= static_cast<int>(StepExit::power_ganged);
}

std::string hubPortOf(const UsbDevice& device)
{
    const std::string port = resolvedPath(device.path + "/port");
    struct stat info {};
    return !port.empty() && stat((port + "/disable").c_str(), &info) == 0 ? port : std::string();
}

int resetUsbDevice(const std::string& dev, const UsbDevice& device, UsbResetStep step)
{
    using std::chrono::milliseconds;
    switch (step) {
    case UsbResetStep::reset: {
        char node[64];
        static_cast<void>(std::snprintf(node, sizeof node, "%s/bus/usb/%03d/%03d", dev.c_str(), device.bus,
                                        device.address));
        unique_fd fd(open(node, O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid()) {
            return errno;
        }
        return ioctl(fd.get(), USBDEVFS_RESET, 0) == 0 ? 0 : errno;
    }
    case UsbResetStep::reauthorize: {
        if (const int error = writeAttribute(device.path + "/authorized", "0")) {
            return error;
        }
        std::this_thread::sleep_for(milliseconds(500));
        return writeBack(device.path + "/authorized", "1");
    }
    case UsbResetStep::power_cycle: {
        const std::string port = hubPortOf(device);
        if (port.empty()) {
            return ENOTSUP;
        }
        if (const int error = writeAttribute(port + "/disable", "1")) {
            return error;
        }
        std::this_thread::sleep_for(milliseconds(1000));
        return writeBack(port + "/disable", "0");
    }
    }
    return EINVAL;
}

void restoreUsbDevice(const std::string& device_path)
{
    if (sysfsAttribute(device_path, "authorized") == "0") {
        static_cast<void>(writeBack(device_path + "/authorized", "1"));
    }
    const std::string port = resolvedPath(device_path + "/port");
    if (!port.empty() && sysfsAttribute(port, "disable") == "1") {
        static_cast<void>(writeBack(port + "/disable", "0"));
    }
}

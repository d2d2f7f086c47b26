// Bringing a hung modem back through its USB device: a reset, a new authorization, or a power
// cycle of its hub port, each on the modem behind a gsmmodem link and nothing else.
#pragma once

#include "usb/usb_device.hpp"

#include <optional>
#include <string>
#include <string_view>

// From the mildest to the hardest: USBDEVFS_RESET on the device's node; its authorized
// attribute 0 then 1 (a re-enumeration); its hub port switched off and on again.
enum class UsbResetStep { reset, reauthorize, power_cycle };

const char* usbResetStepName(UsbResetStep step);  // "reset", "reauthorize", "power-cycle"
bool parseUsbResetStep(std::string_view name, UsbResetStep& step);

// The tty, interface and USB device of the modem whose port /dev/`link` names (`dev` and `sys`
// are /dev and /sys), its bus and device numbers read now; nothing, with `why`, when the link
// leads to no tty on a USB device, or to a hub, which is never the modem.
std::optional<TtyOnUsb> modemTtyBehindLink(const std::string& sys, const std::string& dev, const std::string& link,
                                           std::string& why);

// The USB device alone.
std::optional<UsbDevice> modemBehindLink(const std::string& sys, const std::string& dev, const std::string& link,
                                         std::string& why);

// How the helper that runs a step ends, and what each end means to the daemon.
enum class StepExit {
    done = 0,
    refused = 1,         // no USB modem behind the link (or a hub): nothing touched
    failed = 2,          // the kernel refused the step, or did not put the device back
    power_ganged = 3,    // the hub switches all its ports' power at once
    power_none = 4,      // the hub switches no port's power
    power_unsafe = 5,    // something the box needs hangs off the same hub, or no port switch
};
// The words for an exit status of the helper: "done", or why it failed or refused.
const char* stepExitWhy(int status);
bool stepExitRefused(int status);

// The directory of the hub port `device` is plugged into, where its `disable` attribute is;
// empty where the kernel offers none.
std::string hubPortOf(const UsbDevice& device);

// Performs `step` on `device`, the modem itself. 0, or the errno of what failed. A step of two
// writes (authorized 0 then 1, disable 1 then 0) tries the second again when it fails, so that a
// modem is not left switched off.
int resetUsbDevice(const std::string& dev, const UsbDevice& device, UsbResetStep step);

// Puts back what a step of two writes may have left half done: authorized 1, the port enabled.
void restoreUsbDevice(const std::string& device_path);

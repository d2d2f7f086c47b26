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

// The USB device of the modem whose port /dev/`link` names (`dev` and `sys` are /dev and /sys),
// its bus and device numbers read now; nothing, with `why`, when the link leads to no tty on a
// USB device, or to a hub, which is never the modem.
std::optional<UsbDevice> modemBehindLink(const std::string& sys, const std::string& dev, const std::string& link,
                                         std::string& why);

// The directory of the hub port `device` is plugged into, where its `disable` attribute is;
// empty where the kernel offers none.
std::string hubPortOf(const UsbDevice& device);

// Performs `step` on `device`, the modem itself. 0, or the errno of what failed.
int resetUsbDevice(const std::string& dev, const UsbDevice& device, UsbResetStep step);

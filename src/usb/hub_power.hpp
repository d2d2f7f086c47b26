// Whether switching the power of a modem's hub port off and on again cuts that modem and
// nothing else.
#pragma once

#include "usb/usb_device.hpp"

#include <string>

// From sysfs and the mount table alone (what the daemon may read): why the power of `modem`'s
// hub port may not be switched, or empty. The kernel must offer the port's `disable` attribute
// (Linux 6.0 on), and nothing the box lives on may hang off the same hub: a network interface
// (the Raspberry Pi's Ethernet is on its USB hub) or a disk with a mounted file system.
// `mountinfo` is /proc/self/mountinfo.
std::string powerCycleRefusal(const UsbDevice& modem, const std::string& mountinfo);

// The hub's power switching mode, bits 0-1 of wHubCharacteristics in its hub class descriptor
// (USB 2.0, section 11.23.2.1; USB 3.2, section 10.15.2.1).
enum class HubPowerSwitching { unknown, ganged, per_port, none };

// Asks the hub above `modem` for its hub descriptor through usbfs (`dev` is /dev), as lsusb
// does: a control request on the hub's node, which needs no interface claimed.
HubPowerSwitching hubPowerSwitching(const std::string& dev, const UsbDevice& modem);

// The mode in a hub descriptor's bytes; unknown when they are no hub descriptor.
HubPowerSwitching powerSwitchingOf(const unsigned char* descriptor, int length);

// modemwatchd-usb-reset STEP:LINK: one step of bringing back the hung modem whose AT port
// /dev/LINK names (reset, reauthorize or power-cycle), run by modemwatchd as a unit of its own
// (or as a child where no systemd runs), so the daemon's unit need not write /sys or open USB
// device nodes. Exit 0 done, 1 refused (no USB modem there, a hub), 2 failed.
#include "usb/gsmmodem.hpp"
#include "usb/usb_reset.hpp"

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    const std::string word = argc == 2 ? argv[1] : "";
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
    std::string why;
    const std::optional<UsbDevice> device = modemBehindLink("/sys", "/dev", link, why);
    if (!device) {
        static_cast<void>(std::fprintf(stderr, "not touching /dev/%s: %s\n", link.c_str(), why.c_str()));
        return 1;
    }
    if (const int error = resetUsbDevice("/dev", *device, step)) {
        static_cast<void>(std::fprintf(stderr, "%s of %s (%s:%s, /dev/%s) failed: %s\n", usbResetStepName(step),
                                       device->name.c_str(), device->vendor.c_str(), device->product.c_str(),
                                       link.c_str(), std::strerror(error)));
        return 2;
    }
    static_cast<void>(std::fprintf(stderr, "%s of %s (%s:%s, /dev/%s) done\n", usbResetStepName(step),
                                   device->name.c_str(), device->vendor.c_str(), device->product.c_str(),
                                   link.c_str()));
    return 0;
}

// USB-serial bridges: a chip between the USB port and a modem's own serial port. Resetting the
// bridge re-enumerates the chip and leaves the modem, powered on its own, as it was.
#pragma once

#include <string>

// Whether the driver bound to a tty's interface is one of the kernel's USB-serial bridge
// drivers (the kernel's drivers/usb/serial: FTDI, Prolific, Silicon Labs, WCH and the like).
inline bool isUsbSerialBridgeDriver(const std::string& driver)
{
    return driver == "ftdi_sio" || driver == "pl2303" || driver == "cp210x" || driver == "ch341" ||
           driver == "ark3116" || driver == "f81232" || driver == "mct_u232" || driver == "oti6858" ||
           driver == "spcp8x5" || driver == "cypress_m8" || driver == "kl5kusb105" || driver == "mos7720" ||
           driver == "mos7840" || driver == "io_ti" || driver == "ti_usb_3410_5052";
}

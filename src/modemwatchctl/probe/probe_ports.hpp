// `modemwatchctl probe`: the box's USB serial ports, grouped by the USB device that carries them.
#pragma once

#include <string>
#include <vector>

// One interface of a USB device and the tty it carries.
struct SerialPort {
    std::string tty;             // ttyUSB2, ttyACM0
    int interface = -1;          // bInterfaceNumber
    std::string interface_class; // bInterfaceClass, two hex digits
    std::string subclass, protocol;  // bInterfaceSubClass, bInterfaceProtocol: the same
    std::string driver;          // option, qcserial, cdc_acm, pl2303, ...
    std::vector<std::string> links;  // the /dev gsmmodem entries that point at it
    bool held = false;               // some process has it open: never opened here
    // What the AT probe found; `probed` false when the port was not opened.
    bool probed = false;
    bool answered = false;
    std::string make, model, imei;
};

struct UsbModem {
    std::string usb_path;  // the USB device's kernel name, udev's KERNELS: 1-1.2
    std::string vendor, product;  // idVendor, idProduct
    std::string manufacturer, product_name, serial;
    std::vector<SerialPort> ports;  // by interface number
    int at_port = -1;               // index into ports of the AT port, -1 while unknown
    std::string chosen_by;          // "layout 12d1:1003", "Huawei PC UI (ff/02/12)" or "lowest answering"
};

// Every ttyUSB* and ttyACM* of `sys` (normally /sys) on a USB device, with the gsmmodem links of
// `dev` that point at them and whether a process holds them open (from /proc).
std::vector<UsbModem> listSerialModems(const std::string& sys, const std::string& dev);

// Whether the port's driver serves modems: the modem drivers, cdc_acm on a communications
// interface, and the USB-serial bridges modules such as a SIM800 sit behind.
bool servesModems(const SerialPort& port);

// Opens each free port that servesModems() says may be a modem and asks it "AT" (and, on an
// answer, its make, model and IMEI), then picks each modem's AT port (chooseAtPort).
void probeAtPorts(std::vector<UsbModem>& modems, const std::string& dev);

// The modem's AT port among the ports that answered or are held: by the known layout of its
// vendor and product where there is one, by its interface's kind on a Huawei, else the lowest
// interface that answered.
void chooseAtPort(UsbModem& modem);

// A sysfs tree of USB serial ports as the kernel lays it out, in a directory of the test's: the
// links are relative, so it reads the same where it is and bound over /sys.
#pragma once

#include <string>

struct FakeUsbDevice {
    std::string usb_path;  // the kernel name, 1-1.2: below the hub 1-1 of bus 1
    std::string vendor, product, manufacturer, product_name, serial;
    std::string device_class = "00";
    int address = 2;  // devnum; busnum is 1
};

struct FakeUsbPort {
    std::string tty;       // ttyUSB0 (below a usb-serial port device) or ttyACM0 (on the interface)
    std::string usb_path;  // the device it is on
    int interface = 0;
    std::string interface_class = "ff";
    std::string driver = "option";
    std::string subclass = "00", protocol = "00";
};

// An interface with no tty: mass storage (class 08, usb-storage), a network adapter's.
struct FakeUsbInterface {
    std::string usb_path;
    int interface = 0;
    std::string interface_class = "08";
    std::string driver = "usb-storage";
};

// The sysfs directory of the USB device `usb_path`, relative to the tree's root: /devices/...
std::string fakeUsbDevicePath(const std::string& usb_path);

void addFakeUsbDevice(const std::string& sys, const FakeUsbDevice& device);
void addFakeUsbPort(const std::string& sys, const FakeUsbPort& port);
void addFakeUsbInterface(const std::string& sys, const FakeUsbInterface& interface);

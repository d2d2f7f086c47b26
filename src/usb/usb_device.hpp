// The USB device and interface a tty sits on, read from sysfs.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct UsbInterface {
    std::string path;             // its sysfs directory: .../1-1.2/1-1.2:1.3
    int number = -1;              // bInterfaceNumber
    std::string interface_class;  // bInterfaceClass, two hex digits
    std::string subclass, protocol;  // bInterfaceSubClass, bInterfaceProtocol: the same
    std::string driver;           // option, qcserial, cdc_acm, pl2303, ...
};

struct UsbDevice {
    std::string path;  // its sysfs directory, every link resolved
    std::string name;  // its kernel name, the USB path udev's KERNELS matches: 1-1.2
    std::string vendor, product;  // idVendor, idProduct
    std::string manufacturer, product_name, serial;
    std::string device_class;     // bDeviceClass: 09 for a hub
    int bus = -1, address = -1;   // busnum, devnum: its node /dev/bus/usb/BBB/DDD
};

struct TtyOnUsb {
    UsbInterface interface;
    UsbDevice device;
};

// The ttyUSB* and ttyACM* that `sys` (normally /sys) knows, sorted.
std::vector<std::string> usbSerialTtys(const std::string& sys);

// The interface and device under the tty `tty` of `sys`: up from its device to the first
// directory with a bInterfaceNumber, whose parent is the USB device (it has an idVendor).
// Nothing for a tty that is on no USB device.
std::optional<TtyOnUsb> usbBehindTty(const std::string& sys, const std::string& tty);

// Every USB device `sys` lists under bus/usb/devices (root hubs and hubs among them), by kernel
// name.
std::vector<UsbDevice> usbDevices(const std::string& sys);

// The interfaces of the device's active configuration, by number.
std::vector<UsbInterface> usbInterfaces(const UsbDevice& device);

// Whether the interfaces of one device are all mass storage (class 08), and there is one: a
// modem like this is the CD-ROM of its driver disc until usb_modeswitch switches it.
bool allMassStorage(const std::vector<UsbInterface>& interfaces);

// The USB device `sys` lists by the kernel name `name` ("1-1.2") now; the same when it is in
// storage mode.
std::optional<UsbDevice> usbDeviceAt(const std::string& sys, const std::string& name);
std::optional<UsbDevice> storageModeDeviceAt(const std::string& sys, const std::string& name);

// The USB device in the sysfs directory `path`, its attributes read now. Nothing when the
// directory is no USB device (no idVendor), or no longer there.
std::optional<UsbDevice> readUsbDevice(const std::string& path);

// A sysfs tree of USB serial ports as the kernel lays it out, in a directory of the test's.
#include "sandbox/fake_sysfs.hpp"

#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kBus = "/devices/pci0000:00/0000:00:14.0/usb1";

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void makeDirs(const std::string& path)
{
    for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) {
        mkdir(path.substr(0, at).c_str(), 0755);
    }
    mkdir(path.c_str(), 0755);
}

// A link at `sys`+`from` to `sys`+`to`, written relative as the kernel writes them.
void link(const std::string& sys, const std::string& from, const std::string& to)
{
    std::string up;
    for (size_t at = from.find('/', 1); at != std::string::npos; at = from.find('/', at + 1)) {
        up += "../";
    }
    symlink((up + to.substr(1)).c_str(), (sys + from).c_str());
}

} // namespace

std::string fakeUsbDevicePath(const std::string& usb_path)
{
    // Devices on a hub's port hang below the hub: 1-1.2 below 1-1.
    const size_t dot = usb_path.rfind('.');
    return dot == std::string::npos ? kBus + "/" + usb_path : fakeUsbDevicePath(usb_path.substr(0, dot)) + "/" + usb_path;
}

void addFakeUsbDevice(const std::string& sys, const FakeUsbDevice& device)
{
    const std::string dir = sys + fakeUsbDevicePath(device.usb_path);
    makeDirs(dir);
    writeFile(dir + "/idVendor", device.vendor + "\n");
    writeFile(dir + "/idProduct", device.product + "\n");
    writeFile(dir + "/manufacturer", device.manufacturer + "\n");
    writeFile(dir + "/product", device.product_name + "\n");
    writeFile(dir + "/serial", device.serial + "\n");
    writeFile(dir + "/bDeviceClass", device.device_class + "\n");
    writeFile(dir + "/busnum", "1\n");
    writeFile(dir + "/devnum", std::to_string(device.address) + "\n");
    makeDirs(sys + "/bus/usb/devices");
    link(sys, "/bus/usb/devices/" + device.usb_path, fakeUsbDevicePath(device.usb_path));
}

namespace {

// The interface's directory, relative to the tree's root.
std::string addInterface(const std::string& sys, const std::string& usb_path, int number,
                         const std::string& interface_class, const std::string& subclass,
                         const std::string& protocol, const std::string& driver)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x", number);
    const std::string interface = fakeUsbDevicePath(usb_path) + "/" + usb_path + ":1." + std::to_string(number);
    makeDirs(sys + interface);
    writeFile(sys + interface + "/bInterfaceNumber", std::string(hex) + "\n");
    writeFile(sys + interface + "/bInterfaceClass", interface_class + "\n");
    writeFile(sys + interface + "/bInterfaceSubClass", subclass + "\n");
    writeFile(sys + interface + "/bInterfaceProtocol", protocol + "\n");
    makeDirs(sys + "/bus/usb/drivers/" + driver);
    link(sys, interface + "/driver", "/bus/usb/drivers/" + driver);
    return interface;
}

} // namespace

void addFakeUsbInterface(const std::string& sys, const FakeUsbInterface& interface)
{
    addInterface(sys, interface.usb_path, interface.interface, interface.interface_class, "00", "00", interface.driver);
}

void addFakeUsbPort(const std::string& sys, const FakeUsbPort& port)
{
    const std::string interface = addInterface(sys, port.usb_path, port.interface, port.interface_class, port.subclass,
                                               port.protocol, port.driver);
    // ttyUSB hangs below a usb-serial port device, ttyACM on the interface itself.
    const std::string tty_device = port.tty.rfind("ttyUSB", 0) == 0 ? interface + "/" + port.tty : interface;
    makeDirs(sys + tty_device);
    makeDirs(sys + "/class/tty/" + port.tty);
    link(sys, "/class/tty/" + port.tty + "/device", tty_device);
}

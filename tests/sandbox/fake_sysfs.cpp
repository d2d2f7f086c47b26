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
}

void addFakeUsbPort(const std::string& sys, const FakeUsbPort& port)
{
    char number[8];
    std::snprintf(number, sizeof number, "%02x", port.interface);
    const std::string interface =
        fakeUsbDevicePath(port.usb_path) + "/" + port.usb_path + ":1." + std::to_string(port.interface);
    makeDirs(sys + interface);
    writeFile(sys + interface + "/bInterfaceNumber", std::string(number) + "\n");
    writeFile(sys + interface + "/bInterfaceClass", port.interface_class + "\n");
    makeDirs(sys + "/bus/usb/drivers/" + port.driver);
    link(sys, interface + "/driver", "/bus/usb/drivers/" + port.driver);
    // ttyUSB hangs below a usb-serial port device, ttyACM on the interface itself.
    const std::string tty_device = port.tty.rfind("ttyUSB", 0) == 0 ? interface + "/" + port.tty : interface;
    makeDirs(sys + tty_device);
    makeDirs(sys + "/class/tty/" + port.tty);
    link(sys, "/class/tty/" + port.tty + "/device", tty_device);
}

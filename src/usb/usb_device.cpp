// The USB device and interface a tty sits on, read from sysfs.
#include "usb/usb_device.hpp"

#include "usb/sysfs.hpp"

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace {

int decimal(const std::string& text)
{
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    return text.empty() || *end != '\0' || value < 0 || value > 0xffff ? -1 : static_cast<int>(value);
}

UsbInterface readInterface(const std::string& path)
{
    UsbInterface interface;
    interface.path = path;
    interface.number = static_cast<int>(std::strtol(sysfsAttribute(path, "bInterfaceNumber").c_str(), nullptr, 16));
    interface.interface_class = sysfsAttribute(path, "bInterfaceClass");
    interface.subclass = sysfsAttribute(path, "bInterfaceSubClass");
    interface.protocol = sysfsAttribute(path, "bInterfaceProtocol");
    interface.driver = baseName(linkTarget(path + "/driver"));
    return interface;
}

} // namespace

std::vector<std::string> usbSerialTtys(const std::string& sys)
{
    const std::vector<std::string> all = sortedEntries(sys + "/class/tty");
    std::vector<std::string> ttys;
    std::copy_if(all.begin(), all.end(), std::back_inserter(ttys), [](const std::string& tty) {
        return tty.rfind("ttyUSB", 0) == 0 || tty.rfind("ttyACM", 0) == 0;
    });
    return ttys;
}

std::optional<UsbDevice> readUsbDevice(const std::string& path)
{
    UsbDevice device;
    device.path = path;
    device.name = baseName(path);
    device.vendor = sysfsAttribute(path, "idVendor");
    if (device.vendor.empty()) {
        return std::nullopt;
    }
    device.product = sysfsAttribute(path, "idProduct");
    device.manufacturer = sysfsAttribute(path, "manufacturer");
    device.product_name = sysfsAttribute(path, "product");
    device.serial = sysfsAttribute(path, "serial");
    device.device_class = sysfsAttribute(path, "bDeviceClass");
    device.bus = decimal(sysfsAttribute(path, "busnum"));
    device.address = decimal(sysfsAttribute(path, "devnum"));
    return device;
}

std::vector<UsbDevice> usbDevices(const std::string& sys)
{
    std::vector<UsbDevice> devices;
    const std::string bus = sys + "/bus/usb/devices/";
    for (const std::string& name : sortedEntries(bus)) {
        // 1-1.2:1.0 is an interface of 1-1.2.
        if (name.find(':') != std::string::npos) {
            continue;
        }
        std::optional<UsbDevice> device = readUsbDevice(resolvedPath(bus + name));
        if (device) {
            devices.push_back(std::move(*device));
        }
    }
    return devices;
}

std::vector<UsbInterface> usbInterfaces(const UsbDevice& device)
{
    std::vector<UsbInterface> interfaces;
    for (const std::string& name : sortedEntries(device.path)) {
        if (name.rfind(device.name + ":", 0) == 0 && !sysfsAttribute(device.path + "/" + name, "bInterfaceNumber").empty()) {
            interfaces.push_back(readInterface(device.path + "/" + name));
        }
    }
    std::sort(interfaces.begin(), interfaces.end(),
              [](const UsbInterface& a, const UsbInterface& b) { return a.number < b.number; });
    return interfaces;
}

bool allMassStorage(const std::vector<UsbInterface>& interfaces)
{
    return !interfaces.empty() && std::all_of(interfaces.begin(), interfaces.end(), [](const UsbInterface& interface) {
        return interface.interface_class == "08";
    });
}

std::optional<UsbDevice> usbDeviceAt(const std::string& sys, const std::string& name)
{
    return readUsbDevice(resolvedPath(sys + "/bus/usb/devices/" + name));
}

std::optional<UsbDevice> storageModeDeviceAt(const std::string& sys, const std::string& name)
{
    std::optional<UsbDevice> device = usbDeviceAt(sys, name);
    if (!device || !allMassStorage(usbInterfaces(*device))) {
        return std::nullopt;
    }
    return device;
}

std::optional<TtyOnUsb> usbBehindTty(const std::string& sys, const std::string& tty)
{
    std::string interface = resolvedPath(sys + "/class/tty/" + tty + "/device");
    const std::string top = resolvedPath(sys);
    while (interface.size() > top.size() && sysfsAttribute(interface, "bInterfaceNumber").empty()) {
        interface = parentOf(interface);
    }
    if (interface.size() <= top.size()) {
        return std::nullopt;
    }
    std::optional<UsbDevice> device = readUsbDevice(parentOf(interface));
    if (!device) {
        return std::nullopt;
    }
    TtyOnUsb found;
    found.device = std::move(*device);
    found.interface = readInterface(interface);
    return found;
}

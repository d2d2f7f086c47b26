// `modemwatchctl probe`: the box's USB serial ports, grouped by the USB device that carries them.
#include "modemwatchctl/probe/probe_ports.hpp"

#include "modemwatchctl/probe/at_probe.hpp"
#include "modemwatchctl/probe/known_layouts.hpp"
#include "usb/gsmmodem.hpp"
#include "usb/sysfs.hpp"
#include "usb/usb_device.hpp"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <unistd.h>

namespace {

// The tty names some other process has open, from every /proc/PID/fd; what /proc hides stays
// unseen (hence root only).
std::set<std::string> heldTtys(const std::string& dev)
{
    std::set<std::string> held;
    for (const std::string& pid : sortedEntries("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos || std::strtol(pid.c_str(), nullptr, 10) == getpid()) {
            continue;
        }
        const std::string fds = "/proc/" + pid + "/fd/";
        for (const std::string& fd : sortedEntries(fds)) {
            const std::string target = linkTarget(fds + fd);
            if (target.rfind(dev + "/tty", 0) == 0) {
                held.insert(baseName(target));
            }
        }
    }
    return held;
}

// tty name -> the /dev entries with "gsmmodem" in their names that link to it.
std::map<std::string, std::vector<std::string>> gsmmodemLinks(const std::string& dev)
{
    std::map<std::string, std::vector<std::string>> links;
    const std::string directory = dev + "/";
    for (const std::string& name : sortedEntries(dev)) {
        if (isGsmmodemName(name)) {
            const std::string target = linkTarget(directory + name);
            if (!target.empty()) {
                links[baseName(target)].push_back(name);
            }
        }
    }
    return links;
}

} // namespace

bool servesModems(const SerialPort& port)
{
    static const std::set<std::string> kModemDrivers = {"option", "qcserial", "sierra", "pl2303",
                                                         "ch341", "cp210x", "ftdi_sio"};
    // cdc_acm also drives the data interfaces and plenty of gadgets that are no modem: only its
    // communications interface (class 02) is the AT port.
    return kModemDrivers.count(port.driver) != 0 || (port.driver == "cdc_acm" && port.interface_class == "02");
}

std::vector<UsbModem> listSerialModems(const std::string& sys, const std::string& dev)
{
    const std::set<std::string> held = heldTtys(dev);
    const std::map<std::string, std::vector<std::string>> links = gsmmodemLinks(dev);
    std::map<std::string, UsbModem> by_path;
    for (const std::string& tty : usbSerialTtys(sys)) {
        const std::optional<TtyOnUsb> usb = usbBehindTty(sys, tty);
        if (!usb) {
            continue;
        }
        UsbModem& modem = by_path[usb->device.name];
        modem.usb_path = usb->device.name;
        modem.vendor = usb->device.vendor;
        modem.product = usb->device.product;
        modem.manufacturer = usb->device.manufacturer;
        modem.product_name = usb->device.product_name;
        modem.serial = usb->device.serial;
        SerialPort port;
        port.tty = tty;
        port.interface = usb->interface.number;
        port.interface_class = usb->interface.interface_class;
        port.subclass = usb->interface.subclass;
        port.protocol = usb->interface.protocol;
        port.driver = usb->interface.driver;
        port.held = held.count(tty) != 0;
        const auto linked = links.find(tty);
        if (linked != links.end()) {
            port.links = linked->second;
        }
        modem.ports.push_back(port);
    }
    std::vector<UsbModem> modems;
    for (auto& [path, modem] : by_path) {
        std::sort(modem.ports.begin(), modem.ports.end(),
                  [](const SerialPort& a, const SerialPort& b) { return a.interface < b.interface; });
        modems.push_back(modem);
    }
    return modems;
}

void probeAtPorts(std::vector<UsbModem>& modems, const std::string& dev)
{
    for (UsbModem& modem : modems) {
        for (SerialPort& port : modem.ports) {
            if (port.held || !servesModems(port)) {
                continue;
            }
            // Held ports were found at the listing, seconds ago: smsd may have opened this one
            // since, or may do so while we open it.
            const auto held = [&] { return heldTtys(dev).count(port.tty) != 0; };
            if (held()) {
                port.held = true;
                continue;
            }
            const AtAnswer answer = askAt(dev + "/" + port.tty, held);
            port.held = answer.held;
            port.probed = answer.opened;
            port.answered = answer.answered;
            port.make = answer.make;
            port.model = answer.model;
            port.imei = answer.imei;
        }
        chooseAtPort(modem);
    }
}

void chooseAtPort(UsbModem& modem)
{
    modem.at_port = -1;
    modem.chosen_by.clear();
    const int known = knownAtInterface(modem.vendor, modem.product);
    for (size_t k = 0; k < modem.ports.size() && modem.at_port < 0; ++k) {
        // A held port of the known layout is the AT port smsd (or another program) already talks
        // to: another interface answering AT is no reason to move away from it.
        const SerialPort& port = modem.ports[k];
        if (!port.answered && !port.held) {
            continue;
        }
        if (known >= 0 && port.interface == known) {
            modem.at_port = static_cast<int>(k);
            modem.chosen_by = "layout " + modem.vendor + ":" + modem.product;
        } else if (known < 0 && modem.vendor == kHuaweiVendor &&
                   isHuaweiPcUi(port.interface_class, port.subclass, port.protocol)) {
            modem.at_port = static_cast<int>(k);
            modem.chosen_by = "Huawei PC UI (" + port.interface_class + "/" + port.subclass + "/" + port.protocol + ")";
        }
    }
    for (size_t k = 0; k < modem.ports.size() && modem.at_port < 0; ++k) {
        if (modem.ports[k].answered) {
            modem.at_port = static_cast<int>(k);
            modem.chosen_by = "lowest answering";
        }
    }
}

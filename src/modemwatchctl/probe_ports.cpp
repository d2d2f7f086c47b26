// `modemwatchctl probe`: the box's USB serial ports, grouped by the USB device that carries them.
#include "modemwatchctl/probe_ports.hpp"

#include "common/unique_fd.hpp"
#include "modemwatchctl/at_probe.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A sysfs attribute, its trailing newline cut; empty when absent.
std::string attribute(const std::string& directory, const char* name)
{
    unique_fd fd(open((directory + "/" + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    char text[256] = {};
    const ssize_t got = fd.valid() ? read(fd.get(), text, sizeof text - 1) : -1;
    std::string value = got > 0 ? std::string(text, static_cast<size_t>(got)) : std::string();
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) {
        value.pop_back();
    }
    return value;
}

std::string resolved(const std::string& path)
{
    char real[PATH_MAX];
    return realpath(path.c_str(), real) != nullptr ? std::string(real) : std::string();
}

std::string baseName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

std::string parentOf(const std::string& path)
{
    return path.substr(0, path.rfind('/'));
}

std::string linkName(const std::string& path)
{
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

std::vector<std::string> entries(const std::string& directory)
{
    std::vector<std::string> names;
    if (dir_ptr listing{opendir(directory.c_str())}) {
        while (const dirent* entry = readdir(listing.get())) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The tty names some process has open, from every /proc/PID/fd; what /proc hides stays unseen.
std::set<std::string> heldTtys(const std::string& dev)
{
    std::set<std::string> held;
    for (const std::string& pid : entries("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos || std::strtol(pid.c_str(), nullptr, 10) == getpid()) {
            continue;
        }
        const std::string fds = "/proc/" + pid + "/fd/";
        for (const std::string& fd : entries(fds)) {
            const std::string target = linkName(fds + fd);
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
    for (const std::string& name : entries(dev)) {
        if (name.find("gsmmodem") != std::string::npos) {
            const std::string target = linkName(directory + name);
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
    for (const std::string& tty : entries(sys + "/class/tty")) {
        if (tty.rfind("ttyUSB", 0) != 0 && tty.rfind("ttyACM", 0) != 0) {
            continue;
        }
        // Up from the tty's device to the interface (it has a bInterfaceNumber), whose parent is
        // the USB device (it has an idVendor).
        std::string device_link = sys + "/class/tty/";
        device_link.append(tty).append("/device");
        std::string interface = resolved(device_link);
        while (interface.size() > sys.size() && attribute(interface, "bInterfaceNumber").empty()) {
            interface = parentOf(interface);
        }
        const std::string device = parentOf(interface);
        if (interface.size() <= sys.size() || attribute(device, "idVendor").empty()) {
            continue;
        }
        UsbModem& modem = by_path[baseName(device)];
        modem.usb_path = baseName(device);
        modem.vendor = attribute(device, "idVendor");
        modem.product = attribute(device, "idProduct");
        modem.manufacturer = attribute(device, "manufacturer");
        modem.product_name = attribute(device, "product");
        modem.serial = attribute(device, "serial");
        SerialPort port;
        port.tty = tty;
        port.interface = static_cast<int>(std::strtol(attribute(interface, "bInterfaceNumber").c_str(), nullptr, 16));
        port.interface_class = attribute(interface, "bInterfaceClass");
        port.driver = baseName(linkName(interface + "/driver"));
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
            const AtAnswer answer = askAt(dev + "/" + port.tty);
            port.probed = answer.opened;
            port.answered = answer.answered;
            port.make = answer.make;
            port.model = answer.model;
            port.imei = answer.imei;
        }
        const int known = knownAtInterface(modem.vendor, modem.product);
        for (size_t k = 0; k < modem.ports.size(); ++k) {
            // A held port of the known layout is the AT port smsd (or another program) already
            // talks to: another interface answering AT is no reason to move away from it.
            const SerialPort& port = modem.ports[k];
            if (known >= 0 && port.interface == known && (port.answered || port.held)) {
                modem.at_port = static_cast<int>(k);
                modem.chosen_by = "layout " + modem.vendor + ":" + modem.product;
            }
        }
        for (size_t k = 0; k < modem.ports.size() && modem.at_port < 0; ++k) {
            if (modem.ports[k].answered) {
                modem.at_port = static_cast<int>(k);
                modem.chosen_by = "lowest answering";
            }
        }
    }
}

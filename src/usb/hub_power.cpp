// Whether switching the power of a modem's hub port cuts that modem and nothing else.
#include "usb/hub_power.hpp"

#include "common/unique_fd.hpp"
#include "usb/sysfs.hpp"
#include "usb/usb_reset.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace {

// The major:minor of every mounted file system: the third field of each line of mountinfo.
// (stdio, not iostreams: those would add most of a megabyte to the static binaries.)
std::set<std::string> mountedDevices(const std::string& mountinfo)
{
    std::set<std::string> devices;
    const file_ptr in(std::fopen(mountinfo.c_str(), "re"));
    char line[512];
    bool line_start = true;
    while (in && std::fgets(line, sizeof line, in.get()) != nullptr) {
        char device[32];
        if (line_start && std::sscanf(line, "%*s %*s %31s", device) == 1) {
            devices.insert(device);
        }
        // A longer line's rest is no line of its own.
        line_start = std::strchr(line, '\n') != nullptr;
    }
    return devices;
}

// Looks through the sysfs tree under `directory` (no link followed, so each device once) for a
// network interface or a block device holding a mounted file system, leaving out `skip`.
std::string whatTheBoxNeeds(const std::string& directory, const std::string& skip, const std::set<std::string>& mounted,
                            int depth)
{
    if (depth > 12) {
        return std::string();
    }
    dir_ptr listing(opendir(directory.c_str()));
    if (!listing) {
        return std::string();
    }
    while (const dirent* entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        std::string path = directory;
        path.append("/").append(name);
        if (entry->d_type != DT_DIR || name == "." || name == ".." || path == skip) {
            continue;
        }
        if (name == "net") {
            const std::vector<std::string> interfaces = sortedEntries(path);
            if (!interfaces.empty()) {
                return "network interface " + interfaces.front() + " on the same hub";
            }
        }
        if (mounted.count(sysfsAttribute(path, "dev")) != 0 && parentOf(path).find("/block") != std::string::npos) {
            return "disk " + name + ", mounted, on the same hub";
        }
        std::string found = whatTheBoxNeeds(path, skip, mounted, depth + 1);
        if (!found.empty()) {
            return found;
        }
    }
    return std::string();
}

} // namespace

std::string powerCycleRefusal(const UsbDevice& modem, const std::string& mountinfo)
{
    if (hubPortOf(modem).empty()) {
        return "the kernel offers no switch for its hub port's power (Linux 6.0 and later do)";
    }
    return whatTheBoxNeeds(parentOf(modem.path), modem.path, mountedDevices(mountinfo), 0);
}

HubPowerSwitching powerSwitchingOf(const unsigned char* descriptor, int length)
{
    // bLength, bDescriptorType (0x29 USB 2.0 hub, 0x2a SuperSpeed hub), bNbrPorts, wHubCharacteristics.
    if (length < 5 || (descriptor[1] != 0x29 && descriptor[1] != 0x2a)) {
        return HubPowerSwitching::unknown;
    }
    switch (descriptor[3] & 0x03) {
    case 0:
        return HubPowerSwitching::ganged;
    case 1:
        return HubPowerSwitching::per_port;
    default:
        return HubPowerSwitching::none;
    }
}

HubPowerSwitching hubPowerSwitching(const std::string& dev, const UsbDevice& modem)
{
    const std::optional<UsbDevice> hub = readUsbDevice(parentOf(modem.path));
    if (!hub || hub->bus <= 0 || hub->address <= 0) {
        return HubPowerSwitching::unknown;
    }
    char node[64];
    static_cast<void>(std::snprintf(node, sizeof node, "%s/bus/usb/%03d/%03d", dev.c_str(), hub->bus, hub->address));
    unique_fd fd(open(node, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        return HubPowerSwitching::unknown;
    }
    const bool superspeed = std::strtol(sysfsAttribute(hub->path, "speed").c_str(), nullptr, 10) >= 5000;
    unsigned char descriptor[16] = {};
    usbdevfs_ctrltransfer request {};
    request.bRequestType = 0xa0;  // device to host, class, device
    request.bRequest = 0x06;      // GET_DESCRIPTOR
    request.wValue = static_cast<__u16>((superspeed ? 0x2a : 0x29) << 8);
    request.wIndex = 0;
    request.wLength = sizeof descriptor;
    request.timeout = 1000;
    request.data = descriptor;
    const int got = ioctl(fd.get(), USBDEVFS_CONTROL, &request);
    return got < 0 ? HubPowerSwitching::unknown : powerSwitchingOf(descriptor, got);
}

// The udev rules `modemwatchctl probe --udev-rules` writes: a stable gsmmodem name for each
// modem's AT port, and modem managers kept off the whole modem.
#include "modemwatchctl/probe/probe_rules.hpp"

#include "common/concat.hpp"
#include "common/replace_file.hpp"
#include "common/spawn.hpp"
#include "common/text_escape.hpp"
#include "common/unique_fd.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kMarker[] = "# Written by modemwatchctl probe --udev-rules --write.";

// Whether the file at the rules path is one this command wrote, or there is none: never a link
// (even one to nowhere), never anything but a regular file starting with our marker.
bool oursToReplace(int directory)
{
    unique_fd fd(openat(directory, kProbeRulesName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        return errno == ENOENT;
    }
    struct stat info {};
    char first[sizeof kMarker] = {};
    return fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) &&
           read(fd.get(), first, sizeof first - 1) == static_cast<ssize_t>(sizeof first - 1) &&
           std::strcmp(first, kMarker) == 0;
}

// A USB path as the kernel names devices ("1-1.2"), so it can stand in a rule and a /dev name.
bool plainUsbPath(const std::string& path)
{
    return !path.empty() && path.find_first_not_of("0123456789.-") == std::string::npos;
}

std::string twoHex(int number)
{
    char text[8];
    static_cast<void>(std::snprintf(text, sizeof text, "%02x", number & 0xff));
    return text;
}

} // namespace

std::string udevRules(const std::vector<UsbModem>& modems)
{
    std::string text = std::string(kMarker) + "\n" +
                       "# It replaces this file whenever it is run so again; edit a copy of another name instead.\n"
                       "#\n"
                       "# Each modem's AT port is named gsmmodem-<USB path>, after the USB port the modem is plugged\n"
                       "# into, and modem managers are kept off the whole modem. First the number of the USB\n"
                       "# interface a tty is on: a rule matches the attributes of one parent device only, and the AT\n"
                       "# port is told by its interface and its USB device together.\n"
                       "SUBSYSTEM==\"tty\", SUBSYSTEMS==\"usb\", ATTRS{bInterfaceNumber}==\"?*\", "
                       "ENV{MODEMWATCHD_USB_INTERFACE}=\"$attr{bInterfaceNumber}\"\n";
    for (const UsbModem& modem : modems) {
        if (!plainUsbPath(modem.usb_path)) {
            continue;
        }
        const std::string& path = modem.usb_path;
        text += "\n# " + path + ": " + printableAscii(spaced({modem.vendor + ":" + modem.product, modem.manufacturer,
                                                         modem.product_name})) + "\n";
        if (modem.at_port < 0) {
            const bool held = std::any_of(modem.ports.begin(), modem.ports.end(),
                                          [](const SerialPort& port) { return port.held; });
            text += held ? "# a port is held open (by smsd?) and no other answers AT: stop what holds it and probe\n"
                           "# again; not named\n"
                         : "# no port answered AT: not named\n";
            continue;
        }
        const SerialPort& port = modem.ports[static_cast<size_t>(modem.at_port)];
        text += "# AT port: interface " + twoHex(port.interface) + " (" + port.tty + " when probed; " +
                modem.chosen_by + ")";
        if (!port.make.empty() || !port.model.empty()) {
            text += ", " + printableAscii(spaced({port.make, port.model}));
        }
        text += "\nSUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", KERNEL==\"" + path +
                "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
        text += "SUBSYSTEM==\"tty\", KERNELS==\"" + path + "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
        text += "SUBSYSTEM==\"tty\", KERNELS==\"" + path + "\", ENV{MODEMWATCHD_USB_INTERFACE}==\"" +
                twoHex(port.interface);
        text.append("\", SYMLINK+=\"gsmmodem-").append(path).append("\"\n");
    }
    return text;
}

int writeUdevRules(const std::string& rules)
{
    unique_fd directory(open(kProbeRulesDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid()) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: cannot write %s: %s\n", kProbeRulesPath, std::strerror(errno)));
        return 3;
    }
    if (!oursToReplace(directory.get())) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: %s was not written by modemwatchctl probe: not replacing it\n",
                     kProbeRulesPath));
        return 3;
    }
    // An aside of our own: another run at the same time writes its own, and the later rename wins.
    const std::string aside = "." + std::string(kProbeRulesName) + "." + std::to_string(getpid()) + ".new";
    if (const int error = replaceFileAt(directory.get(), kProbeRulesName, aside.c_str(), rules, 0644, true)) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: cannot install %s: %s\n", kProbeRulesPath, std::strerror(error)));
        return 3;
    }
    constexpr int kUdevadmMilliseconds = 30000;
    if (runProgram({"/usr/bin/udevadm", "control", "--reload"}, kUdevadmMilliseconds) != 0 ||
        runProgram({"/usr/bin/udevadm", "trigger", "--action=add", "--subsystem-match=tty"}, kUdevadmMilliseconds) != 0) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: %s is written, but udev could not be reloaded and triggered\n",
                     kProbeRulesPath));
        return 3;
    }
    return 0;
}

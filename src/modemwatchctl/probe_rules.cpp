// The udev rules `modemwatchctl probe --udev-rules` writes: a stable gsmmodem name for each
// modem's AT port, and modem managers kept off the whole modem.
#include "modemwatchctl/probe_rules.hpp"

#include "common/concat.hpp"
#include "common/text_escape.hpp"
#include "common/unique_fd.hpp"
#include "common/write_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr char kMarker[] = "# Written by modemwatchctl probe --udev-rules --write.";

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

int run(const char* program, std::initializer_list<const char*> args)
{
    std::vector<char*> argv = {const_cast<char*>(program)};
    std::transform(args.begin(), args.end(), std::back_inserter(argv), [](const char* arg) { return const_cast<char*>(arg); });
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, program, nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
    {
        const file_ptr existing(std::fopen(kProbeRulesPath, "re"));
        char first[128] = {};
        if (existing && (std::fgets(first, sizeof first, existing.get()) == nullptr ||
                         std::strncmp(first, kMarker, std::strlen(kMarker)) != 0)) {
            static_cast<void>(std::fprintf(stderr, "modemwatchctl: %s was not written by modemwatchctl probe: not replacing it\n",
                         kProbeRulesPath));
            return 3;
        }
    }
    const std::string aside = std::string(kProbeRulesPath) + ".new";
    unlink(aside.c_str());
    if (const int error = writeWholeFile(aside.c_str(), rules)) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: cannot write %s: %s\n", aside.c_str(), std::strerror(error)));
        return 3;
    }
    if (rename(aside.c_str(), kProbeRulesPath) != 0) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: cannot install %s: %s\n", kProbeRulesPath, std::strerror(errno)));
        unlink(aside.c_str());
        return 3;
    }
    if (run("/usr/bin/udevadm", {"control", "--reload"}) != 0 ||
        run("/usr/bin/udevadm", {"trigger", "--action=add", "--subsystem-match=tty"}) != 0) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: %s is written, but udev could not be reloaded and triggered\n",
                     kProbeRulesPath));
        return 3;
    }
    return 0;
}

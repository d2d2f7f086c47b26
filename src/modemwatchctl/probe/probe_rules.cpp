// The udev rules `modemwatchctl probe --udev-rules` writes: a stable gsmmodem name for each
// modem's AT port, and modem managers kept off the whole modem.
#include "modemwatchctl/probe/probe_rules.hpp"

#include "common/concat.hpp"
#include "common/replace_file.hpp"
#include "common/spawn.hpp"
#include "common/systemd.hpp"
#include "common/text_escape.hpp"
#include "common/unique_fd.hpp"
#include "modemwatchctl/probe/known_layouts.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
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

// The rules for a model: modem managers kept off its USB device and every tty on it, and its AT
// interface named after the USB port of the device itself. A rule's ATTRS (and KERNELS) all
// match one and the same parent, the modem: a hub between it and the root port is never taken
// for it, so two modems behind a hub get a name each. `usb_path` keeps a model to that port.
std::string modelRules(const std::string& vendor, const std::string& product, int interface,
                       const std::string& usb_path)
{
    const std::string ids = "ATTR{idVendor}==\"" + vendor + "\", ATTR{idProduct}==\"" + product + "\"";
    const std::string parent =
        (usb_path.empty() ? std::string() : "KERNELS==\"" + usb_path + "\", ") + "ATTRS{idVendor}==\"" + vendor +
        "\", ATTRS{idProduct}==\"" + product + "\"";
    const std::string name = usb_path.empty() ? "%b" : usb_path;
    return "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", " +
           (usb_path.empty() ? std::string() : "KERNEL==\"" + usb_path + "\", ") + ids +
           ", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n" + "SUBSYSTEM==\"tty\", " + parent +
           ", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n" + "SUBSYSTEM==\"tty\", " + parent +
           ", ENV{MODEMWATCHD_USB_INTERFACE}==\"" + twoHex(interface) + "\", SYMLINK+=\"gsmmodem-" + name + "\"\n";
}

// Every other Huawei in a serial mode, by the kind of its PC UI interface: those named by id
// above keep their rules (one gsmmodem name a modem; were two ttys of one modem given it, udev
// would link it to one of them only, never count it twice).
std::string huaweiRules(const std::set<std::string>& named_models)
{
    std::string named;
    for (const std::string& model : named_models) {
        if (model.rfind(std::string(kHuaweiVendor) + ":", 0) == 0) {
            named += (named.empty() ? "" : "|") + model.substr(5);
        }
    }
    const std::string parent = "ATTRS{idVendor}==\"" + std::string(kHuaweiVendor) + "\"" +
                               (named.empty() ? std::string() : ", ATTRS{idProduct}!=\"" + named + "\"");
    return "\n# " + std::string(kHuaweiVendor) +
           ": Huawei in a serial mode, any other product: the AT port is its PC UI interface, told by\n"
           "# class, subclass and protocol, which move less than interface numbers do\n"
           "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" +
           kHuaweiVendor + "\"" + (named.empty() ? std::string() : ", ATTR{idProduct}!=\"" + named + "\"") +
           ", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n" + "SUBSYSTEM==\"tty\", " + parent +
           ", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n" + "SUBSYSTEM==\"tty\", " + parent +
           ", ENV{MODEMWATCHD_USB_INTERFACE_KIND}==\"" + kHuaweiPcUiPattern + "\", SYMLINK+=\"gsmmodem-%b\"\n";
}

} // namespace

std::string udevRules(const std::vector<UsbModem>& modems)
{
    std::string text = std::string(kMarker) + "\n" +
                       "# It replaces this file whenever it is run so again; edit a copy of another name instead.\n"
                       "#\n"
                       "# Each modem's AT port is named gsmmodem-<USB path>, after the USB port the modem is plugged\n"
                       "# into, and modem managers are kept off the whole modem. A modem of a model probed here, or\n"
                       "# of a known layout, is named in whatever USB port it is plugged into; one behind a USB-serial\n"
                       "# bridge only in the port it was probed in, since the bridge's ids name no modem. First the\n"
                       "# number of the USB interface a tty is on: a rule matches the attributes of one parent\n"
                       "# device only, and the AT port is told by its interface and its USB device together.\n"
                       "SUBSYSTEM==\"tty\", SUBSYSTEMS==\"usb\", ATTRS{bInterfaceNumber}==\"?*\", "
                       "ENV{MODEMWATCHD_USB_INTERFACE}=\"$attr{bInterfaceNumber}\"\n"
                       "# And its kind, class/subclass/protocol, by which Huawei tells its functions apart.\n"
                       "SUBSYSTEM==\"tty\", SUBSYSTEMS==\"usb\", ATTRS{bInterfaceProtocol}==\"?*\", "
                       "ENV{MODEMWATCHD_USB_INTERFACE_KIND}=\"$attr{bInterfaceClass}/$attr{bInterfaceSubClass}/"
                       "$attr{bInterfaceProtocol}\"\n";
    std::set<std::string> named_models;
    for (const UsbModem& modem : modems) {
        if (!plainUsbPath(modem.usb_path) || !isUsbId(modem.vendor) || !isUsbId(modem.product)) {
            continue;
        }
        const std::string model = modem.vendor + ":" + modem.product;
        text += "\n# " + modem.usb_path + ": " + printableAscii(spaced({model, modem.manufacturer, modem.product_name})) +
                "\n";
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
        text += "\n";
        if (isBridgeDriver(port.driver)) {
            text += "# behind a USB-serial bridge: named in this USB port only\n" +
                    modelRules(modem.vendor, modem.product, port.interface, modem.usb_path);
        } else if (modem.chosen_by.rfind("Huawei PC UI", 0) == 0) {
            text += "# named by the Huawei rules at the end, by its interface's kind\n";
        } else if (named_models.insert(model).second) {
            text += "# named in any USB port\n" + modelRules(modem.vendor, modem.product, port.interface, "");
        } else {
            text += "# named by the rules of its model above\n";
        }
    }
    for (const KnownLayout& layout : knownLayouts()) {
        if (layout.interface >= 0 && named_models.insert(std::string(layout.vendor) + ":" + layout.product).second) {
            text += "\n# " + std::string(layout.vendor) + ":" + layout.product + ": " + layout.name +
                    ", a known layout: AT port on interface " + twoHex(layout.interface) + "\n" +
                    modelRules(layout.vendor, layout.product, layout.interface, "");
        }
    }
    return text + huaweiRules(named_models);
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
    constexpr int kToolMilliseconds = 30000;
    if (runProgram({"/usr/bin/udevadm", "control", "--reload"}, kToolMilliseconds) != 0 ||
        runProgram({"/usr/bin/udevadm", "trigger", "--action=add", "--subsystem-match=tty"}, kToolMilliseconds) != 0) {
        static_cast<void>(std::fprintf(stderr, "modemwatchctl: %s is written, but udev could not be reloaded and triggered\n",
                     kProbeRulesPath));
        return 3;
    }
    // ModemManager takes no new modem that the rules mark, but keeps those it took before they
    // were there (it probes every modem plugged in): a restart makes it let go of them.
    if (systemdRuns()) {
        static_cast<void>(runProgram({"/bin/systemctl", "try-restart", "ModemManager.service"}, kToolMilliseconds));
    }
    return 0;
}

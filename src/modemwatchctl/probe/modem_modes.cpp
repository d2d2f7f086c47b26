// USB modems in a mode without AT ports, and what would switch them.
#include "modemwatchctl/probe/modem_modes.hpp"

#include "common/text_escape.hpp"
#include "common/unique_fd.hpp"
#include "usb/sysfs.hpp"
#include "usb/usb_device.hpp"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A root-owned text file of the box, read whole: regular files only, never blocking, at most
// 1 MiB (Debian's rules file is 43 kB). Empty when it is anything else.
std::string smallTextFile(const std::string& path)
{
    unique_fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > (1 << 20)) {
        return {};
    }
    std::string text(static_cast<size_t>(info.st_size), '\0');
    const ssize_t got = read(fd.get(), text.data(), text.size());
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

bool isFile(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Network adapter drivers a modem's data function is bound to.
bool isNetworkDriver(const std::string& driver)
{
    return driver == "cdc_ether" || driver == "cdc_ncm" || driver == "huawei_cdc_ncm" || driver == "rndis_host" ||
           driver == "qmi_wwan" || driver == "cdc_mbim";
}

} // namespace

ModeSwitchData readModeSwitchData(const std::string& root)
{
    ModeSwitchData data;
    data.installed = isFile(root + "/usr/sbin/usb_modeswitch");
    // Debian 12 installs the rules under /lib, Debian 13 under /usr/lib.
    for (const char* rules : {"/usr/lib/udev/rules.d/40-usb_modeswitch.rules", "/lib/udev/rules.d/40-usb_modeswitch.rules"}) {
        const std::string text = smallTextFile(root + rules);
        if (text.empty()) {
            continue;
        }
        // One rule an id: ATTR{idVendor}=="12d1", ATTR{idProduct}=="1f01", RUN+="usb_modeswitch ..."
        const std::string vendor = "ATTR{idVendor}==\"";
        const std::string product = "\", ATTR{idProduct}==\"";
        for (size_t at = text.find(vendor); at != std::string::npos; at = text.find(vendor, at + 1)) {
            const size_t v = at + vendor.size();
            const size_t p = v + 4 + product.size();
            if (text.compare(v + 4, product.size(), product) == 0 && isUsbId(text.substr(v, 4)) &&
                isUsbId(text.substr(p, 4)) && text.compare(p + 4, 1, "\"") == 0) {
                data.ids.insert(text.substr(v, 4) + ":" + text.substr(p, 4));
            }
        }
        // And one for every Huawei whose interface 0 is mass storage.
        data.huawei_storage = data.huawei_storage ||
                              text.find("ATTRS{idVendor}==\"12d1\"") != std::string::npos;
        break;
    }
    // The admin's own entries are files named for the id: /etc/usb_modeswitch.d/12d1:1f01.
    for (const std::string& name : sortedEntries(root + "/etc/usb_modeswitch.d")) {
        if (name.size() == 9 && name[4] == ':' && isUsbId(name.substr(0, 4)) && isUsbId(name.substr(5))) {
            data.ids.insert(name);
        }
    }
    return data;
}

std::vector<ModemWithoutAt> modemsWithoutAtPorts(const std::string& sys, const std::set<std::string>& with_ttys,
                                                 const ModeSwitchData& modeswitch)
{
    std::vector<ModemWithoutAt> found;
    for (const UsbDevice& device : usbDevices(sys)) {
        if (with_ttys.count(device.name) != 0 || device.device_class == "09") {
            continue;
        }
        const std::vector<UsbInterface> interfaces = usbInterfaces(device);
        if (interfaces.empty()) {
            continue;
        }
        const bool all_storage = allMassStorage(interfaces);
        const bool network = std::any_of(interfaces.begin(), interfaces.end(),
                                         [](const UsbInterface& interface) { return isNetworkDriver(interface.driver); });
        const ModeId* known = modeId(device.vendor, device.product);
        const std::string id = device.vendor + ":" + device.product;
        ModemWithoutAt modem{device.name, device.vendor, device.product, device.manufacturer, device.product_name,
                             NoAtMode::storage, {}};
        if (all_storage && ((known != nullptr && known->mode == NoAtMode::storage) || isModemVendor(device.vendor) ||
                            modeswitch.ids.count(id) != 0)) {
            const bool has_entry = modeswitch.ids.count(id) != 0 ||
                                   (modeswitch.huawei_storage && device.vendor == kHuaweiVendor &&
                                    interfaces.front().number == 0);
            modem.state = !modeswitch.installed ? "storage mode: switched by usb_modeswitch: install usb-modeswitch"
                          : has_entry ? "storage mode: usb_modeswitch switches it: probe again in a few seconds"
                                      : "storage mode: not switched: usb_modeswitch has no entry for this id";
        } else if ((known != nullptr && known->mode == NoAtMode::network) || (network && isModemVendor(device.vendor))) {
            modem.mode = NoAtMode::network;
            modem.state = "this firmware has no AT port: SMS through smsd is not possible; a stick firmware or "
                          "another modem is needed";
        } else {
            continue;
        }
        found.push_back(modem);
    }
    return found;
}

const char* modeName(NoAtMode mode)
{
    return mode == NoAtMode::storage ? "storage" : "network";
}

std::string modemsWithoutAtJson(const std::vector<ModemWithoutAt>& modems)
{
    std::string text = "[";
    for (const ModemWithoutAt& modem : modems) {
        text += (text.size() == 1 ? "{\"usb_path\":" : ",{\"usb_path\":") + jsonString(modem.usb_path) +
                ",\"vendor\":" + jsonString(modem.vendor) + ",\"product\":" + jsonString(modem.product) +
                ",\"manufacturer\":" + jsonString(modem.manufacturer) +
                ",\"product_name\":" + jsonString(modem.product_name) + ",\"mode\":" + jsonString(modeName(modem.mode)) +
                ",\"state\":" + jsonString(modem.state) + "}";
    }
    return text + "]";
}

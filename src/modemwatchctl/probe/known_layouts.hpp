// What is known of the modems SMS gateways are built with: which USB interface carries the AT
// port smsd should use, by vendor and product id (or, for Huawei, by the interface's own class,
// subclass and protocol); the ids of sticks in a mode without AT ports; and the USB-serial
// bridges that say nothing of what is behind them.
#pragma once

#include <string>
#include <vector>

struct KnownLayout {
    const char* vendor;
    const char* product;
    int interface;  // the AT port's interface number; -1 where only a probe can tell (one id, two layouts)
    const char* driver;  // the kernel driver that binds it: option, qcserial, cdc_acm
    const char* name;
};

// A vendor or product id as sysfs and udev rules spell it: four lowercase hex digits, so that
// it can stand in a rule.
inline bool isUsbId(const std::string& text)
{
    return text.size() == 4 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Every row of the table, in the order the rules file lists them.
const std::vector<KnownLayout>& knownLayouts();

// The row for these ids, or nullptr.
const KnownLayout* knownLayout(const std::string& vendor, const std::string& product);

// The interface that carries the AT port on modems whose layout is known by their ids; -1 for
// the others and for the ids whose layout a probe must tell.
int knownAtInterface(const std::string& vendor, const std::string& product);

// Huawei tells its functions apart by interface subclass and protocol, not by number: the
// numbers move with firmware and mode. Whether an interface of vendor 12d1 with this class,
// subclass and protocol (two hex digits each) is the PC UI port, the one for AT commands.
inline constexpr char kHuaweiVendor[] = "12d1";
bool isHuaweiPcUi(const std::string& interface_class, const std::string& subclass, const std::string& protocol);
// The same as a udev pattern on "class/subclass/protocol".
inline constexpr char kHuaweiPcUiPattern[] = "ff/*/02|ff/*/12";

// Why a USB modem without AT ports has none.
enum class NoAtMode {
    storage,  // a CD-ROM or disk until usb_modeswitch switches it to its modem mode
    network,  // a firmware (HiLink, NCM) that is a network adapter only
};

// Ids of modems in a mode without AT ports, by vendor and product: the mode, and a name.
struct ModeId {
    const char* vendor;
    const char* product;
    NoAtMode mode;
    const char* name;
};
const std::vector<ModeId>& modeIds();
const ModeId* modeId(const std::string& vendor, const std::string& product);

// Vendors whose USB devices are modems (or a modem's other modes), so that a device of theirs in
// mass storage or network adapter mode only is taken for a modem in that mode.
bool isModemVendor(const std::string& vendor);

// Drivers of USB-serial bridge chips (a SIM800 module behind a CH341, say): the same chip is in
// cables and boards of every kind, so its ids name no modem.
bool isBridgeDriver(const std::string& driver);

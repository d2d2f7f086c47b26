// Modems whose AT port is known by their vendor and product ids, and the USB-serial bridges that
// say nothing of what is behind them.
#include "modemwatchctl/probe/known_layouts.hpp"

#include "usb/serial_bridge.hpp"

#include <algorithm>

const std::vector<KnownLayout>& knownLayouts()
{
    static const std::vector<KnownLayout> kLayouts = {
        {"12d1", "1001", 2, "Huawei E169/E620 and kin"},
        {"12d1", "1003", 1, "Huawei E220/E230"},
        {"2c7c", "0125", 2, "Quectel EC25"},
        {"1e0e", "9001", 2, "SIMCom SIM7100/SIM7600"},
        {"19d2", "0117", 2, "ZTE MF190"},
    };
    return kLayouts;
}

int knownAtInterface(const std::string& vendor, const std::string& product)
{
    const std::vector<KnownLayout>& layouts = knownLayouts();
    const auto known = std::find_if(layouts.begin(), layouts.end(), [&](const KnownLayout& layout) {
        return vendor == layout.vendor && product == layout.product;
    });
    return known == layouts.end() ? -1 : known->interface;
}

bool isBridgeDriver(const std::string& driver)
{
    return isUsbSerialBridgeDriver(driver);
}

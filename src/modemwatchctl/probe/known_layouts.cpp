// What is known of the modems SMS gateways are built with. Each fact names where it comes from.
//
// Where a modem has two AT ports (the Quectel and SIMCom modules: interfaces 2 and 3), smsd gets
// the AT port, not the modem port: the modem port is the one a PPP data call takes over, and a
// call (or its carrier going down) would cut smsd off mid-command.
#include "modemwatchctl/probe/known_layouts.hpp"

#include "usb/serial_bridge.hpp"

#include <algorithm>

const std::vector<KnownLayout>& knownLayouts()
{
    static const std::vector<KnownLayout> kLayouts = {
        // Older Huawei sticks whose interfaces are all ff/ff/ff, so that only their number tells.
        {"12d1", "1001", 2, "option", "Huawei E169/E620 and kin"},
        {"12d1", "1003", 1, "option", "Huawei E220/E230"},
        // Quectel: 0 diagnostics, 1 NMEA, 2 AT, 3 modem (PPP), 4 network. The layout is the one
        // the kernel's qcserial.c spells out for the EC20, and Quectel's Linux USB driver guide for
        // the whole family; the ids are those of the kernel's option.c (QUECTEL_PRODUCT_*).
        {"2c7c", "0125", 2, "option", "Quectel EC25/EG25"},
        {"2c7c", "0121", 2, "option", "Quectel EC21"},
        {"2c7c", "0191", 2, "option", "Quectel EG91"},
        {"2c7c", "0195", 2, "option", "Quectel EG95"},
        {"2c7c", "0296", 2, "option", "Quectel BG96"},
        {"05c6", "9215", 2, "qcserial", "Quectel EC20"},
        // SIMCom SIM7100/SIM7600 in its default mode: 0 diagnostics, 1 NMEA, 2 AT, 3 modem, 4 audio,
        // 5 network (SIMCom's Linux USB guide for the SIM7X00 series).
        {"1e0e", "9001", 2, "option", "SIMCom SIM7100/SIM7600"},
        // RNDIS mode: the same ports after two network interfaces on SIM7600s, but the A76xx
        // modules share the id with another layout (Espressif's esp-iot-solution modem table
        // gives interface 5 for the A7670E): a probe tells.
        {"1e0e", "9011", -1, "option", "SIMCom SIM7500/SIM7600 RNDIS mode, A76xx"},
        // SIM7070/SIM7080/SIM7090 (mode names from the kernel's option.c): AT+ECM mode has AT on
        // interface 2 (Espressif's table, SIM7080G); of the AT-only mode no layout is published.
        {"1e0e", "9205", 2, "option", "SIMCom SIM7070/SIM7080/SIM7090 AT+ECM mode"},
        {"1e0e", "9206", -1, "option", "SIMCom SIM7070/SIM7080/SIM7090 AT-only mode"},
        // ZTE: the MF190 as it has been served here since the first layouts; the MF110/MF112/MF627/
        // MF636 id (the target of usb_modeswitch's 19d2:2000 entry) carries three ports whose
        // order varies with the firmware: a probe tells.
        {"19d2", "0117", 2, "option", "ZTE MF190/ML190"},
        {"19d2", "0031", -1, "option", "ZTE MF110/MF112/MF627/MF636"},
        // Sierra Wireless in the kernel's qcserial.c "Sierra Wireless layout": 0 diagnostics,
        // 2 NMEA, 3 AT, 8 network.
        {"1199", "68c0", 3, "qcserial", "Sierra Wireless MC7304/MC7354"},
        {"1199", "9041", 3, "qcserial", "Sierra Wireless MC7305/MC7355"},
        {"1199", "9071", 3, "qcserial", "Sierra Wireless MC74xx"},
        {"1199", "9079", 3, "qcserial", "Sierra Wireless EM74xx"},
        {"1199", "9091", 3, "qcserial", "Sierra Wireless EM7565"},
        // Telit's ACM-only composition (the kernel's cdc-acm.c): its first ACM port, on interface
        // 0, is the modem's main AT port. With ECM beside it the interfaces shift: a probe tells.
        {"1bc7", "0021", 0, "cdc_acm", "Telit HE910 family, ACM only"},
        {"1bc7", "0023", -1, "cdc_acm", "Telit HE910 family, ACM and ECM"},
    };
    return kLayouts;
}

const KnownLayout* knownLayout(const std::string& vendor, const std::string& product)
{
    const std::vector<KnownLayout>& layouts = knownLayouts();
    const auto known = std::find_if(layouts.begin(), layouts.end(), [&](const KnownLayout& layout) {
        return vendor == layout.vendor && product == layout.product;
    });
    return known == layouts.end() ? nullptr : &*known;
}

int knownAtInterface(const std::string& vendor, const std::string& product)
{
    const KnownLayout* known = knownLayout(vendor, product);
    return known == nullptr ? -1 : known->interface;
}

bool isHuaweiPcUi(const std::string& interface_class, const std::string& subclass, const std::string& protocol)
{
    // Vendor-specific class; protocol 02 (older firmware) or 12 is the "PC UI" function, Huawei's
    // name for its AT command port (Huawei's "Module USB Interface Descriptor Guide"); the
    // subclass names the firmware line only (the kernel's qcserial.c, Huawei layout). The modem
    // port (01, 10) takes AT too, but is the one PPP takes over.
    return interface_class == "ff" && subclass.size() == 2 && (protocol == "02" || protocol == "12");
}

const std::vector<ModeId>& modeIds()
{
    // Storage-mode ids are those of Debian's usb-modeswitch-data (20191128) entries, whose own
    // comments name the models; 12d1:1f01's entry switches to 14db or 14dc, the HiLink firmware,
    // a network adapter.
    static const std::vector<ModeId> kIds = {
        {"12d1", "1f01", NoAtMode::storage, "Huawei E353/E3131/E3372 and others"},
        {"12d1", "1446", NoAtMode::storage, "Huawei E1550/E1750 and others"},
        {"12d1", "1557", NoAtMode::storage, "Huawei E173"},
        {"12d1", "1c0b", NoAtMode::storage, "Huawei E173s"},
        {"12d1", "14fe", NoAtMode::storage, "Huawei E352, E173s"},
        {"12d1", "1505", NoAtMode::storage, "Huawei EC156, E372"},
        {"12d1", "1520", NoAtMode::storage, "Huawei K3765"},
        {"12d1", "14d1", NoAtMode::storage, "Huawei K3770"},
        {"12d1", "1f1c", NoAtMode::storage, "Huawei K4203"},
        {"19d2", "2000", NoAtMode::storage, "ZTE MF110/MF190/MF6xx and others"},
        {"19d2", "1224", NoAtMode::storage, "ZTE MF190"},
        {"19d2", "0150", NoAtMode::storage, "ZTE MF656A/MF668A/MF669"},
        {"19d2", "0166", NoAtMode::storage, "ZTE MF820"},
        {"12d1", "14db", NoAtMode::network, "Huawei HiLink (E3131/E3372 and others)"},
        {"12d1", "14dc", NoAtMode::network, "Huawei HiLink (E3372 and others)"},
    };
    return kIds;
}

const ModeId* modeId(const std::string& vendor, const std::string& product)
{
    const std::vector<ModeId>& ids = modeIds();
    const auto found = std::find_if(ids.begin(), ids.end(),
                                    [&](const ModeId& id) { return vendor == id.vendor && product == id.product; });
    return found == ids.end() ? nullptr : &*found;
}

bool isModemVendor(const std::string& vendor)
{
    if (vendor == kHuaweiVendor) {
        return true;
    }
    const std::vector<KnownLayout>& layouts = knownLayouts();
    return std::any_of(layouts.begin(), layouts.end(), [&](const KnownLayout& layout) {
        // Qualcomm's own vendor id is on far more than modems.
        return vendor == layout.vendor && vendor != "05c6";
    });
}

bool isBridgeDriver(const std::string& driver)
{
    return isUsbSerialBridgeDriver(driver);
}

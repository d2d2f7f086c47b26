// The modem table on a fake sysfs: for each family, with every port answering AT (so that
// "lowest answering" would be wrong for most), the AT port chosen and the rule that names it;
// and the USB devices that are modems in a mode without AT ports.
#include "modemwatchctl/probe/modem_modes.hpp"
#include "modemwatchctl/probe/probe_ports.hpp"
#include "modemwatchctl/probe/probe_rules.hpp"
#include "sandbox/fake_sysfs.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Family {
    const char* vendor;
    const char* product;
    const char* driver;
    std::vector<FakeUsbPort> ports;  // usb_path and tty filled in below
    int at_interface;                // the one expected
    const char* chosen_by;
    const char* rule;                // a line the rules file must hold; "" for none
};

FakeUsbPort port(int interface, const char* subclass = "00", const char* protocol = "00", const char* klass = "ff")
{
    return {"", "", interface, klass, "", subclass, protocol};
}

std::string tempDir()
{
    char templ[] = "/tmp/modem_table.XXXXXX";
    return mkdtemp(templ);
}

} // namespace

TEST(ModemTable, EachFamilysAtPortIsChosenAndNamedByItsModel)
{
    const std::vector<FakeUsbPort> quectel = {port(0), port(1), port(2), port(3)};
    const std::vector<Family> families = {
        {"2c7c", "0125", "option", quectel, 2, "layout 2c7c:0125", "ATTRS{idProduct}==\"0125\", ENV{MODEMWATCHD_USB_INTERFACE}==\"02\""},
        {"2c7c", "0121", "option", quectel, 2, "layout 2c7c:0121", "ATTRS{idProduct}==\"0121\", ENV{MODEMWATCHD_USB_INTERFACE}==\"02\""},
        {"2c7c", "0191", "option", quectel, 2, "layout 2c7c:0191", "ATTRS{idProduct}==\"0191\", ENV{MODEMWATCHD_USB_INTERFACE}==\"02\""},
        {"2c7c", "0195", "option", quectel, 2, "layout 2c7c:0195", "ATTRS{idProduct}==\"0195\", ENV{MODEMWATCHD_USB_INTERFACE}==\"02\""},
        {"2c7c", "0296", "option", quectel, 2, "layout 2c7c:0296", "ATTRS{idProduct}==\"0296\", ENV{MODEMWATCHD_USB_INTERFACE}==\"02\""},
        {"05c6", "9215", "qcserial", quectel, 2, "layout 05c6:9215", "ATTRS{idProduct}==\"9215\", ENV{MODEMWATCHD_USB_INTERFACE}==\"02\""},
        {"1e0e", "9001", "option", {port(0), port(1), port(2), port(3), port(4)}, 2, "layout 1e0e:9001",
         "ATTRS{idProduct}==\"9001\", ENV{MODEMWATCHD_USB_INTERFACE}==\"02\""},
        {"1e0e", "9205", "option", {port(2), port(3), port(4)}, 2, "layout 1e0e:9205",
         "ATTRS{idProduct}==\"9205\", ENV{MODEMWATCHD_USB_INTERFACE}==\"02\""},
        // One id, two layouts: the probe's answer is what the rule names.
        {"1e0e", "9011", "option", {port(4), port(5), port(6)}, 4, "lowest answering",
         "ATTRS{idProduct}==\"9011\", ENV{MODEMWATCHD_USB_INTERFACE}==\"04\""},
        {"19d2", "0117", "option", {port(0), port(1), port(2)}, 2, "layout 19d2:0117",
         "ATTRS{idProduct}==\"0117\", ENV{MODEMWATCHD_USB_INTERFACE}==\"02\""},
        {"1199", "9071", "qcserial", {port(0), port(2), port(3)}, 3, "layout 1199:9071",
         "ATTRS{idProduct}==\"9071\", ENV{MODEMWATCHD_USB_INTERFACE}==\"03\""},
        {"1199", "9091", "qcserial", {port(0), port(2), port(3)}, 3, "layout 1199:9091",
         "ATTRS{idProduct}==\"9091\", ENV{MODEMWATCHD_USB_INTERFACE}==\"03\""},
        {"1bc7", "0021", "cdc_acm", {port(0, "02", "01", "02"), port(2, "02", "01", "02"), port(4, "02", "01", "02")}, 0,
         "layout 1bc7:0021", "ATTRS{idProduct}==\"0021\", ENV{MODEMWATCHD_USB_INTERFACE}==\"00\""},
        {"12d1", "1001", "option", {port(0, "ff", "ff"), port(1, "ff", "ff"), port(2, "ff", "ff")}, 2, "layout 12d1:1001",
         "ATTRS{idProduct}==\"1001\", ENV{MODEMWATCHD_USB_INTERFACE}==\"02\""},
        // Huawei by kind: the PC UI port first (as a public lsusb listing of 12d1:15b6 shows it),
        // and one whose modem port comes first.
        {"12d1", "15b6", "option", {port(0, "03", "12"), port(1, "03", "10")}, 0, "Huawei PC UI (ff/03/12)",
         "# named by the Huawei rules at the end"},
        {"12d1", "1506", "option", {port(0, "02", "01"), port(1, "02", "02"), port(2, "02", "03")}, 1,
         "Huawei PC UI (ff/02/02)", "# named by the Huawei rules at the end"},
    };
    const std::string sys = tempDir();
    std::vector<UsbModem> all;
    int tty = 0;
    for (size_t f = 0; f < families.size(); ++f) {
        const Family& family = families[f];
        const std::string usb_path = "1-1." + std::to_string(f + 1);
        addFakeUsbDevice(sys, {usb_path, family.vendor, family.product, "", "", ""});
        for (FakeUsbPort fake : family.ports) {
            fake.usb_path = usb_path;
            fake.driver = family.driver;
            fake.tty = (std::string(family.driver) == "cdc_acm" ? "ttyACM" : "ttyUSB") + std::to_string(tty++);
            addFakeUsbPort(sys, fake);
        }
    }
    std::vector<UsbModem> modems = listSerialModems(sys, sys + "/no-dev");
    ASSERT_EQ(modems.size(), families.size());
    for (UsbModem& modem : modems) {
        for (SerialPort& each : modem.ports) {
            each.answered = true;
        }
        chooseAtPort(modem);
    }
    const std::string rules = udevRules(modems);
    for (size_t f = 0; f < families.size(); ++f) {
        const Family& family = families[f];
        const std::string usb_path = "1-1." + std::to_string(f + 1);
        const auto at = std::find_if(modems.begin(), modems.end(), [&](const UsbModem& m) { return m.usb_path == usb_path; });
        ASSERT_NE(at, modems.end());
        const UsbModem& modem = *at;
        SCOPED_TRACE(std::string(family.vendor) + ":" + family.product);
        ASSERT_GE(modem.at_port, 0);
        EXPECT_EQ(modem.ports[static_cast<size_t>(modem.at_port)].interface, family.at_interface);
        EXPECT_EQ(modem.chosen_by, family.chosen_by);
        EXPECT_NE(rules.find(family.rule), std::string::npos) << rules;
    }
    // Huawei's other products by kind, leaving out those named by id above; the table's rows a
    // probe must tell are never named unprobed.
    EXPECT_NE(rules.find("SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"12d1\", ATTRS{idProduct}!=\"1001|1003\", "
                         "ENV{MODEMWATCHD_USB_INTERFACE_KIND}==\"ff/*/02|ff/*/12\", SYMLINK+=\"gsmmodem-%b\"\n"),
              std::string::npos)
        << rules;
    for (const char* unprobed : {"ATTR{idProduct}==\"9206\"", "ATTR{idProduct}==\"0031\"", "ATTR{idProduct}==\"0023\""}) {
        EXPECT_EQ(rules.find(unprobed), std::string::npos) << unprobed;
    }
    EXPECT_EQ(std::system(("rm -rf " + sys).c_str()), 0);
}

TEST(ModemTable, ModemsWithoutAtPortsSayWhyAndWhatToDo)
{
    const std::string sys = tempDir();
    struct Device {
        FakeUsbDevice device;
        std::vector<FakeUsbInterface> interfaces;
    };
    const std::vector<Device> devices = {
        {{"1-1.1", "12d1", "1f01", "HUAWEI", "HUAWEI Mobile", ""}, {{"1-1.1", 0}, {"1-1.1", 1}}},
        {{"1-1.2", "19d2", "2000", "ZTE", "ZTE WCDMA", ""}, {{"1-1.2", 0}}},
        // A ZTE id that usb_modeswitch does not know.
        {{"1-1.3", "19d2", "9999", "ZTE", "", ""}, {{"1-1.3", 0}}},
        {{"1-1.4", "12d1", "14dc", "HUAWEI", "HUAWEI HiLink", ""},
         {{"1-1.4", 0, "02", "cdc_ether"}, {"1-1.4", 1, "0a", "cdc_ether"}}},
        // Not modems: a flash drive and a hub; and a modem with ttys, listed with its ports.
        {{"1-1.5", "0781", "5567", "SanDisk", "Cruzer", ""}, {{"1-1.5", 0}}},
        {{"1-1", "05e3", "0608", "", "USB2.0 Hub", "", "09"}, {{"1-1", 0, "09", "hub"}}},
        {{"1-1.6", "12d1", "1506", "HUAWEI", "", ""}, {{"1-1.6", 0, "08"}}},
    };
    for (const Device& device : devices) {
        addFakeUsbDevice(sys, device.device);
        for (const FakeUsbInterface& interface : device.interfaces) {
            addFakeUsbInterface(sys, interface);
        }
    }
    const std::string install = "storage mode: switched by usb_modeswitch: install usb-modeswitch";
    const std::string switches = "storage mode: usb_modeswitch switches it: probe again in a few seconds";
    const std::string not_switched = "storage mode: not switched: usb_modeswitch has no entry for this id";
    const std::string hilink = "this firmware has no AT port: SMS through smsd is not possible; a stick firmware or "
                               "another modem is needed";
    ModeSwitchData installed;
    installed.installed = true;
    installed.ids = {"19d2:2000"};
    installed.huawei_storage = true;
    struct Case {
        const char* what;
        ModeSwitchData modeswitch;
        std::vector<std::string> states;  // of 1-1.1 to 1-1.4
    } cases[] = {
        {"usb_modeswitch missing", {}, {install, install, install, hilink}},
        {"usb_modeswitch with its data", installed, {switches, switches, not_switched, hilink}},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.what);
        const std::vector<ModemWithoutAt> found = modemsWithoutAtPorts(sys, {"1-1.6"}, each.modeswitch);
        ASSERT_EQ(found.size(), 4U);
        for (size_t k = 0; k < found.size(); ++k) {
            EXPECT_EQ(found[k].usb_path, "1-1." + std::to_string(k + 1));
            EXPECT_EQ(found[k].state, each.states[k]);
        }
        EXPECT_EQ(found[3].mode, NoAtMode::network);
    }
    EXPECT_EQ(std::system(("rm -rf " + sys).c_str()), 0);
}

TEST(ModemTable, ModeSwitchDataIsReadFromDebiansRulesAndTheAdminsEntries)
{
    const std::string root = tempDir();
    ASSERT_EQ(std::system(("mkdir -p " + root + "/usr/sbin " + root + "/usr/lib/udev/rules.d " + root +
                 "/etc/usb_modeswitch.d && touch " + root + "/usr/sbin/usb_modeswitch " + root +
                 "/etc/usb_modeswitch.d/1bbb:f000")
                    .c_str()),
              0);
    // Lines as Debian's usb-modeswitch-data writes them.
    FILE* rules = std::fopen((root + "/usr/lib/udev/rules.d/40-usb_modeswitch.rules").c_str(), "w");
    ASSERT_NE(rules, nullptr);
    std::fputs("ATTRS{idVendor}==\"12d1\", ATTRS{manufacturer}!=\"Android\", ATTR{bInterfaceNumber}==\"00\", "
               "ATTR{bInterfaceClass}==\"08\", RUN+=\"usb_modeswitch '%b/%k'\"\n\n# ZTE devices\n"
               "ATTR{idVendor}==\"19d2\", ATTR{idProduct}==\"2000\", RUN+=\"usb_modeswitch '/%k'\"\n",
               rules);
    std::fclose(rules);
    const ModeSwitchData data = readModeSwitchData(root);
    EXPECT_TRUE(data.installed);
    EXPECT_TRUE(data.huawei_storage);
    EXPECT_EQ(data.ids, (std::set<std::string>{"19d2:2000", "1bbb:f000"}));
    EXPECT_FALSE(readModeSwitchData(root + "/nothing").installed);
    EXPECT_EQ(std::system(("rm -rf " + root).c_str()), 0);
}

// The USB device and interface behind a tty, read from a sysfs tree in a temporary directory.
#include "sandbox/fake_sysfs.hpp"
#include "usb/gsmmodem.hpp"
#include "usb/hub_power.hpp"
#include "usb/usb_device.hpp"
#include "usb/usb_reset.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

class Usb : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/usb_test.XXXXXX";
        sys_ = mkdtemp(templ);
        addFakeUsbDevice(sys_, {"1-1.2", "12d1", "1001", "HUAWEI", "HUAWEI Mobile", "", "00", 7});
        addFakeUsbDevice(sys_, {"1-1.5", "1546", "01a8", "u-blox AG", "u-blox modem", "0", "02", 9});
        addFakeUsbPort(sys_, {"ttyUSB2", "1-1.2", 2, "ff", "option"});
        addFakeUsbPort(sys_, {"ttyUSB0", "1-1.2", 0, "ff", "option"});
        addFakeUsbPort(sys_, {"ttyACM0", "1-1.5", 0, "02", "cdc_acm"});
        // A serial port of the board itself, on no USB device.
        mkdir((sys_ + "/devices/platform").c_str(), 0755);
        mkdir((sys_ + "/devices/platform/serial8250").c_str(), 0755);
        mkdir((sys_ + "/class/tty/ttyS0").c_str(), 0755);
        symlink("../../../devices/platform/serial8250", (sys_ + "/class/tty/ttyS0/device").c_str());
        mkdir((sys_ + "/class/tty/ttyUSB9").c_str(), 0755);  // its device gone (unplugged under us)
    }
    void TearDown() override { static_cast<void>(std::system(("rm -rf " + sys_).c_str())); }
    std::string sys_;
};

} // namespace

TEST_F(Usb, TheDeviceAndInterfaceBehindEachTtyAndNothingForTheRest)
{
    EXPECT_EQ(usbSerialTtys(sys_), (std::vector<std::string>{"ttyACM0", "ttyUSB0", "ttyUSB2", "ttyUSB9"}));
    struct Case {
        const char* tty;
        const char* device;
        const char* vendor;
        int interface;
        const char* interface_class;
        const char* driver;
        int address;
    };
    for (const Case& expected : {Case{"ttyUSB2", "1-1.2", "12d1", 2, "ff", "option", 7},
                                 Case{"ttyUSB0", "1-1.2", "12d1", 0, "ff", "option", 7},
                                 Case{"ttyACM0", "1-1.5", "1546", 0, "02", "cdc_acm", 9}}) {
        const std::optional<TtyOnUsb> found = usbBehindTty(sys_, expected.tty);
        ASSERT_TRUE(found) << expected.tty;
        EXPECT_EQ(found->device.name, expected.device) << expected.tty;
        EXPECT_EQ(found->device.vendor, expected.vendor) << expected.tty;
        EXPECT_EQ(found->device.bus, 1) << expected.tty;
        EXPECT_EQ(found->device.address, expected.address) << expected.tty;
        EXPECT_EQ(found->interface.number, expected.interface) << expected.tty;
        EXPECT_EQ(found->interface.interface_class, expected.interface_class) << expected.tty;
        EXPECT_EQ(found->interface.driver, expected.driver) << expected.tty;
        EXPECT_EQ(found->interface.path, found->device.path + "/" + expected.device + ":1." +
                                             std::to_string(expected.interface)) << expected.tty;
    }
    for (const char* tty : {"ttyS0", "ttyUSB9", "ttyUSB7"}) {
        EXPECT_FALSE(usbBehindTty(sys_, tty)) << tty;
    }
    EXPECT_FALSE(usbBehindTty(sys_ + "/nowhere", "ttyUSB2"));
}

TEST(GsmmodemName, ContainsGsmmodemInLowerCase)
{
    for (const char* name : {"gsmmodem1", "gsmmodem-1-1.2", "my-gsmmodem-x", "gsmmodem"}) {
        EXPECT_TRUE(isGsmmodemName(name)) << name;
    }
    for (const char* name : {"GSMMODEM1", "gsm-modem", "ttyUSB0", ""}) {
        EXPECT_FALSE(isGsmmodemName(name)) << name;
    }
}

TEST_F(Usb, TheModemBehindALinkAndNeverAHub)
{
    // A hub with a tty of its own (a hub with a built-in serial console), and /dev's links.
    addFakeUsbDevice(sys_, {"1-1.7", "05e3", "0610", "Genesys", "USB2.0 Hub", "", "09", 11});
    addFakeUsbPort(sys_, {"ttyUSB3", "1-1.7", 0, "ff", "option"});
    const std::string dev = sys_ + "/dev";
    mkdir(dev.c_str(), 0755);
    for (const char* tty : {"ttyUSB2", "ttyUSB3", "ttyS0"}) {
        writeFile(dev + "/" + tty, "");
    }
    symlink("ttyUSB2", (dev + "/gsmmodem-1-1.2").c_str());
    symlink("ttyUSB3", (dev + "/gsmmodem-hub").c_str());
    symlink("ttyS0", (dev + "/gsmmodem-board").c_str());
    symlink("/etc/passwd", (dev + "/gsmmodem-away").c_str());
    std::string why;
    const std::optional<UsbDevice> modem = modemBehindLink(sys_, dev, "gsmmodem-1-1.2", why);
    ASSERT_TRUE(modem) << why;
    EXPECT_EQ(modem->name, "1-1.2");
    EXPECT_EQ(modem->address, 7);
    for (const auto& [link, reason] : std::vector<std::pair<std::string, std::string>>{
             {"gsmmodem-hub", "1-1.7 is a hub"},
             {"gsmmodem-board", "/dev/gsmmodem-board is no tty on a USB device"},
             {"gsmmodem-away", "/dev/gsmmodem-away leads to no device of /dev"},
             {"gsmmodem-none", "/dev/gsmmodem-none leads to no device of /dev"}}) {
        EXPECT_FALSE(modemBehindLink(sys_, dev, link, why)) << link;
        EXPECT_EQ(why, reason) << link;
    }
    EXPECT_EQ(hubPortOf(*modem), "") << "no port with a disable attribute in this tree";
}

TEST(HubPower, TheSwitchingModeFromTheHubDescriptor)
{
    const struct {
        const char* hub;
        std::vector<unsigned char> descriptor;
        HubPowerSwitching expected;
    } cases[] = {
        {"ganged (Raspberry Pi B+ to 3B+)", {9, 0x29, 5, 0x00, 0x00, 50, 1, 0, 0xff}, HubPowerSwitching::ganged},
        {"port by port (dummy_hcd's root hub)", {9, 0x29, 1, 0x01, 0x00, 0, 0, 0, 0xff}, HubPowerSwitching::per_port},
        {"none (QEMU's hub)", {9, 0x29, 8, 0x0a, 0x00, 1, 0, 0, 0xff}, HubPowerSwitching::none},
        {"none, the other code", {9, 0x29, 4, 0x03, 0x00, 1, 0, 0, 0xff}, HubPowerSwitching::none},
        {"SuperSpeed, port by port", {12, 0x2a, 4, 0x09, 0x00, 10, 0, 0, 0, 0, 0, 0}, HubPowerSwitching::per_port},
        {"a device descriptor", {18, 0x01, 0x00, 0x02, 9, 0, 0, 64}, HubPowerSwitching::unknown},
        {"too short", {9, 0x29, 4}, HubPowerSwitching::unknown},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(powerSwitchingOf(c.descriptor.data(), static_cast<int>(c.descriptor.size())), c.expected) << c.hub;
    }
}

TEST_F(Usb, APowerCycleOnlyWhereItCutsTheModemAndNothingTheBoxNeeds)
{
    std::string why;
    const std::string dev = sys_ + "/dev";
    mkdir(dev.c_str(), 0755);
    writeFile(dev + "/ttyUSB2", "");
    symlink("ttyUSB2", (dev + "/gsmmodem-1-1.2").c_str());
    const std::optional<UsbDevice> modem = modemBehindLink(sys_, dev, "gsmmodem-1-1.2", why);
    ASSERT_TRUE(modem) << why;
    const std::string mountinfo = sys_ + "/mountinfo";
    writeFile(mountinfo, "22 1 179:2 / / rw,relatime - ext4 /dev/mmcblk0p2 rw\n");
    EXPECT_EQ(powerCycleRefusal(*modem, mountinfo),
              "the kernel offers no switch for its hub port's power (Linux 6.0 and later do)");

    // The hub's port 2, with the kernel's switch.
    const std::string hub = sys_ + fakeUsbDevicePath("1-1");
    ASSERT_EQ(std::system(("mkdir -p " + hub + "/1-1:1.0/1-1-port2").c_str()), 0);
    writeFile(hub + "/1-1:1.0/1-1-port2/disable", "0\n");
    ASSERT_EQ(symlink("../1-1:1.0/1-1-port2", (modem->path + "/port").c_str()), 0);
    EXPECT_EQ(powerCycleRefusal(*modem, mountinfo), "");

    // A USB disk on the same hub: harmless until a file system on it is mounted.
    addFakeUsbDevice(sys_, {"1-1.4", "0781", "5567", "SanDisk", "Cruzer", "", "00", 12});
    const std::string partition = hub + "/1-1.4/1-1.4:1.0/host0/target0:0:0/0:0:0:0/block/sda/sda1";
    ASSERT_EQ(std::system(("mkdir -p " + partition).c_str()), 0);
    writeFile(partition + "/dev", "8:1\n");
    EXPECT_EQ(powerCycleRefusal(*modem, mountinfo), "");
    writeFile(mountinfo, "22 1 179:2 / / rw - ext4 /dev/mmcblk0p2 rw\n30 22 8:1 / /srv rw - vfat /dev/sda1 rw\n");
    EXPECT_EQ(powerCycleRefusal(*modem, mountinfo), "disk sda1, mounted, on the same hub");

    // The board's Ethernet on the same hub, as on a Raspberry Pi B+ to 3B+.
    writeFile(mountinfo, "22 1 179:2 / / rw - ext4 /dev/mmcblk0p2 rw\n");
    addFakeUsbDevice(sys_, {"1-1.1", "0424", "ec00", "", "", "", "ff", 3});
    ASSERT_EQ(std::system(("mkdir -p " + hub + "/1-1.1/1-1.1:1.0/net/eth0").c_str()), 0);
    EXPECT_EQ(powerCycleRefusal(*modem, mountinfo), "network interface eth0 on the same hub");
}

TEST_F(Usb, WhatAStepOfTwoWritesLeftHalfDoneIsPutBack)
{
    const std::string modem = sys_ + fakeUsbDevicePath("1-1.2");
    const std::string port = sys_ + fakeUsbDevicePath("1-1") + "/1-1:1.0/1-1-port2";
    ASSERT_EQ(std::system(("mkdir -p " + port).c_str()), 0);
    ASSERT_EQ(symlink("../1-1:1.0/1-1-port2", (modem + "/port").c_str()), 0);
    const auto read = [](const std::string& path) {
        std::ifstream in(path);
        std::string text;
        std::getline(in, text);
        return text;
    };
    // Killed after "authorized 0", or after switching the port off.
    writeFile(modem + "/authorized", "0\n");
    writeFile(port + "/disable", "1\n");
    restoreUsbDevice(modem);
    EXPECT_EQ(read(modem + "/authorized"), "1");
    EXPECT_EQ(read(port + "/disable"), "0");
    // Nothing half done: nothing written.
    writeFile(modem + "/authorized", "1\n");
    writeFile(port + "/disable", "0\n");
    const struct stat before = [&] {
        struct stat info {};
        stat((port + "/disable").c_str(), &info);
        return info;
    }();
    restoreUsbDevice(modem);
    struct stat after {};
    stat((port + "/disable").c_str(), &after);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// The USB device and interface behind a tty, read from a sysfs tree in a temporary directory.
#include "sandbox/fake_sysfs.hpp"
#include "usb/gsmmodem.hpp"
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

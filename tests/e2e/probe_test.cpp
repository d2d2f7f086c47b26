// `modemwatchctl probe` on a box of four modems: a fake sysfs tree over /sys, and pseudo-terminals
// bound in as their ttyUSB and ttyACM nodes, some answering AT like a modem, some never.
#include "integration/modem_sim.hpp"
#include "sandbox/box.hpp"
#include "sandbox/fake_sysfs.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

struct FakePort {
    std::string tty;
    std::string usb_path;
    int interface;
    const char* interface_class;
    const char* driver;
    bool answers;
    ModemIdentity identity;
};

// A pseudo-terminal of the box bound over /dev/<tty>: a modem answering AT, or one that never does.
pid_t plugPort(const Box& box, const FakePort& port)
{
    writeFile(box.hostPath("/dev/" + port.tty), "");
    return box.startInside([&box, port] {
        int master = -1;
        int slave = -1;
        char slave_name[64] = {};
        if (openpty(&master, &slave, slave_name, nullptr, nullptr) != 0 ||
            mount(slave_name, ("/dev/" + port.tty).c_str(), nullptr, MS_BIND, nullptr) != 0) {
            return 1;
        }
        writeFile(box.root() + "/run/" + port.tty + ".ready", "");
        if (port.answers) {
            serveSimulatedModem(master, port.identity);
        }
        // Never answers; records whether anything was ever sent.
        char c;
        while (read(master, &c, 1) <= 0) {
            usleep(20000);
        }
        writeFile(box.root() + "/run/" + port.tty + ".spoken-to", "");
        pause();
        return 0;
    });
}

struct ProbeRun {
    int status;
    std::string out;
    double seconds;
};

ProbeRun probe(const Box& box, const std::vector<std::string>& args)
{
    const std::string out = box.root() + "/run/probe.out";
    std::vector<std::string> command = {MODEMWATCHCTL_BINARY, "probe"};
    command.insert(command.end(), args.begin(), args.end());
    const auto started = std::chrono::steady_clock::now();
    const int status = waitExit(box.spawn(command, {{}, out, box.root() + "/run/probe.err"}), 30000);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return {status, readFile(out) + readFile(box.root() + "/run/probe.err"), seconds};
}

} // namespace

TEST(Probe, FindsEachModemsAtPortNamesItByUsbPathAndNeverOpensAHeldPort)
{
    Box box;
    ASSERT_TRUE(mountBoxTerminals(box));
    const std::string sys = box.root() + "/sys";
    const ModemIdentity huawei{"huawei", "E1550", "354016011111111", "", ""};
    const ModemIdentity quectel{"Quectel", "EC25", "867698040000001", "", ""};
    const ModemIdentity sim800{"SIMCOM_Ltd", "SIMCOM_SIM800L", "862643030000002", "", ""};
    const std::vector<FakeUsbDevice> devices = {
        {"1-1.2", "12d1", "1001", "HUAWEI", "HUAWEI Mobile", ""},
        {"1-1.3", "2c7c", "0125", "Quectel", "EG25-G", ""},
        {"1-1.4", "1a86", "7523", "", "USB Serial", ""},
        {"1-1.5", "1546", "01a8", "u-blox AG", "u-blox modem", "0"},
    };
    const std::vector<FakePort> ports = {
        // A Huawei whose third interface alone answers.
        {"ttyUSB0", "1-1.2", 0, "ff", "option", false, {}},
        {"ttyUSB1", "1-1.2", 1, "ff", "option", false, {}},
        {"ttyUSB2", "1-1.2", 2, "ff", "option", true, huawei},
        // A Quectel EC25 with AT on interfaces 2 and 3: its layout says 2.
        {"ttyUSB3", "1-1.3", 0, "ff", "option", false, {}},
        {"ttyUSB4", "1-1.3", 1, "ff", "option", false, {}},
        {"ttyUSB5", "1-1.3", 2, "ff", "option", true, quectel},
        {"ttyUSB6", "1-1.3", 3, "ff", "option", true, quectel},
        // A CH341 bridge with a SIM800 behind it: no vendor hint, found by AT alone.
        {"ttyUSB7", "1-1.4", 0, "ff", "ch341", true, sim800},
        // A cdc_acm modem that something holds open.
        {"ttyACM0", "1-1.5", 0, "02", "cdc_acm", true, {}},
    };
    for (const FakeUsbDevice& device : devices) {
        addFakeUsbDevice(sys, device);
    }
    // Two sticks without a tty: one still a CD-ROM, one with the HiLink firmware.
    addFakeUsbDevice(sys, {"1-1.6", "12d1", "1f01", "HUAWEI", "HUAWEI Mobile", ""});
    addFakeUsbInterface(sys, {"1-1.6", 0});
    addFakeUsbDevice(sys, {"1-1.7", "12d1", "14dc", "HUAWEI", "HUAWEI HiLink", ""});
    addFakeUsbInterface(sys, {"1-1.7", 0, "02", "cdc_ether"});
    addFakeUsbInterface(sys, {"1-1.7", 1, "0a", "cdc_ether"});
    for (const FakePort& port : ports) {
        addFakeUsbPort(sys, {port.tty, port.usb_path, port.interface, port.interface_class, port.driver});
        plugPort(box, port);
        ASSERT_TRUE(waitUntil([&] { return fileExists(box.root() + "/run/" + port.tty + ".ready"); }, 5000));
    }
    ASSERT_EQ(box.inside([&] { return mount(sys.c_str(), "/sys", nullptr, MS_BIND, nullptr) == 0 ? 0 : 1; }), 0);
    ASSERT_EQ(symlink("ttyUSB2", box.hostPath("/dev/gsmmodem-1-1.2").c_str()), 0);
    box.startInside([&box] {
        const int held = open("/dev/ttyACM0", O_RDWR | O_NOCTTY);
        writeFile(box.root() + "/run/held", "");
        pause();
        return held;
    });
    ASSERT_TRUE(waitUntil([&] { return fileExists(box.root() + "/run/held"); }, 5000));
    termios before {};
    box.inside([&] {
        const int fd = open("/dev/ttyUSB7", O_RDWR | O_NOCTTY | O_NONBLOCK);
        tcgetattr(fd, &before);
        writeFile(box.root() + "/run/termios-before", std::string(reinterpret_cast<const char*>(&before), sizeof before));
        return 0;
    });

    const ProbeRun listed = probe(box, {});
    EXPECT_EQ(listed.status, 0) << listed.out;
    EXPECT_NE(listed.out.find("\nheld        ttyACM0  1-1.5     1546:01a8  00  cdc_acm  -               u-blox AG u-blox modem\n"),
              std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("\nnot probed  ttyUSB2  1-1.2     12d1:1001  02  option   gsmmodem-1-1.2\n"), std::string::npos)
        << listed.out;
    // What switches the stick depends on this machine: usb_modeswitch installed or not.
    const bool modeswitch = access("/usr/sbin/usb_modeswitch", X_OK) == 0;
    for (const std::string& row : {
             std::string("\nNO AT PORT  USB PATH  ID         MODEM                 WHY\n"),
             std::string("\nstorage     1-1.6     12d1:1f01  HUAWEI HUAWEI Mobile  storage mode: ") +
                 (modeswitch ? "usb_modeswitch switches it" : "switched by usb_modeswitch: install usb-modeswitch"),
             std::string("\nnetwork     1-1.7     12d1:14dc  HUAWEI HUAWEI HiLink  this firmware has no AT port: SMS "
                         "through smsd is not possible; a stick firmware or another modem is needed\n")}) {
        EXPECT_NE(listed.out.find(row), std::string::npos) << row << "\n" << listed.out;
    }

    const ProbeRun probed = probe(box, {"--at"});
    std::printf("probe --at, 4 modems, 4 ports that never answer, 1 held (%.1f s):\n%s", probed.seconds, probed.out.c_str());
    EXPECT_EQ(probed.status, 0);
    EXPECT_LT(probed.seconds, 10) << "a port that never answers costs a bounded wait";
    for (const char* row : {
             "\nno answer   ttyUSB0  1-1.2     12d1:1001  00  option   -               HUAWEI HUAWEI Mobile\n",
             "\nAT port     ttyUSB2  1-1.2     12d1:1001  02  option   gsmmodem-1-1.2  huawei E1550 IMEI 354016011111111\n",
             "\nAT port     ttyUSB5  1-1.3     2c7c:0125  02  option   -               Quectel EC25 IMEI 867698040000001\n",
             "\nanswers AT  ttyUSB6  1-1.3     2c7c:0125  03  option   -               Quectel EC25 IMEI 867698040000001\n",
             "\nAT port     ttyUSB7  1-1.4     1a86:7523  00  ch341    -               SIMCOM_Ltd SIMCOM_SIM800L IMEI "
             "862643030000002\n",
             "\nheld        ttyACM0  1-1.5     1546:01a8  00  cdc_acm  -               u-blox AG u-blox modem\n"}) {
        EXPECT_NE(probed.out.find(row), std::string::npos) << row;
    }
    EXPECT_FALSE(fileExists(box.root() + "/run/ttyACM0.spoken-to")) << "a held port is never opened";
    box.inside([&] {
        const int fd = open("/dev/ttyUSB7", O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios after {};
        tcgetattr(fd, &after);
        writeFile(box.root() + "/run/termios-after", std::string(reinterpret_cast<const char*>(&after), sizeof after));
        return 0;
    });
    EXPECT_EQ(readFile(box.root() + "/run/termios-after"), readFile(box.root() + "/run/termios-before"))
        << "the port's settings are put back";

    const ProbeRun json = probe(box, {"--at", "--json"});
    writeFile(box.root() + "/run/probe.json", json.out.substr(0, json.out.rfind('}') + 1));
    EXPECT_EQ(std::system(("jq -e '(.modems | length == 4 and .[0].at_port == \"ttyUSB2\" and "
                           ".[1].chosen_by == \"layout 2c7c:0125\" and .[2].chosen_by == \"lowest answering\" and "
                           ".[3].ports[0].held) and (.without_at_ports | map(.usb_path + \" \" + .mode) == "
                           "[\"1-1.6 storage\", \"1-1.7 network\"])' " +
                           box.root() + "/run/probe.json >/dev/null")
                              .c_str()),
              0)
        << json.out;

    const ProbeRun rules = probe(box, {"--udev-rules"});
    EXPECT_EQ(rules.status, 0);
    EXPECT_EQ(rules.out, readFile(GOLDEN_DIR "/probe.rules"));
}

TEST(Probe, WriteRefusesToReplaceARulesFileItDidNotWrite)
{
    Box box;
    box.inside([] {
        mkdir("/etc/udev", 0755);
        mkdir("/etc/udev/rules.d", 0755);
        return 0;
    });
    if (!box.writeInside("/etc/udev/rules.d/90-gsmmodem.rules", "# the admin's own\n")) {
        GTEST_SKIP() << "the box's /etc/udev/rules.d is the host's, and not ours to write without root";
    }
    const ProbeRun refused = probe(box, {"--udev-rules", "--write"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.out.find("was not written by modemwatchctl probe: not replacing it"), std::string::npos)
        << refused.out;
    EXPECT_EQ(box.readInside("/etc/udev/rules.d/90-gsmmodem.rules"), "# the admin's own\n");

    // A link, to nowhere or to /dev/null, is no rules file of ours either.
    for (const char* target : {"/nonexistent/90-gsmmodem.rules", "/dev/null"}) {
        ASSERT_EQ(box.inside([&] {
            unlink("/etc/udev/rules.d/90-gsmmodem.rules");
            return symlink(target, "/etc/udev/rules.d/90-gsmmodem.rules");
        }), 0);
        const ProbeRun linked = probe(box, {"--udev-rules", "--write"});
        EXPECT_EQ(linked.status, 3) << target << ": " << linked.out;
        EXPECT_EQ(box.inside([&] {
            char seen[64] = {};
            return readlink("/etc/udev/rules.d/90-gsmmodem.rules", seen, sizeof seen - 1) > 0 &&
                           std::string(seen) == target ? 0 : 1;
        }), 0) << target << " was replaced";
    }
}

TEST(Probe, APortOpenedAfterTheListingIsLeftAlone)
{
    Box box;
    ASSERT_TRUE(mountBoxTerminals(box));
    const std::string sys = box.root() + "/sys";
    addFakeUsbDevice(sys, {"1-1.2", "12d1", "1001", "HUAWEI", "HUAWEI Mobile", ""});
    // Two ports that never answer: the first costs the probe a second, in which smsd opens the
    // second.
    for (const FakePort& port : {FakePort{"ttyUSB0", "1-1.2", 0, "ff", "option", false, {}},
                                 FakePort{"ttyUSB1", "1-1.2", 1, "ff", "option", false, {}}}) {
        addFakeUsbPort(sys, {port.tty, port.usb_path, port.interface, port.interface_class, port.driver});
        plugPort(box, port);
        ASSERT_TRUE(waitUntil([&] { return fileExists(box.root() + "/run/" + port.tty + ".ready"); }, 5000));
    }
    ASSERT_EQ(box.inside([&] { return mount(sys.c_str(), "/sys", nullptr, MS_BIND, nullptr) == 0 ? 0 : 1; }), 0);
    const std::string out = box.root() + "/run/probe.out";
    const pid_t probing = box.spawn({MODEMWATCHCTL_BINARY, "probe", "--at"}, {{}, out, {}});
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    box.startInside([] {
        const int held = open("/dev/ttyUSB1", O_RDWR | O_NOCTTY | O_NONBLOCK);
        pause();
        return held;
    });
    EXPECT_EQ(waitExit(probing, 10000), 1) << readFile(out);
    EXPECT_NE(readFile(out).find("\nheld       ttyUSB1  1-1.2     12d1:1001  01  option"), std::string::npos) << readFile(out);
    EXPECT_FALSE(fileExists(box.root() + "/run/ttyUSB1.spoken-to")) << "the port smsd opened got our AT";
}

TEST(Probe, OpensNoPortWithoutRoot)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs a user to run the probe as";
    }
    Box box;
    ASSERT_TRUE(mountBoxTerminals(box));
    const std::string sys = box.root() + "/sys";
    addFakeUsbDevice(sys, {"1-1.2", "12d1", "1001", "HUAWEI", "HUAWEI Mobile", ""});
    const FakePort port{"ttyUSB0", "1-1.2", 0, "ff", "option", false, {}};
    addFakeUsbPort(sys, {port.tty, port.usb_path, port.interface, port.interface_class, port.driver});
    plugPort(box, port);
    ASSERT_TRUE(waitUntil([&] { return fileExists(box.root() + "/run/ttyUSB0.ready"); }, 5000));
    ASSERT_EQ(box.inside([&] { return mount(sys.c_str(), "/sys", nullptr, MS_BIND, nullptr) == 0 ? 0 : 1; }), 0);
    const std::string err = box.root() + "/run/probe.err";
    for (const char* option : {"--at", "--udev-rules"}) {
        SpawnOptions as_user;
        as_user.prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        as_user.stderr_path = err;
        EXPECT_EQ(waitExit(box.spawn({MODEMWATCHCTL_BINARY, "probe", option}, as_user), 10000), 3) << option;
        EXPECT_NE(readFile(err).find("which needs root"), std::string::npos) << readFile(err);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(fileExists(box.root() + "/run/ttyUSB0.spoken-to"));
}

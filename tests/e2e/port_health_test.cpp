// A modem that stops answering is seen from smsd's own words: its log says so, the port's run
// log says when it answers again; published per port, CRITICAL in check, kept across a restart
// that numbers the ports anew.
#include "e2e/box_helpers.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <sys/stat.h>
#include <map>
#include <sstream>

namespace {

// The port the configuration in force gives `device`: "GSM2".
std::string portOf(const Box& box, const std::string& device)
{
    for (const auto& [series, value] : samples(box)) {
        const size_t at = series.find("\",device=\"" + device + "\"");
        if (series.rfind("modemwatchd_port_state{port=\"", 0) == 0 && at != std::string::npos) {
            return series.substr(29, at - 29);
        }
    }
    return "<none>";
}

// A line as smsd writes it, at `offset` seconds from now.
std::string smsdLine(int offset, const std::string& who, const std::string& text)
{
    const std::time_t when = std::time(nullptr) + offset;
    struct tm local {};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(stamp) + ".123,3, " + who + ": " + text + "\n";
}

} // namespace

TEST(PortHealth, AModemThatStopsAnsweringIsCriticalUntilItsRunLogShowsItAnswerAgain)
{
    Box box;
    box.plug("gsmmodem-a");
    box.plug("gsmmodem-b");
    box.writeStatus("GSM1:\t1,\tReceiving,\t0,\t0,\t0,\tssi: -73 dBm (Excellent), ber: < 0.2 %\n"
                    "GSM2:\t1,\tReceiving,\t0,\t0,\t0,\tssi: -101 dBm (Marginal)\n");
    box.statusOnStart("GSM1:\t1,\tReceiving,\t0,\t0,\t0,\tssi: -73 dBm (Excellent), ber: < 0.2 %\n"
                      "GSM2:\t1,\tReceiving,\t0,\t0,\t0,\tssi: -101 dBm (Marginal)\n");
    Daemon daemon(box);
    ASSERT_TRUE(daemon.pass());
    std::map<std::string, std::string> found = samples(box);
    EXPECT_EQ(found["modemwatchd_port_answering{port=\"GSM1\"}"], "1");
    EXPECT_EQ(found["modemwatchd_port_signal_dbm{port=\"GSM2\"}"], "-101");
    EXPECT_EQ(found["modemwatchd_healing"], "0");
    EXPECT_EQ(found.count("modemwatchd_port_heals_total{port=\"GSM1\",outcome=\"answering\"}"), 0U)
        << "no heal series with healing off";

    const std::string hung = portOf(box, "gsmmodem-b");
    // Its run log shows an answer, read before the hang: no answer after it.
    writeFile(box.hostPath("/var/ramlog/smsd_run_" + hung + ".log"), smsdLine(-2, hung, "CMD: AT+CSQ: +CSQ: 20,0 OK"));
    ASSERT_TRUE(daemon.pass());
    writeFile(box.hostPath("/var/log/smsd.log"),
              smsdLine(-60, "smsd", "Smsd v3.1.21 started.") +
                  smsdLine(-5, hung, "Modem is not ready to answer commands (Timeouts: 23)") +
                  smsdLine(-4, "GSM9", "Modem is not ready to answer commands (Timeouts: 23)"));
    ASSERT_TRUE(daemon.pass());
    found = samples(box);
    EXPECT_EQ(found["modemwatchd_port_answering{port=\"" + hung + "\"}"], "0");
    EXPECT_EQ(found.count("modemwatchd_port_not_answering_since_seconds{port=\"" + hung + "\"}"), 1U);
    EXPECT_EQ(found.count("modemwatchd_port_answering{port=\"GSM9\"}"), 0U) << "no such port";
    int status = 0;
    std::string said = check(box, status);
    EXPECT_EQ(status, 2) << said;
    EXPECT_EQ(said.rfind("MODEMWATCHD CRITICAL - " + hung + " (gsmmodem-b) not answering for ", 0), 0U) << said;
    EXPECT_TRUE(box.serviceCalls().size() == 2U) << "noticing restarts nothing";

    // A third modem: smsd restarted, the ports numbered anew; the modem still does not answer.
    box.plug("gsmmodem-c");
    ASSERT_TRUE(daemon.pass());
    const std::string renumbered = portOf(box, "gsmmodem-b");
    EXPECT_EQ(samples(box)["modemwatchd_port_answering{port=\"" + renumbered + "\"}"], "0");

    // An answer read by a later pass than the hang is an answer, whatever time smsd printed on it:
    // when summer time ends, smsd's zone-less times jump an hour back.
    const std::string run_log = box.hostPath("/var/ramlog/smsd_run_" + renumbered + ".log");
    writeFile(run_log, smsdLine(-3600, renumbered, "CMD: AT+CSQ: +CSQ: 20,0 OK"));
    ASSERT_TRUE(daemon.pass());
    found = samples(box);
    EXPECT_EQ(found["modemwatchd_port_answering{port=\"" + renumbered + "\"}"], "1");
    EXPECT_EQ(found.count("modemwatchd_port_not_answering_since_seconds{port=\"" + renumbered + "\"}"), 0U);
    said = check(box, status);
    EXPECT_EQ(said.find("not answering"), std::string::npos) << said;
}

TEST(PortHealth, WithHealOnAHungModemIsLeftAloneInSmsdsFirstMinutes)
{
    Box box;
    box.plug("gsmmodem-a");
    DaemonOptions heal;
    heal.extra_args = {"--heal"};
    Daemon daemon(box, heal);
    ASSERT_TRUE(daemon.pass());
    const SyslogMessage on = box.syslog().waitFor("Healing modems that stop answering, through their USB devices");
    EXPECT_EQ(on.priority, 30);  // daemon.info
    std::map<std::string, std::string> found = samples(box);
    EXPECT_EQ(found["modemwatchd_healing"], "1");
    EXPECT_EQ(found["modemwatchd_port_heals_total{port=\"GSM1\",outcome=\"not_answering\"}"], "0");
    EXPECT_EQ(found["modemwatchd_port_heal_given_up{port=\"GSM1\"}"], "0");

    // smsd, just started, says the modem does not answer: too soon to judge, nothing is reset.
    const size_t calls = box.serviceCalls().size();
    writeFile(box.hostPath("/var/log/smsd.log"),
              smsdLine(-1, "GSM1", "Modem is not ready to answer commands (Timeouts: 22)"));
    ASSERT_TRUE(daemon.pass());
    ASSERT_TRUE(daemon.pass());
    EXPECT_EQ(samples(box)["modemwatchd_port_answering{port=\"GSM1\"}"], "0");
    EXPECT_EQ(box.serviceCalls().size(), calls);
    for (const std::string& line : daemon.lines()) {
        EXPECT_EQ(line.find("Healing"), std::string::npos) << line;
    }
    EXPECT_EQ(daemon.stop(), 0);
}

TEST(PortHealth, TheHealingHelperTouchesNothingButAModemBehindAGsmmodemLink)
{
    Box box;
    box.plug("gsmmodem-a");  // a plain file: no tty on a USB device
    const struct {
        const char* word;
        const char* says;
    } cases[] = {
        {"reset:sda", "not touching /dev/sda: no gsmmodem entry of /dev"},
        {"reset:bus/usb/001/gsmmodem", "no gsmmodem entry of /dev"},
        {"reset:gsmmodem-a", "not touching /dev/gsmmodem-a: /dev/gsmmodem-a is no tty on a USB device"},
        {"reset:gsmmodem-none", "leads to no device of /dev"},
        {"unplug:gsmmodem-a", "usage: modemwatchd-usb-reset"},
    };
    for (const auto& [word, says] : cases) {
        const std::string out = box.root() + "/run/helper.out";
        EXPECT_EQ(waitExit(box.spawn({USB_RESET_BINARY, word}, {{}, {}, out})), 1) << word;
        EXPECT_NE(readFile(out).find(says), std::string::npos) << word << ": " << readFile(out);
    }
}

TEST(PortHealth, TheHelpersRestoreTouchesOnlyADeviceOfSysfsItNotedItself)
{
    Box box;
    // A device directory outside sysfs, and records that lead there, as a stranger might plant them.
    const std::string planted = box.root() + "/devices/1-1";
    ASSERT_EQ(std::system(("mkdir -p " + planted).c_str()), 0);
    writeFile(planted + "/authorized", "0\n");
    for (const std::string& record : {planted, std::string("/sys/devices/../..") + planted}) {
        ASSERT_EQ(box.inside([] { return mkdir("/run/modemwatchd-usb-reset", 0700) == 0 || errno == EEXIST ? 0 : 1; }), 0);
        ASSERT_TRUE(box.writeInside("/run/modemwatchd-usb-reset/gsmmodem-a", record + "\n"));
        const std::string out = box.root() + "/run/helper.out";
        EXPECT_EQ(waitExit(box.spawn({USB_RESET_BINARY, "--restore", "reauthorize:gsmmodem-a"}, {{}, {}, out})), 0);
        EXPECT_EQ(readFile(planted + "/authorized"), "0\n") << record;
        EXPECT_FALSE(box.modeInside("/run/modemwatchd-usb-reset/gsmmodem-a")) << "the record is used once";
    }
}

// The state the daemon publishes after each pass for Prometheus and modemwatchctl: what it
// holds as the box changes, how it is written, and what a failure to write it costs.
#include "e2e/box_helpers.hpp"
#include "sandbox/fake_sysfs.hpp"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kPublished[] = "/run/modemwatchd/modemwatchd.prom";

std::string status(const std::vector<std::string>& states)
{
    std::string text = "Status:\t12-07 06:37:09,\t3\n";
    for (size_t i = 0; i < states.size(); ++i) {
        text += "GSM" + std::to_string(i + 1) + ":\t12-07 06:37:09,\t" + states[i] + ",\t0,\t0,\t0\n";
    }
    return text;
}

std::string restarts(const std::map<std::string, std::string>& found, const std::string& cause)
{
    const auto at = found.find("modemwatchd_smsd_restarts_total{cause=\"" + cause + "\"}");
    return at == found.end() ? "<absent>" : at->second;
}

// The target and state labels of the port whose device label is `device` (already escaped).
std::string portOf(const std::map<std::string, std::string>& found, const std::string& device)
{
    const std::string key = "\",device=\"" + device + "\",target=\"";
    for (const auto& [series, value] : found) {
        const size_t at = series.find(key);
        if (series.rfind("modemwatchd_port_state{", 0) == 0 && at != std::string::npos && value == "1") {
            const std::string rest = series.substr(at + key.size());
            const size_t state = rest.find("state=\"") + 7;
            return rest.substr(0, rest.find('"')) + " " + rest.substr(state, rest.find('"', state) - state);
        }
    }
    return "<no series>";
}

// The state labels of all ports, in port order. Ports are numbered in /dev's listing order,
// which the test does not choose.
std::string statesOf(const std::map<std::string, std::string>& found)
{
    std::string states;
    for (const auto& [series, value] : found) {
        if (series.rfind("modemwatchd_port_state{", 0) == 0) {
            const size_t state = series.find("state=\"") + 7;
            states += series.substr(state, series.find('"', state) - state) + " ";
        }
    }
    return states;
}

} // namespace

TEST(PublishedState, FollowsThePassesAndSaysWhenTheDaemonHasStopped)
{
    Box box;
    box.plug("gsmmodem1");
    ASSERT_EQ(symlink("ttyUSB2", box.hostPath("/dev/gsmmodem-a\"b\\c").c_str()), 0);
    box.writeStatus(status({"Receiving", "Receiving"}));
    box.statusOnStart(status({"Receiving", "Receiving"}));  // what the new smsd reports once it runs
    Daemon daemon(box);
    std::map<std::string, std::string> found = samples(box);
    EXPECT_EQ(found["modemwatchd_build_info{version=\"1.0.0\"}"], "1");
    EXPECT_EQ(found["modemwatchd_up"], "1");
    EXPECT_EQ(found["modemwatchd_passes_total"], "1");
    EXPECT_EQ(found["modemwatchd_modems_present"], "2");
    EXPECT_EQ(found["modemwatchd_ports_configured"], "-1");
    // The pass restarted smsd: what it read before is no word of the new smsd's.
    EXPECT_EQ(found.count("modemwatchd_ports_receiving"), 0U);
    EXPECT_EQ(found.count("modemwatchd_ports_blocked"), 0U);
    EXPECT_EQ(found["modemwatchd_smsd_running"], "1");
    EXPECT_EQ(portOf(found, "gsmmodem1"), " unknown");
    EXPECT_EQ(portOf(found, "gsmmodem-a\\\"b\\\\c"), "ttyUSB2 unknown") << "escaped labels";
    EXPECT_EQ(found["modemwatchd_port_spool_directory{port=\"GSM2\"}"], "1");
    EXPECT_EQ(restarts(found, "first_pass"), "1");
    EXPECT_EQ(found.count("modemwatchd_last_smsd_restart_time_seconds{cause=\"first_pass\"}"), 1U);
    EXPECT_EQ(modeOf(box.hostPath(kPublished)), 0644U);
    EXPECT_EQ(modeOf(box.hostPath("/run/modemwatchd")), 0755U);

    ASSERT_TRUE(daemon.pass());  // quiet
    found = samples(box);
    EXPECT_EQ(found["modemwatchd_passes_total"], "2");
    EXPECT_EQ(found["modemwatchd_ports_configured"], "2");
    EXPECT_EQ(restarts(found, "first_pass"), "1");
    EXPECT_EQ(found["modemwatchd_ports_receiving"], "2");
    EXPECT_EQ(found["modemwatchd_ports_blocked"], "0");
    EXPECT_EQ(portOf(found, "gsmmodem1"), " Receiving");
    EXPECT_EQ(portOf(found, "gsmmodem-a\\\"b\\\\c"), "ttyUSB2 Receiving");

    box.plug("gsmmodem3");  // no line for GSM3 in the status file
    ASSERT_TRUE(daemon.pass());
    found = samples(box);
    EXPECT_EQ(restarts(found, "modem_count_changed"), "1");
    EXPECT_EQ(statesOf(found), "unknown unknown unknown ") << "smsd restarted";
    ASSERT_TRUE(daemon.pass());
    found = samples(box);
    EXPECT_EQ(statesOf(found), "Receiving Receiving unknown ") << "no line for GSM3 in the status file";
    EXPECT_EQ(found.count("modemwatchd_last_smsd_restart_time_seconds{cause=\"modem_count_changed\"}"), 1U);

    box.writeStatus(status({"Blocked", "Idle", "Idle"}));
    box.statusOnStart(status({"Blocked", "Idle", "Idle"}));
    ASSERT_TRUE(daemon.pass());
    ASSERT_TRUE(daemon.pass());
    found = samples(box);
    EXPECT_EQ(restarts(found, "blocked_count_changed"), "1");
    EXPECT_EQ(found["modemwatchd_ports_blocked"], "1");
    EXPECT_EQ(statesOf(found), "Blocked Idle Idle ");

    const std::string status_path = box.hostPath("/var/spool/sms/stats/status");
    unlink(status_path.c_str());
    box.statusOnStart("");
    ASSERT_EQ(mkfifo(status_path.c_str(), 0644), 0);  // cannot be read: blocked 0, a change
    ASSERT_TRUE(daemon.pass());
    found = samples(box);
    EXPECT_EQ(found.count("modemwatchd_ports_receiving"), 0U);
    EXPECT_EQ(found.count("modemwatchd_ports_blocked"), 0U);
    EXPECT_EQ(statesOf(found), "unknown unknown unknown ");
    EXPECT_EQ(restarts(found, "first_pass") + restarts(found, "modem_count_changed") +
                  restarts(found, "blocked_count_changed"),
              "112");

    EXPECT_EQ(daemon.stop(), 0);
    found = samples(box);
    EXPECT_EQ(found["modemwatchd_up"], "0");
    EXPECT_EQ(found["modemwatchd_passes_total"], "7");
    EXPECT_EQ(found.count("modemwatchd_modems_present"), 0U) << "nothing measured is claimed after the stop";
    EXPECT_EQ(statesOf(found), "");
    EXPECT_EQ(restarts(found, "blocked_count_changed"), "2");
}

TEST(PublishedState, AnUnwritableRunIsReportedOnceAndThePassesGoOn)
{
    Box box;
    box.plug("gsmmodem1");
    mkdir(box.hostPath("/run/modemwatchd").c_str(), 0755);
    ASSERT_TRUE(box.makeReadOnly("/run/modemwatchd"));
    Daemon daemon(box);
    ASSERT_TRUE(daemon.pass());
    const std::string error = "Can not publish /run/modemwatchd/modemwatchd.prom, error: Read-only file system";
    EXPECT_EQ(box.syslog().waitFor(error).priority, 27);  // daemon.err
    EXPECT_EQ(box.syslog().count(error), 1) << "once, not every pass";
    EXPECT_EQ(daemon.passLines(2).size(), 6U) << "a quiet pass all the same";
    EXPECT_EQ(box.serviceCalls().size(), 2U);
}

TEST(PublishedState, ModemwatchctlReadsWhatTheDaemonPublished)
{
    Box box;
    box.plug("gsmmodem1");
    box.plug("gsmmodem2");
    box.writeStatus(status({"Receiving", "Blocked"}));
    box.statusOnStart(status({"Receiving", "Blocked"}));
    Daemon daemon(box);
    ASSERT_TRUE(daemon.pass());
    const std::string out = box.root() + "/run/ctl.out";
    const auto ctl = [&](const std::vector<std::string>& args) {
        std::vector<std::string> command = {MODEMWATCHCTL_BINARY, "--state", box.hostPath(kPublished)};
        command.insert(command.end(), args.begin(), args.end());
        return waitExit(box.spawn(command, {{}, out, {}}));
    };
    EXPECT_EQ(ctl({"check"}), 1);
    EXPECT_EQ(readFile(out).rfind("MODEMWATCHD WARNING - 1 of 2 modems receiving; 1 port blocked;", 0), 0U)
        << readFile(out);
    EXPECT_EQ(ctl({"status"}), 0);
    EXPECT_NE(readFile(out).find("\nGSM2  gsmmodem2  -         Blocked     yes\n"), std::string::npos) << readFile(out);
    EXPECT_EQ(daemon.stop(), 0);
    EXPECT_EQ(ctl({"check"}), 2);
    EXPECT_EQ(readFile(out).rfind("MODEMWATCHD CRITICAL - modemwatchd stopped |", 0), 0U) << readFile(out);
}

// A modem that a reset (or a power blip) sent back to its CD-ROM has no port for smsd: status says
// so with the port its USB path names, in the table and in JSON; a saved file, which may be
// another box's, is shown without this box's USB devices.
TEST(PublishedState, StatusShowsAModemInStorageModeWithThePortItWas)
{
    Box box;
    const std::string sys = box.root() + "/sys";
    addFakeUsbDevice(sys, {"1-1.2", "12d1", "1f01", "HUAWEI", "HUAWEI Mobile", ""});
    addFakeUsbInterface(sys, {"1-1.2", 0});
    ASSERT_EQ(box.inside([&] { return mount(sys.c_str(), "/sys", nullptr, MS_BIND, nullptr) == 0 ? 0 : 1; }), 0);
    box.plug("gsmmodem-1-1.2");
    box.plug("gsmmodem-1-1.3");
    Daemon daemon(box);
    ASSERT_TRUE(daemon.pass());
    const std::string out = box.root() + "/run/ctl.out";
    const auto ctl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), MODEMWATCHCTL_BINARY);
        return waitExit(box.spawn(args, {{}, out, {}}));
    };
    const bool modeswitch = access("/usr/sbin/usb_modeswitch", X_OK) == 0;
    const std::string line = std::string("\nGSM1 (gsmmodem-1-1.2): USB device 1-1.2 (12d1:1f01 HUAWEI HUAWEI Mobile) in "
                                         "storage mode: ") +
                             (modeswitch ? "usb_modeswitch switches it" : "switched by usb_modeswitch: install usb-modeswitch");
    EXPECT_EQ(ctl({"status"}), 0);
    EXPECT_NE(readFile(out).find(line), std::string::npos) << readFile(out);
    EXPECT_EQ(ctl({"status", "--json"}), 0);
    EXPECT_EQ(std::system(("jq -e '.storage_mode | map(.usb_path + \" \" + .vendor + \":\" + .product) == "
                           "[\"1-1.2 12d1:1f01\"]' " + out + " >/dev/null").c_str()),
              0)
        << readFile(out);
    EXPECT_EQ(ctl({"status", "--state", box.hostPath(kPublished)}), 0);
    EXPECT_EQ(readFile(out).find("storage mode"), std::string::npos) << readFile(out);
}

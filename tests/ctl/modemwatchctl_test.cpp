// modemwatchctl against crafted state files: the status screen, its JSON form, and the
// monitoring-plugin verdict with each of its exit statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr double kNow = 1796650000;  // what --now says the time is

struct Port {
    const char* device;
    const char* target;
    const char* state;
    bool spool;
};

// A published state as the daemon writes it, HELP and TYPE lines left out.
std::string state(const std::vector<Port>& ports, int receiving, int blocked, double age, bool up = true)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(3) << "modemwatchd_build_info{version=\"1.0.0\"} 1\nmodemwatchd_up " << (up ? 1 : 0)
         << "\nmodemwatchd_start_time_seconds " << kNow - 7200 << "\nmodemwatchd_pass_interval_seconds 30\n"
         << "modemwatchd_passes_total 240\nmodemwatchd_last_pass_end_time_seconds " << kNow - age
         << "\nmodemwatchd_last_pass_duration_seconds 0.004\n";
    if (up) {
        text << "modemwatchd_modems_present " << ports.size() << "\nmodemwatchd_ports_configured " << ports.size()
             << "\n";
        if (receiving >= 0) {
            text << "modemwatchd_ports_receiving " << receiving << "\nmodemwatchd_ports_blocked " << blocked << "\n";
        }
        for (size_t i = 0; i < ports.size(); ++i) {
            text << "modemwatchd_port_state{port=\"GSM" << i + 1 << "\",device=\"" << ports[i].device
                 << "\",target=\"" << ports[i].target << "\",state=\"" << ports[i].state << "\"} 1\n";
        }
        for (size_t i = 0; i < ports.size(); ++i) {
            text << "modemwatchd_port_spool_directory{port=\"GSM" << i + 1 << "\"} " << ports[i].spool << "\n";
        }
    }
    text << "modemwatchd_smsd_restarts_total{cause=\"first_pass\"} 1\n"
            "modemwatchd_smsd_restarts_total{cause=\"modem_count_changed\"} 3\n"
            "modemwatchd_smsd_restarts_total{cause=\"blocked_count_changed\"} 2\n"
            "modemwatchd_last_smsd_restart_time_seconds{cause=\"blocked_count_changed\"} "
         << kNow - 300 << "\n";
    return text.str();
}

const std::vector<Port> kTwoFine = {{"gsmmodem-1-1.2", "ttyUSB2", "Receiving", true},
                                    {"gsmmodem-1-1.3", "ttyUSB5", "Receiving", true}};
const std::vector<Port> kOneBlocked = {{"gsmmodem-1-1.2", "ttyUSB2", "Receiving", true},
                                       {"gsmmodem-1-1.3", "ttyUSB5", "Blocked", false},
                                       {"gsmmodem-serial-AB\\\"C", "", "unknown", true}};

struct Outcome {
    int status;
    std::string out;
};

// Runs modemwatchctl in UTC on `text` saved as the state file ("" for no file at all).
Outcome ctl(const std::string& text, const std::string& args)
{
    char path[] = "/tmp/modemwatchctl-state.XXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    if (text.empty()) {
        unlink(path);
    } else {
        std::ofstream(path) << text;
    }
    const std::string command = "TZ=UTC " MODEMWATCHCTL_BINARY " --state " + std::string(path) + " --now " +
                                std::to_string(static_cast<long>(kNow)) + " " + args + " 2>&1";
    Outcome run{-1, {}};
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            run.out.append(buffer, got);
        }
        const int status = pclose(pipe);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    unlink(path);
    return run;
}

std::string golden(const std::string& name)
{
    std::ifstream in(std::string(GOLDEN_DIR) + "/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST(Modemwatchctl, StatusShowsOneAlignedScreenWithoutColourOffATerminal)
{
    const Outcome running = ctl(state(kOneBlocked, 1, 1, 12), "status");
    EXPECT_EQ(running.status, 0);
    EXPECT_EQ(running.out, golden("status_running.txt"));
    const Outcome stopped = ctl(state(kOneBlocked, 1, 1, 4000, false), "status");
    EXPECT_EQ(stopped.status, 0);
    EXPECT_EQ(stopped.out, golden("status_stopped.txt"));
}

TEST(Modemwatchctl, StatusJsonIsOneObjectAStandardToolParses)
{
    const Outcome run = ctl(state(kOneBlocked, 1, 1, 12), "status --json");
    ASSERT_EQ(run.status, 0) << run.out;
    char path[] = "/tmp/modemwatchctl-json.XXXXXX";
    close(mkstemp(path));
    std::ofstream(path) << run.out;
    const std::string filter =
        "'.running and .ports_blocked == 1 and .seconds_since_last_pass == 12 and (.ports | length) == 3 and "
        ".ports[1].state == \"Blocked\" and .ports[1].spool_directory == false and "
        ".ports[2].device == \"gsmmodem-serial-AB\\\"C\" and .smsd_restarts.modem_count_changed == 3 and "
        ".last_restart.cause == \"blocked_count_changed\"'";
    EXPECT_EQ(std::system(("jq -e " + filter + " " + path + " >/dev/null").c_str()), 0) << run.out;
    unlink(path);
    const Outcome unreadable = ctl(state(kTwoFine, -1, 0, 12), "status --json");
    EXPECT_NE(unreadable.out.find("\"ports_receiving\":null,\"ports_blocked\":null"), std::string::npos)
        << unreadable.out;
}

TEST(Modemwatchctl, CheckGivesEachPluginStatusWithPerformanceData)
{
    const std::vector<std::tuple<std::string, std::string, int, std::string>> cases = {
        {state(kTwoFine, 2, 0, 5), "check", 0,
         "MODEMWATCHD OK - 2 modems, 2 receiving, 0 blocked, last pass 5 s ago | age=5s;;90;0 modems=2;;;0 "
         "receiving=2;;;0 blocked=0;0;;0\n"},
        {state(kOneBlocked, 2, 1, 5), "check", 1,
         "MODEMWATCHD WARNING - 2 of 3 modems receiving; 1 port blocked; 3 modems, 2 receiving, 1 blocked, last "
         "pass 5 s ago | age=5s;;90;0 modems=3;;;0 receiving=2;;;0 blocked=1;0;;0\n"},
        {state(kTwoFine, 2, 1, 5), "check --blocked 2", 0,
         "MODEMWATCHD OK - 2 modems, 2 receiving, 1 blocked, last pass 5 s ago | age=5s;;90;0 modems=2;;;0 "
         "receiving=2;;;0 blocked=1;1;;0\n"},
        {state(kTwoFine, -1, 0, 5), "check", 1,
         "MODEMWATCHD WARNING - smsd's status file could not be read; 2 modems, ? receiving, ? blocked, last pass "
         "5 s ago | age=5s;;90;0 modems=2;;;0\n"},
        {state(kTwoFine, 2, 0, 100), "check", 2,
         "MODEMWATCHD CRITICAL - no pass for 100 s (stale); 2 modems, 2 receiving, 0 blocked, last pass 100 s ago "
         "| age=100s;;90;0 modems=2;;;0 receiving=2;;;0 blocked=0;0;;0\n"},
        {state(kTwoFine, 2, 0, 100), "check --max-age 120", 0, ""},
        {state(kTwoFine, 0, 2, 5), "check", 2,
         "MODEMWATCHD CRITICAL - none of 2 modems receiving; 2 ports blocked; 2 modems, 0 receiving, 2 blocked, "
         "last pass 5 s ago | age=5s;;90;0 modems=2;;;0 receiving=0;;;0 blocked=2;0;;0\n"},
        {state(kTwoFine, 2, 0, 4000, false), "check", 2,
         "MODEMWATCHD CRITICAL - modemwatchd stopped | age=4000s;;90;0\n"},
        {"", "check", 3, "MODEMWATCHD UNKNOWN - cannot read the published state: "},
        {"garbage\n", "check", 3, "MODEMWATCHD UNKNOWN - cannot read the published state: "},
        {state(kTwoFine, 2, 0, 5), "check --bogus", 3, "modemwatchctl: unexpected '--bogus'\n"},
        {state(kTwoFine, 2, 0, 5), "status --bogus", 2, "modemwatchctl: unexpected '--bogus'\n"},
        {"", "status", 1, "modemwatchctl: cannot read "},
        {state(kTwoFine, 2, 0, 5), "", 2, "modemwatchctl: no command given\n"},
    };
    for (const auto& [text, args, status, start] : cases) {
        const Outcome run = ctl(text, args);
        EXPECT_EQ(run.status, status) << args << ": " << run.out;
        EXPECT_EQ(run.out.substr(0, start.size()), start) << args;
    }
}

// modemwatchctl against crafted state files: the status screen, its JSON form, and the
// monitoring-plugin verdict with each of its exit statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
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
Outcome ctl(const std::string& text, const std::string& args, bool at_now = true)
{
    char path[] = "/tmp/modemwatchctl-state.XXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    if (text.empty()) {
        unlink(path);
    } else {
        std::ofstream(path) << text;
    }
    const std::string now = at_now ? " --now " + std::to_string(static_cast<long>(kNow)) : std::string();
    const std::string command = "TZ=UTC " MODEMWATCHCTL_BINARY " --state " + std::string(path) + now + " " + args + " 2>&1";
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

// `text` with the first `from` replaced by `to`.
std::string with(std::string text, const std::string& from, const std::string& to)
{
    const size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

bool validJson(const std::string& text)
{
    char path[] = "/tmp/modemwatchctl-json.XXXXXX";
    close(mkstemp(path));
    std::ofstream(path) << text;
    const bool valid = std::system(("jq -e . " + std::string(path) + " >/dev/null 2>&1").c_str()) == 0;
    unlink(path);
    return valid;
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

TEST(Modemwatchctl, ImplausibleStatesAreUnknownWithTheReasonAndLabelsNeverReachATerminalRaw)
{
    const std::string fine = state(kTwoFine, 2, 0, 5);
    const std::string end = "modemwatchd_last_pass_end_time_seconds " + std::to_string(static_cast<long>(kNow) - 5) + ".000";
    const std::vector<std::tuple<std::string, std::string, int, std::string>> cases = {
        {with(fine, end, "modemwatchd_last_pass_end_time_seconds nan"), "check", 3, "is not a finite number"},
        {with(fine, end, "modemwatchd_last_pass_end_time_seconds +Inf"), "check", 3, "is not a finite number"},
        {with(fine, "modemwatchd_modems_present 2", "modemwatchd_modems_present NaN"), "check", 3, "is not a finite"},
        {with(fine, "modemwatchd_modems_present 2", "modemwatchd_modems_present 1e300"), "check", 3, "is not a count"},
        {with(fine, "modemwatchd_ports_receiving 2", "modemwatchd_ports_receiving 2.5"), "status", 1, "is not a count"},
        {with(fine, end, "modemwatchd_last_pass_end_time_seconds " + std::to_string(static_cast<long>(kNow) + 600)),
         "check", 3, "MODEMWATCHD UNKNOWN - the last pass ended 10 min in the future"},
        {fine + "modemwatchd_smsd_running 0\n", "check", 2, "MODEMWATCHD CRITICAL - smsd not running; "},
        {state(kTwoFine, 2, 0, 100), "--max-age 120 check", 0, "MODEMWATCHD OK - "},
        {fine, "--bogus check", 3, "modemwatchctl: unexpected '--bogus'"},
        {fine, "--json check", 3, "modemwatchctl: an option does not go with check"},
    };
    for (const auto& [text, args, status, part] : cases) {
        const Outcome run = ctl(text, args);
        EXPECT_EQ(run.status, status) << args << ": " << run.out;
        EXPECT_NE(run.out.find(part), std::string::npos) << args << ": " << run.out;
        if (status == 3 && run.out.rfind("MODEMWATCHD", 0) == 0) {
            EXPECT_EQ(run.out.rfind("MODEMWATCHD UNKNOWN - ", 0), 0U) << run.out;
        }
    }

    // ESC, a C1 control and bytes that are no UTF-8 in what smsd's user can name.
    const std::string hostile = with(state(kTwoFine, 2, 0, 5), "gsmmodem-1-1.2", "gsm\x1b[2Jmodem\xc2\x9b\xff-é");
    const Outcome shown = ctl(hostile, "status");
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out.find('\x1b'), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("gsm\\x1b[2Jmodem\\xc2\\x9b\\xff-é"), std::string::npos) << shown.out;
    const Outcome json = ctl(hostile, "status --json");
    EXPECT_TRUE(validJson(json.out)) << json.out;
    EXPECT_NE(json.out.find("\"gsm\\u001b[2Jmodem\xc2\x9b\\ufffd-é\""), std::string::npos) << json.out;
}

TEST(Modemwatchctl, AgesAreMeasuredOnTheBootClockThatNoClockStepMoves)
{
    struct timespec boot {};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    // To the nanosecond: whole seconds would make the age up to a second older than meant.
    const double now_boot = static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) / 1e9;
    if (now_boot < 700) {
        GTEST_SKIP() << "booted too recently for a pass ten minutes ago";
    }
    // Published before NTP moved the wall clock three months on: its wall times are far behind.
    std::string stepped = with(state(kTwoFine, 2, 0, 90.0 * 86400), "modemwatchd_passes_total",
                               "modemwatchd_last_pass_end_boottime_seconds " + std::to_string(now_boot - 5) +
                                   "\nmodemwatchd_start_boottime_seconds " + std::to_string(now_boot - 650) +
                                   "\nmodemwatchd_passes_total");
    const Outcome fresh = ctl(stepped, "check", false);
    EXPECT_EQ(fresh.status, 0) << fresh.out;
    EXPECT_NE(fresh.out.find("last pass 5 s ago"), std::string::npos) << fresh.out;
    // Stepped back instead, with the daemon hung for ten minutes: stale all the same.
    const Outcome hung = ctl(with(stepped, std::to_string(now_boot - 5), std::to_string(now_boot - 600)), "check", false);
    EXPECT_EQ(hung.status, 2) << hung.out;
    EXPECT_NE(hung.out.find("no pass for 10 min (stale)"), std::string::npos) << hung.out;
    const Outcome ahead = ctl(with(stepped, std::to_string(now_boot - 5), std::to_string(now_boot + 600)), "check", false);
    EXPECT_EQ(ahead.status, 3) << ahead.out;
}

TEST(Modemwatchctl, BidirectionalControlsInLabelsAreShownEscaped)
{
    // U+202E would make what follows it read backwards: a device could pass for another.
    const std::string reversing = with(state(kTwoFine, 2, 0, 5), "gsmmodem-1-1.2", "gsmmodem-\u202e2.1-1\u2066");
    const Outcome shown = ctl(reversing, "status");
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out.find("\u202e"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("gsmmodem-\\xe2\\x80\\xae2.1-1\\xe2\\x81\\xa6"), std::string::npos) << shown.out;
}

TEST(Modemwatchctl, MessagesThatDoNotMoveAreCriticalAndShown)
{
    const std::string fine = state(kTwoFine, 2, 0, 5) +
                             "modemwatchd_smsd_running 1\nmodemwatchd_messages_waiting 3\nmodemwatchd_messages_waiting_complete 1\n"
                             "modemwatchd_oldest_message_waiting_seconds 1380\nmodemwatchd_smsd_responding 1\n"
                             "modemwatchd_port_messages_sent_total{port=\"GSM1\"} 7\n"
                             "modemwatchd_port_send_failures_total{port=\"GSM1\"} 0\n"
                             "modemwatchd_port_messages_received_total{port=\"GSM1\"} 2\n"
                             "modemwatchd_port_messages_sent_total{port=\"GSM2\"} 0\n"
                             "modemwatchd_port_send_failures_total{port=\"GSM2\"} 4\n"
                             "modemwatchd_port_messages_received_total{port=\"GSM2\"} 0\n";
    const std::string rejected = fine + "modemwatchd_port_problem{port=\"GSM2\",cause=\"rejected\"} 1\n"
                                        "modemwatchd_port_last_failure_info{port=\"GSM2\",words=\"+CMS ERROR: 38 "
                                        "(Network out of order)\"} 1\n";
    const std::string still = with(fine, "modemwatchd_smsd_responding 1", "modemwatchd_smsd_responding 0");
    const std::string summary = "2 modems, 2 receiving, 0 blocked, last pass 5 s ago";
    const std::vector<std::tuple<std::string, std::string, int, std::string>> cases = {
        {fine, "check --max-wait 1800", 0, "MODEMWATCHD OK - " + summary},
        {fine, "check", 2, "MODEMWATCHD CRITICAL - 3 messages waiting, the oldest 23 min; " + summary},
        {rejected, "check --max-wait 1800", 2,
         "MODEMWATCHD CRITICAL - GSM2 (gsmmodem-1-1.3) messages rejected (+CMS ERROR: 38 (Network out of order)); " +
             summary},
        {still, "check --max-wait 1800", 2, "MODEMWATCHD CRITICAL - smsd not responding; " + summary},
        {with(fine, "modemwatchd_messages_waiting_complete 1", "modemwatchd_messages_waiting_complete 0"), "check", 2,
         "MODEMWATCHD CRITICAL - 3 or more messages waiting, the oldest 23 min; "},
    };
    for (const auto& [text, args, status, start] : cases) {
        const Outcome run = ctl(text, args);
        EXPECT_EQ(run.status, status) << args << ": " << run.out;
        EXPECT_EQ(run.out.substr(0, start.size()), start) << args;
    }
    const Outcome screen = ctl(rejected, "status");
    EXPECT_NE(screen.out.find("PORT  SENT  FAILED  RECEIVED  PROBLEM\n"
                              "GSM1  7     0       2         -\n"
                              "GSM2  0     4       0         messages rejected (+CMS ERROR: 38 (Network out of order))\n"),
              std::string::npos)
        << screen.out;
    EXPECT_NE(screen.out.find("\n3 messages waiting, the oldest 23 min\n"), std::string::npos) << screen.out;
    const Outcome json = ctl(rejected, "status --json");
    EXPECT_TRUE(validJson(json.out)) << json.out;
    EXPECT_NE(json.out.find("\"sent\":0,\"send_failures\":4,\"received\":0,\"last_sent_time\":null,"
                            "\"last_received_time\":null,\"problem\":\"rejected\",\"last_failure\":\"+CMS ERROR: 38 "
                            "(Network out of order)\"}"),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"messages_waiting\":3,\"messages_waiting_complete\":true,"
                            "\"oldest_message_waiting_seconds\":1380.000,\"smsd_responding\":true"),
              std::string::npos)
        << json.out;
}

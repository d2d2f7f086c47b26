// Soak run: the real daemon through thousands of SIGHUP-driven passes while modems come and go
// and smsd's status file changes underneath it. Fails on a leak, a memory error (under
// valgrind), descriptors or resident memory that grow after the first 100 passes, or a reader
// of the published state that ever finds it half written.
//   soak [--passes N] [--valgrind]
#include "sandbox/daemon_run.hpp"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

int openDescriptors(pid_t pid)
{
    int count = 0;
    if (DIR* fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (const dirent* entry = readdir(fds)) {
            count += entry->d_name[0] != '.';
        }
        closedir(fds);
    }
    return count;
}

// The box changes a little before most passes: modems plugged and unplugged, ports blocked
// and freed, the status file gone, or full of garbage.
void changeTheBox(const Box& box, int pass, std::mt19937& random)
{
    const std::string modem = "gsmmodem" + std::to_string(random() % 6);
    switch (pass % 6) {
    case 0:
        box.plug(modem);
        break;
    case 1:
        box.unplug(modem);
        break;
    case 2: {
        std::string status;
        for (int port = 1; port <= 5; ++port) {
            status += "GSM" + std::to_string(port) + ":\t12-07 06:37:09,\t" +
                      (random() % 4 == 0 ? "Blocked" : "Receiving") + ",\t0,\t0,\t0\n";
        }
        box.writeStatus(status);
        break;
    }
    case 3:
        if (pass % 4 == 3) {
            unlink(box.hostPath("/var/spool/sms/stats/status").c_str());
        }
        break;
    case 4:
        if (pass % 10 == 4) {
            std::string garbage(4096, '\0');
            for (char& c : garbage) {
                c = static_cast<char>(random());
            }
            box.writeStatus(garbage);
        }
        break;
    default:
        break;  // a quiet pass now and then
    }
}

// Reads the published state over and over while the passes run; counts the reads that did not
// find a whole file (each one starts with the version and ends with the restart counters).
struct Reader {
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    std::atomic<long> partial{0};
    std::string example;

    void run(const std::string& path)
    {
        while (!stop) {
            // A breath between reads, so the reader does not starve the daemon of the CPU.
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            const std::string text = readFile(path);
            if (text.empty()) {
                continue;  // not published yet
            }
            ++reads;
            const bool whole = text.rfind("# HELP modemwatchd_build_info ", 0) == 0 &&
                               text.find("\nmodemwatchd_smsd_restarts_total{cause=\"blocked_count_changed\"} ") !=
                                   std::string::npos &&
                               text.back() == '\n';
            if (!whole && partial++ == 0) {
                example = text;
            }
        }
    }
};

} // namespace

int main(int argc, char** argv)
{
    int passes = 5000;
    bool under_valgrind = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--passes") == 0 && i + 1 < argc) {
            passes = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--valgrind") == 0) {
            under_valgrind = true;
        }
    }

    Box box;
    box.plug("gsmmodem1");
    const std::string valgrind_log = box.root() + "/run/valgrind.log";
    DaemonOptions options;
    if (under_valgrind) {
        options.prefix = {"valgrind", "--leak-check=full", "--show-leak-kinds=all",
                          "--errors-for-leak-kinds=definite,indirect,possible", "--error-exitcode=99",
                          "--track-fds=yes", "--log-file=" + valgrind_log};
    }
    Daemon daemon(box, options);
    std::mt19937 random(5000);
    Reader reader;
    std::thread reading([&] { reader.run(box.hostPath("/run/modemwatchd/modemwatchd.prom")); });
    int fds_at_100 = 0;
    long rss_at_100 = 0;
    for (int pass = 1; pass <= passes; ++pass) {
        changeTheBox(box, pass, random);
        if (!daemon.pass()) {
            std::fprintf(stderr, "soak: pass %d did not finish\n", pass);
            return 1;
        }
        if (pass == 100) {
            fds_at_100 = openDescriptors(daemon.pid());
            rss_at_100 = procKb(daemon.pid(), "VmRSS:");
        }
    }
    const int fds_at_end = openDescriptors(daemon.pid());
    const long rss_at_end = procKb(daemon.pid(), "VmRSS:");
    const size_t restarts = box.serviceCalls().size() / 2;
    const int status = daemon.stop();
    reader.stop = true;
    reading.join();

    std::printf("passes: %d (smstools restarted %zu times)%s\n", passes, restarts,
                under_valgrind ? ", under valgrind memcheck" : "");
    std::printf("open descriptors after pass 100: %d, at the end: %d\n", fds_at_100, fds_at_end);
    std::printf("resident memory after pass 100: %ld kB, at the end: %ld kB\n", rss_at_100, rss_at_end);
    std::printf("exit status after SIGINT: %d\n", status);
    std::printf("reads of the published state during the passes: %ld, partial: %ld\n", reader.reads.load(),
                reader.partial.load());
    if (reader.partial > 0) {
        std::printf("a partial read:\n%s\n", reader.example.c_str());
    }
    if (under_valgrind) {
        std::stringstream report(readFile(valgrind_log));
        for (std::string line; std::getline(report, line);) {
            for (const char* key : {"in use at exit", "total heap usage", "All heap blocks", "definitely lost",
                                    "indirectly lost", "possibly lost", "still reachable", "ERROR SUMMARY",
                                    "FILE DESCRIPTORS"}) {
                if (line.find(key) != std::string::npos) {
                    std::printf("valgrind: %s\n", line.substr(line.find(' ') + 1).c_str());
                }
            }
        }
    }
    // Under valgrind resident memory is mostly valgrind's own, growing with the code it has
    // translated; the native run holds the daemon's memory to account.
    const bool memory_ok = under_valgrind || rss_at_end <= rss_at_100;
    const bool ok = status == 0 && fds_at_end == fds_at_100 && memory_ok && passes >= 100 && reader.partial == 0 &&
                    reader.reads > 0;
    std::printf("%s\n", ok ? "soak: passed" : "soak: FAILED");
    return ok ? 0 : 1;
}

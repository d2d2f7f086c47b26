// The published state as Prometheus sees it: Debian's node exporter, left at its defaults, run in
// the box beside the daemon and scraped over HTTP on a loopback port.
#include "sandbox/daemon_run.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cmath>
#include <map>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char kExporter[] = "/usr/bin/prometheus-node-exporter";

// A loopback port nobody listens on right now.
int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// GET /metrics; empty when nothing answers.
std::string scrape(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET /metrics HTTP/1.0\r\nHost: localhost\r\n\r\n";
        if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buffer[65536];
            ssize_t got;
            while ((got = read(fd, buffer, sizeof buffer)) > 0) {
                response.append(buffer, static_cast<size_t>(got));
            }
        }
    }
    close(fd);
    const size_t body = response.find("\r\n\r\n");
    return response.rfind("HTTP/1.", 0) == 0 && body != std::string::npos ? response.substr(body + 4) : "";
}

// The modemwatchd series of an exposition text: "name{labels}" -> value, labels sorted by
// name and empty ones dropped, as Prometheus stores them.
std::map<std::string, double> series(const std::string& text)
{
    std::map<std::string, double> found;
    std::stringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("modemwatchd_", 0) != 0) {
            continue;
        }
        const size_t space = line.rfind(' ');
        std::string name = line.substr(0, space);
        const size_t brace = name.find('{');
        if (brace != std::string::npos) {
            std::map<std::string, std::string> labels;
            std::stringstream pairs(name.substr(brace + 1, name.size() - brace - 2));
            for (std::string pair; std::getline(pairs, pair, ',');) {
                const size_t equals = pair.find('=');
                if (pair.substr(equals + 1) != "\"\"") {
                    labels[pair.substr(0, equals)] = pair.substr(equals + 1);
                }
            }
            name.erase(brace);
            const char* separator = "{";
            for (const auto& [key, value] : labels) {
                name += separator + key + "=" + value;
                separator = ",";
            }
            name += labels.empty() ? "" : "}";
        }
        found[name] = std::stod(line.substr(space + 1));
    }
    return found;
}

// Every published series, with its value, in what the exporter served.
void expectServed(const std::map<std::string, double>& published, const std::map<std::string, double>& served)
{
    ASSERT_FALSE(published.empty());
    for (const auto& [name, value] : published) {
        const auto at = served.find(name);
        ASSERT_NE(at, served.end()) << name << " is not served";
        EXPECT_LE(std::fabs(at->second - value), 1e-6 * std::max(1.0, std::fabs(value))) << name;
    }
}

} // namespace

TEST(NodeExporter, ServesEveryPublishedFamilyWithTheBoxsValues)
{
    ASSERT_EQ(access(kExporter, X_OK), 0) << kExporter << " is missing: install prometheus-node-exporter";
    Box box;
    box.plug("gsmmodem1");
    box.plug("gsmmodem2");
    const std::string status = "GSM1:\t12-07 06:37:09,\tReceiving,\t0\nGSM2:\t12-07 06:37:09,\tBlocked,\t0\n";
    box.writeStatus(status);
    box.statusOnStart(status);  // the restarted smsd reports the same
    // The link the package installs into the exporter's default textfile directory, and only
    // that: the exporter runs with none of its options but the address.
    std::stringstream links(readFile(PROJECT_SOURCE_DIR "/debian/modemwatchd.links"));
    std::string target;
    std::string link;
    ASSERT_TRUE(links >> target >> link) << "debian/modemwatchd.links names no link";
    ASSERT_EQ(box.inside([&] {
        const std::string directory = "/" + link.substr(0, link.rfind('/'));
        return system(("mkdir -p " + directory + " && ln -s /" + target + " /" + link).c_str());
    }),
              0);
    Daemon daemon(box);
    ASSERT_TRUE(daemon.pass());
    ASSERT_TRUE(daemon.pass());

    const int port = freePort();
    box.spawn({kExporter, "--web.listen-address=127.0.0.1:" + std::to_string(port)},
              {{}, box.root() + "/run/exporter.out", box.root() + "/run/exporter.err"});
    std::string text;
    ASSERT_TRUE(waitUntil([&] { return !(text = scrape(port)).empty(); }, 20000))
        << "the exporter did not answer: " << readFile(box.root() + "/run/exporter.err");
    EXPECT_NE(text.find("\nnode_textfile_scrape_error 0\n"), std::string::npos) << "the exporter rejected the file";
    const std::string published = readFile(box.hostPath("/run/modemwatchd/modemwatchd.prom"));
    std::stringstream lines(published);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("# TYPE ", 0) == 0) {
            EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << "family not served: " << line;
        }
    }
    expectServed(series(published), series(text));
    const std::map<std::string, double> served = series(text);
    EXPECT_EQ(served.at("modemwatchd_modems_present"), 2);
    EXPECT_EQ(served.at("modemwatchd_ports_blocked"), 1);
    EXPECT_EQ(served.at("modemwatchd_passes_total"), 3);

    EXPECT_EQ(daemon.stop(), 0);
    const std::map<std::string, double> stopped = series(scrape(port));
    EXPECT_EQ(stopped.at("modemwatchd_up"), 0) << "a daemon stopped in order does not look alive";
    EXPECT_EQ(stopped.count("modemwatchd_modems_present"), 0U);
}

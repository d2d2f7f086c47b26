// Whether each port's modem still answers smsd, told by what smsd writes: its log says when a
// modem stops answering, a port's run log when it answers again.
#pragma once

#include "health/port_cause.hpp"
#include "smstools/run_logs.hpp"
#include "smstools/smsd_log.hpp"

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct PortHealth {
    bool answering = true;  // until smsd says otherwise
    // smsd's printed times of its first and latest word that the modem does not answer: for
    // people, and to order a word and an answer read in the same pass.
    std::time_t not_answering_since = 0;
    std::time_t last_not_answering = 0;
    // When (CLOCK_BOOTTIME) the pass that read smsd's latest such word ran.
    double last_not_answering_read = 0;
    // The latest answer its run log shows, and when the pass that first read it ran. Events are
    // ordered by the pass that read them, not by smsd's printed times, which have no zone and
    // jump back an hour when summer time ends.
    std::optional<RunLogAnswer> last_answer;
    double answer_read = -1;
    // What moved through the port since the daemon started, by smsd's log, and smsd's printed
    // times of the last message sent and received.
    long sent = 0;
    long send_failures = 0;
    long received = 0;
    std::time_t last_sent = 0;
    std::time_t last_received = 0;
    // The modem's words on the last send that failed ("+CMS ERROR: 38 (Network out of order)"),
    // or smsd's on an initialisation refused for the SIM ("SIM PIN required").
    std::string last_failure;
    // A refusal that is not the modem's fault (sim, network, rejected, storage_full), current until
    // the port sends or receives again, and since when (CLOCK_BOOTTIME of the pass that read it).
    PortCause refusal = PortCause::none;
    double refusal_since = 0;
    std::string refusal_pending;  // the words of a refusal whose send smsd retries
};

// By /dev name: ports are renumbered when the modems present change, the modems are not.
using PortHealths = std::map<std::string, PortHealth>;

// Judges the ports of the configuration in force (`devices`: port n's /dev name in
// devices[n - 1]) by what smsd said since the last pass (`said`, its log's new lines) and each
// port's run log's last answer (`answers[n - 1]`), read by the pass that runs at `now`
// (CLOCK_BOOTTIME). A modem does not answer from the first line meaning so ("Modem is not ready
// to answer commands" and the like) until smsd's log says it answered smsd's start after that
// line, or its run log shows an answer read by a later pass (or by the same one, printed after
// smsd's latest word). Messages sent, failed and received are counted from smsd's words on them;
// a failed send's refusal, or an initialisation refused for the SIM or the network, is the
// port's refusal until it sends or receives again. A device leaving the configuration is
// forgotten; one that stays keeps its state across restarts and renumbering.
void judgePorts(const std::vector<std::string>& devices, const std::vector<SmsdLogLine>& said,
                const std::vector<std::optional<RunLogAnswer>>& answers, double now, PortHealths& health);

// The state of the modem at `device`: answering while nothing says otherwise.
PortHealth portHealth(const PortHealths& health, const std::string& device);

// Why the port does not move messages now: its refusal, else not_answering while its modem
// does not answer, else none.
PortCause portCause(const PortHealth& health);

// Whether a line of smsd's, about one port, says that the port's modem does not answer.
bool saysNotAnswering(const std::string& text);

// Whether it says that the modem answered smsd's start ("IMEI: ...", "IMSI: ...").
bool saysAnswered(const std::string& text);

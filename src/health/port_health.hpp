// Whether each port's modem still answers smsd, told by what smsd writes: its log says when a
// modem stops answering, a port's run log when it answers again.
#pragma once

#include "smstools/smsd_log.hpp"

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct PortHealth {
    bool answering = true;            // until smsd says otherwise
    std::time_t not_answering_since = 0;
    std::time_t last_not_answering = 0;  // smsd's latest word that it does not answer
};

// By /dev name: ports are renumbered when the modems present change, the modems are not.
using PortHealths = std::map<std::string, PortHealth>;

// Judges the ports of the configuration in force (`devices`: port n's /dev name in
// devices[n - 1]) by what smsd said since the last pass (`said`, its log's new lines) and when
// each port's run log last shows an answer (`answered[n - 1]`). A modem does not answer from the
// first line meaning so ("Modem is not ready to answer commands" and the like) until its run log
// shows an answer written after that. A device leaving the configuration is forgotten; one that
// stays keeps its state across restarts and renumbering.
void judgePorts(const std::vector<std::string>& devices, const std::vector<SmsdLogLine>& said,
                const std::vector<std::optional<std::time_t>>& answered, PortHealths& health);

// The state of the modem at `device`: answering while nothing says otherwise.
PortHealth portHealth(const PortHealths& health, const std::string& device);

// Whether a line of smsd's, about one port, says that the port's modem does not answer.
bool saysNotAnswering(const std::string& text);

// Whether each port's modem still answers smsd, told by what smsd writes: its log says when a
// modem stops answering, a port's run log when it answers again.
#pragma once

#include <ctime>
#include <string>
#include <vector>

struct PortHealth {
    bool answering = true;            // until smsd says otherwise
    std::time_t not_answering_since = 0;
    std::time_t last_not_answering = 0;  // smsd's latest word that it does not answer
};

// Reads what smsd said since the last pass about the ports of the configuration in force
// (`devices`: port n's /dev name in devices[n - 1]) and keeps, for each device, whether its
// modem answers: not since the first line meaning it does not ("Modem is not ready to answer
// commands" and the like), answering again once its run log shows an answer written after that.
// A device leaving the configuration is forgotten; one that stays keeps its state across
// restarts and renumbering.
void judgePorts(const std::vector<std::string>& devices);

// The state of the modem at `device`: answering while nothing says otherwise.
PortHealth portHealth(const std::string& device);

// Whether a line of smsd's, about one port, says that the port's modem does not answer.
bool saysNotAnswering(const std::string& text);

// Called as smsd is restarted: what it said before is no word on the ports of the configuration
// after it. The modems' states stay until smsd shows otherwise.
void smsdRestarted();

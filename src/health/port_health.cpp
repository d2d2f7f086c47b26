// Whether each port's modem still answers smsd, told by what smsd writes.
#include "health/port_health.hpp"

bool saysNotAnswering(const std::string& text)
{
    // What smsd 3.1 writes when a modem goes silent: timeouts piling up while it runs, no answer
    // to the initialisation at a start, writes failing when the device has gone.
    static const char* const kPhrases[] = {"Modem is not ready to answer commands", "Modem did not accept the",
                                           "write_to_modem: error"};
    for (const char* phrase : kPhrases) {
        if (text.find(phrase) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void judgePorts(const std::vector<std::string>& devices, const std::vector<SmsdLogLine>& said,
                const std::vector<std::optional<std::time_t>>& answered, PortHealths& health)
{
    PortHealths kept;
    for (const std::string& device : devices) {
        const auto known = health.find(device);
        if (!device.empty() && known != health.end()) {
            kept[device] = known->second;
        }
    }
    health = std::move(kept);
    for (const SmsdLogLine& line : said) {
        if (line.port < 1 || static_cast<size_t>(line.port) > devices.size() || devices[line.port - 1].empty() ||
            !saysNotAnswering(line.text)) {
            continue;
        }
        PortHealth& port = health[devices[line.port - 1]];
        if (port.answering) {
            port.answering = false;
            port.not_answering_since = line.time;
        }
        port.last_not_answering = line.time;
    }
    for (size_t k = 0; k < devices.size() && k < answered.size(); ++k) {
        const auto found = health.find(devices[k]);
        if (found != health.end() && !found->second.answering && answered[k] &&
            *answered[k] > found->second.not_answering_since) {
            found->second = PortHealth{};
        }
    }
}

PortHealth portHealth(const PortHealths& health, const std::string& device)
{
    const auto found = health.find(device);
    return found == health.end() ? PortHealth{} : found->second;
}

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

bool saysAnswered(const std::string& text)
{
    // What smsd 3.1 writes once a modem has answered its start: the modem's and the SIM's numbers.
    return text.rfind("IMEI: ", 0) == 0 || text.rfind("IMSI: ", 0) == 0;
}

void judgePorts(const std::vector<std::string>& devices, const std::vector<SmsdLogLine>& said,
                const std::vector<std::optional<RunLogAnswer>>& answers, double now, PortHealths& health)
{
    PortHealths kept;
    std::vector<bool> answered_now(devices.size());
    for (size_t k = 0; k < devices.size(); ++k) {
        const std::string& device = devices[k];
        if (device.empty()) {
            continue;
        }
        const auto known = health.find(device);
        PortHealth& port = kept[device] = known == health.end() ? PortHealth{} : known->second;
        const std::optional<RunLogAnswer> answer = k < answers.size() ? answers[k] : std::nullopt;
        if (answer && (!port.last_answer || *port.last_answer != *answer)) {
            port.last_answer = answer;
            port.answer_read = now;
            answered_now[k] = true;
        }
    }
    health = std::move(kept);
    // smsd's log in the order it was written: a modem answering its start after a word that it
    // did not answer is answering again.
    for (const SmsdLogLine& line : said) {
        if (line.port < 1 || static_cast<size_t>(line.port) > devices.size() || devices[line.port - 1].empty()) {
            continue;
        }
        PortHealth& port = health[devices[line.port - 1]];
        if (saysNotAnswering(line.text)) {
            if (port.answering) {
                port.answering = false;
                port.not_answering_since = line.time;
            }
            port.last_not_answering = line.time;
            port.last_not_answering_read = now;
        } else if (saysAnswered(line.text)) {
            port.answer_read = now;
            port.answering = true;
            port.not_answering_since = port.last_not_answering = 0;
        }
    }
    for (size_t k = 0; k < devices.size(); ++k) {
        const auto found = health.find(devices[k]);
        if (!answered_now[k] || found == health.end() || found->second.answering) {
            continue;
        }
        PortHealth& port = found->second;
        if (port.last_not_answering_read < now || port.last_answer->time > port.last_not_answering) {
            port.answering = true;
            port.not_answering_since = port.last_not_answering = 0;
        }
    }
}

PortHealth portHealth(const PortHealths& health, const std::string& device)
{
    const auto found = health.find(device);
    return found == health.end() ? PortHealth{} : found->second;
}

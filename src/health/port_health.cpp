// Whether each port's modem still answers smsd, told by what smsd writes.
#include "health/port_health.hpp"

namespace {

bool startsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// smsd 3.1 appends its explanation of the modem's code to a refused initialisation: "Modem did
// not accept the second init string, SIM not inserted". Empty when it names none.
std::string initRefusalExplanation(const std::string& text)
{
    constexpr char kRefused[] = "Modem did not accept the ";
    constexpr char kAfter[] = " init string, ";
    const size_t after = text.find(kAfter);
    return startsWith(text, kRefused) && after != std::string::npos ? text.substr(after + sizeof kAfter - 1)
                                                                     : std::string();
}

void refuse(PortHealth& port, PortCause cause, std::string words, double now)
{
    if (port.refusal != cause) {
        port.refusal = cause;
        port.refusal_since = now;
    }
    port.last_failure = std::move(words);
}

// What smsd 3.1 writes at loglevel 5 about a port's messages (seen running Debian's smsd against
// simulated modems): "SMS sent, Message_id: 17, To: ...", "SMS received, From: ...", "The modem
// answer was not OK: +CMS ERROR: 38 (Network out of order)" before each retry, and "Sending SMS to
// ... failed, trying time 8 sec. Retries: 2." when it gives the message up. True when `line` was one.
bool countMessage(const SmsdLogLine& line, double now, PortHealth& port)
{
    const std::string& text = line.text;
    constexpr char kNotOk[] = "The modem answer was not OK: ";
    if (startsWith(text, "SMS sent")) {
        ++port.sent;
        port.last_sent = line.time;
    } else if (startsWith(text, "SMS received")) {
        ++port.received;
        port.last_received = line.time;
    } else if (startsWith(text, kNotOk)) {
        port.refusal_pending = text.substr(sizeof kNotOk - 1);
        return true;
    } else if (startsWith(text, "Sending SMS to ") && text.find(" failed") != std::string::npos) {
        ++port.send_failures;
        if (!port.refusal_pending.empty()) {
            refuse(port, causeOfRefusal(port.refusal_pending), port.refusal_pending, now);
        }
        port.refusal_pending.clear();
        return true;
    } else {
        return false;
    }
    port.refusal = PortCause::none;
    port.refusal_pending.clear();
    return true;
}

} // namespace

PortCause portCause(const PortHealth& health)
{
    if (health.refusal != PortCause::none) {
        return health.refusal;
    }
    return health.answering ? PortCause::none : PortCause::not_answering;
}

bool saysNotAnswering(const std::string& text)
{
    // A refused initialisation that smsd explains by the SIM or the network is no silent modem.
    if (causeOfExplanation(initRefusalExplanation(text)) != PortCause::none) {
        return false;
    }
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
        if (countMessage(line, now, port)) {
            continue;
        }
        const std::string explanation = initRefusalExplanation(line.text);
        if (const PortCause cause = causeOfExplanation(explanation); cause != PortCause::none) {
            refuse(port, cause, explanation, now);
        } else if (saysNotAnswering(line.text)) {
            // The newest word is that the modem is silent: whatever it refused before is not why.
            port.refusal = PortCause::none;
            if (port.answering) {
                port.answering = false;
                port.not_answering_since = line.time;
            }
            port.last_not_answering = line.time;
            port.last_not_answering_read = now;
        } else if (saysAnswered(line.text)) {
            // The SIM gave its number: a SIM fault, if there was one, is over.
            if (port.refusal == PortCause::sim) {
                port.refusal = PortCause::none;
            }
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

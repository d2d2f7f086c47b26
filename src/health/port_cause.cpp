// Why a port does not move messages, told from the words smsd logs about it.
#include "health/port_cause.hpp"

#include <cstdlib>
#include <string>

const char* portCauseName(PortCause cause)
{
    switch (cause) {
    case PortCause::not_answering: return "not_answering";
    case PortCause::sim: return "sim";
    case PortCause::network: return "network";
    case PortCause::rejected: return "rejected";
    case PortCause::storage_full: return "storage_full";
    case PortCause::none: break;
    }
    return "";
}

namespace {

// The number after `prefix` in `words`, -1 when there is none.
long codeAfter(std::string_view words, std::string_view prefix)
{
    const size_t at = words.find(prefix);
    if (at == std::string_view::npos) {
        return -1;
    }
    const std::string digits(words.substr(at + prefix.size(), 6));
    char* end = nullptr;
    const long code = std::strtol(digits.c_str(), &end, 10);
    return end != digits.c_str() && code >= 0 ? code : -1;
}

// Message service failures, 3GPP TS 27.005 section 3.2.5 ("+CMS ERROR"). 0-255 are the network's
// own refusals (TS 24.011 RP causes, TS 23.040 TP failure causes): barring, no credit, an unknown
// number; 330 is an unknown service centre address. All of those are `rejected`.
PortCause causeOfCms(long code)
{
    if (code >= 310 && code <= 318) {  // SIM not inserted, PIN, PH-SIM PIN, failure, busy, wrong, PUK, PIN2, PUK2
        return PortCause::sim;
    }
    if (code == 322) {  // memory full
        return PortCause::storage_full;
    }
    if (code == 331 || code == 332) {  // no network service, network timeout
        return PortCause::network;
    }
    return PortCause::rejected;
}

// Mobile equipment errors, 3GPP TS 27.007 section 9.2 ("+CME ERROR").
PortCause causeOfCme(long code)
{
    if (code == 5 || (code >= 10 && code <= 18)) {  // PH-SIM PIN; SIM not inserted ... SIM PUK2 required
        return PortCause::sim;
    }
    if (code == 20) {  // memory full
        return PortCause::storage_full;
    }
    if (code >= 30 && code <= 32) {  // no network service, network timeout, emergency calls only
        return PortCause::network;
    }
    return PortCause::rejected;
}

} // namespace

PortCause causeOfRefusal(std::string_view words)
{
    if (const long code = codeAfter(words, "+CMS ERROR:"); code >= 0) {
        return causeOfCms(code);
    }
    if (const long code = codeAfter(words, "+CME ERROR:"); code >= 0) {
        return causeOfCme(code);
    }
    return PortCause::rejected;
}

PortCause causeOfExplanation(std::string_view explanation)
{
    // smsd's explanations of the codes above, as smsd 3.1 writes them: "SIM not inserted", "SIM PIN
    // required", "SIM failure", "(U)SIM PIN required", "No network service", "Memory full".
    if (explanation.find("SIM") != std::string_view::npos || explanation.find("PIN") != std::string_view::npos ||
        explanation.find("PUK") != std::string_view::npos) {
        return PortCause::sim;
    }
    if (explanation.find("etwork") != std::string_view::npos) {
        return PortCause::network;
    }
    if (explanation.find("emory full") != std::string_view::npos) {
        return PortCause::storage_full;
    }
    return PortCause::none;
}

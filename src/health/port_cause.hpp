// Why a port does not move messages, told from the words smsd logs about it.
#pragma once

#include <string_view>

// A modem that does not answer is healed through its USB device; a SIM, the network or a full
// message store is not the modem's fault, and no USB step mends it.
enum class PortCause { none, not_answering, sim, network, rejected, storage_full };
constexpr int kPortCauseCount = 6;

// "not_answering", "sim", ...; "" for none.
const char* portCauseName(PortCause cause);

// The cause of a modem's refusal as smsd logs it: "+CMS ERROR: 38 (Network out of order)",
// "+CME ERROR: 10 (SIM not inserted)", or a bare "ERROR". A refusal whose code is not in the table
// is `rejected`: the modem answered, and someone refused the message.
PortCause causeOfRefusal(std::string_view words);

// The cause smsd's own explanation names, as it appends one to a refused initialisation
// ("SIM PIN required", "No network service"); none when it names none of ours.
PortCause causeOfExplanation(std::string_view explanation);

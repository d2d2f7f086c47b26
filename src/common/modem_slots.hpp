// The modem slot table: slot k holds the /dev name of the modem that serves port GSM(k+1).
#pragma once

#include <array>
#include <string>

constexpr int kModemSlotCount = 30;

// An empty string is an empty slot: a /dev entry never has an empty name.
using ModemSlots = std::array<std::string, kModemSlotCount>;

inline void clearSlots(ModemSlots& slots)
{
    for (std::string& name : slots) {
        std::string().swap(name);
    }
}

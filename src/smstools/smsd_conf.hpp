// Generating /etc/smsd.conf: one section per modem present, everything else fixed.
#pragma once

#include "common/modem_slots.hpp"

#include <string>

// The whole configuration for the first `count` modems of `slots`.
std::string smsdConfText(const ModemSlots& slots, int count);

// Replaces /etc/smsd.conf with smsdConfText(slots, count). Called while smsd is stopped.
void createsmsd(const ModemSlots& slots, int count);

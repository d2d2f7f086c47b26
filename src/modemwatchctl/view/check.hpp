// `modemwatchctl check`: the published state judged the monitoring-plugins way.
#pragma once

#include "modemwatchctl/view/published_state.hpp"

#include <optional>
#include <string>

enum PluginStatus { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };

struct CheckLimits {
    double max_age = -1;  // seconds without a pass before CRITICAL; -1: three pass periods
    int blocked = 1;      // blocked ports from which on it is a WARNING
    double max_wait = 600;  // seconds the oldest message may wait before CRITICAL
};

struct CheckResult {
    PluginStatus status = kOk;
    std::string line;  // "MODEMWATCHD OK - ... | perfdata"
};

// The verdict on `state` at time `now`; a state that could not be read (nothing, with
// `error`) is UNKNOWN.
CheckResult checkState(const std::optional<PublishedState>& state, const std::string& error, const Now& now,
                       const CheckLimits& limits);

// Publishing the daemon's state in the Prometheus text format, for the node exporter and
// modemwatchctl.
#pragma once

#include "metrics/daemon_state.hpp"

#include <string>

// The state as exposition text: HELP and TYPE for each family, labels escaped. Once the
// daemon has stopped, only what stays true of it (version, up 0, counters, times) is given.
std::string metricsText(const DaemonState& state);

// Replaces /run/modemwatchd/modemwatchd.prom with metricsText(state): written aside and
// renamed, so a reader never sees half a file. The directory is made when missing. 0, or the
// errno of what failed.
int publishDaemonState(const DaemonState& state);

// A label value with \, " and newline escaped as the format asks.
std::string escapeLabelValue(const std::string& value);

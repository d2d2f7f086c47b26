// `modemwatchctl status`: the published state as a screen a person takes in at a glance, or
// as one JSON object for scripts.
#pragma once

#include "modemwatchctl/probe/modem_modes.hpp"
#include "modemwatchctl/view/published_state.hpp"

#include <string>
#include <vector>

// The table: the daemon's state first, then one row per port, then the counts and restarts.
// `now` is the time the ages are measured from; `colour` marks states for a terminal. Text from
// the file is shown with control bytes escaped. `storage`: the USB modems of the box in storage
// mode now, each named with the port it was where the port bears its USB path.
std::string statusTable(const PublishedState& state, const Now& now, bool colour,
                        const std::vector<ModemWithoutAt>& storage);

// The same as one JSON object, ended by a newline.
std::string statusJson(const PublishedState& state, const Now& now, const std::vector<ModemWithoutAt>& storage);

// What a port's problem means to a person, with the modem's words where there are any:
// "messages rejected (+CMS ERROR: 38 (Network out of order))"; empty for none.
std::string problemText(const PublishedPort& port);

// "3 messages waiting, the oldest 23 min"; "" when the state has no count.
std::string waitingText(const PublishedState& state);

// "12 s", "5 min", "3 h", "2 d": how long `seconds` is, rounded down.
std::string ageText(double seconds);

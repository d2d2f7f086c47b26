// `modemwatchctl wake`: asks the running daemon for a pass soon, one wake-up per burst of calls.
#pragma once

#include <string>

// Calls less than this far apart are one burst: its wake-up goes out this long after its last
// call. A hub with four modems gives a dozen udev events over two or three seconds, each
// smsd restart stops every modem, and the daemon answers a SIGHUP that comes during a pass
// with one more pass.
constexpr int kWakeWindowMilliseconds = 700;

// Stamps this call and schedules its delivery a window later: through a transient systemd
// timer where systemd runs (udev kills whatever a RUN program leaves behind), else in a child
// of its own session. Returns at once: 0 when scheduled, 1 with a message on standard error when
// no daemon holds `pid_file` or the wake-up cannot be scheduled.
int requestWake(const std::string& pid_file);

// The scheduled half: SIGHUP to the daemon holding `pid_file`, unless a later call has been
// stamped since `call` (its delivery will come). 0 when signalled or left to a later call.
int deliverWake(long long call, const std::string& pid_file);

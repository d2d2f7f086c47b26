// One supervision pass: measure, decide, and restart smstools when it is out of line.
#pragma once

// Runs once per main-loop iteration. Restarts smstools with a fresh configuration on the
// first pass, and later when the configured and present port counts differ or the
// blocked count has changed since the last restart. False when /dev cannot be listed: the
// box cannot be supervised, and the daemon is to end.
bool checkmodemstatus();

// The published state's start: the daemon runs, passes `pass_interval` seconds apart.
void supervisionStarted(int pass_interval);

// Publishes that the daemon has stopped in order, so its state says so rather than going stale.
void supervisionStopped();

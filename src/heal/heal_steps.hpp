// Running a step of healing on a modem's USB device, between smstools' stop and its start.
#pragma once

#include "heal/heal.hpp"

// Puts the target's USB device through its step, through the helper's own unit where systemd
// runs (the daemon's unit may neither write /sys nor open USB device nodes), else as a child;
// the helper is given kHealLimits.step_seconds and its unit is stopped when it takes longer.
// Then waits for the gsmmodem link to go and come back, also after a failed step that made the
// kernel enumerate the device anew, and longer once the modem's USB path holds it in storage mode:
// back as a modem after its switch, the step is done; still in storage mode, its outcome is
// mode_switch, with a LOG_WARNING. Writes the step's lines to the activity log and a LOG_WARNING
// as it starts.
HealOutcome healPort(const HealTarget& target);

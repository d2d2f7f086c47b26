// Whether smsd runs, told by the pid file it writes at its start.
#pragma once

#include <ctime>

struct SmsdProcess {
    bool running = false;
    struct timespec started {};  // when it wrote its pid file: anything it wrote before is not its
};

// Looks at smsd's pid file where Debian's smstools puts it (/run/smstools/smsd.pid, given by its
// init script) and where smsd itself does without one (/run/smsd.pid): smsd runs when one names
// a live process. A kill(pid, 0) that is refused still proves the process there; the unit's
// /proc hides smsd's processes, so its name is not read.
SmsdProcess findSmsd();

// Whether smsd runs, told by the pid file it writes at its start and by the process it names.
#pragma once

#include <ctime>
#include <sys/types.h>

struct SmsdProcess {
    bool running = false;
    struct timespec started {};  // when it wrote its pid file: anything it wrote before is not its
};

// Looks at smsd's pid file where Debian's smstools puts it (/run/smstools/smsd.pid, given by its
// init script) and where smsd itself does without one (/run/smsd.pid): smsd runs when one names
// a live process that is smsd. smsd's user writes these files, so the number alone proves
// nothing: the process's executable must be smsd.
SmsdProcess findSmsd();

// Whether the process `pid` runs smsd: its executable is smsd in one of the system's program
// directories (an smsd replaced by an upgrade since it started included). Where the executable
// cannot be read (no right to trace the process), its command name must be smsd.
bool isSmsd(pid_t pid);

// The main smsd process (an smsd whose parent is none), 0 when no smsd runs.
pid_t findMainSmsd();

// Mends a pid file of smsd's that names no smsd (another process, none, or nothing), or anything
// at its path that is no regular file: smstools' init script, run as root, stops what the file
// names (SIGKILL after 15 s), and blocks on a FIFO there. Where smsd runs, the file is made to
// name it, so the script stops smsd and only smsd; else it is removed. Each mend is a
// LOG_WARNING saying what was found.
void mendSmsdPidFiles();

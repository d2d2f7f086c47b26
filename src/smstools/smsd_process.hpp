// Whether smsd runs, told by the pid file it writes at its start and by the process it names.
#pragma once

#include <ctime>
#include <sys/types.h>
#include <vector>

struct SmsdProcess {
    bool running = false;
    struct timespec started {};  // when it wrote its pid file: anything it wrote before is not its
};

// Looks at smsd's pid file where Debian's smstools puts it (/run/smstools/smsd.pid, given by its
// init script) and where smsd itself does without one (/run/smsd.pid): smsd runs when one names
// a live process that is smsd. smsd's user writes these files, so the number alone proves
// nothing: the process must be smsd.
SmsdProcess findSmsd();

// Whether the process `pid` is smsd, decided from what /proc shows without the right to trace
// it: where its executable can be read (a process of root's), that executable is smsd in one of
// the system's program directories (an smsd replaced by an upgrade since it started included);
// where it cannot (smsd runs as its own user), the process is called smsd and all its user ids
// are smsd's user, the owner of smsd's spool. Such a process is that user's own, so signalling
// it gives that user nothing it could not do itself.
bool isSmsd(pid_t pid);

// Every smsd process that runs now.
std::vector<pid_t> smsdProcesses();

// Removes a pid file of smsd's that names no smsd (another process, none, or nothing), or
// anything at its path that is no regular file or directory, before smstools' init script
// starts smsd: start-stop-daemon blocks on a FIFO there, and a pid left behind is believed by
// whoever reads it next. Returns what was removed and why.
struct PidFileRemoved {
    const char* path;
    const char* why;  // "the process it names is not smsd" and the like
};
std::vector<PidFileRemoved> mendSmsdPidFiles();

// Removes smsd's pid files that name one of `stopped`, smsd processes the daemon stopped: what
// smsd does on its way out, where its directory was hidden from it.
void forgetPidFilesOf(const std::vector<pid_t>& stopped);

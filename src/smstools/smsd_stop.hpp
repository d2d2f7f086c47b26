// Stopping smsd so that no file smsd's user can write decides what root signals.
#pragma once

#include <sys/types.h>
#include <vector>

// smstools' init script stops whatever pid its pid file names, with SIGKILL after 15 s, and
// smsd's user owns the directory of that file: it can put any pid there, at any moment up to
// the script's read. While this lives, that directory is swapped (one atomic rename, /run being
// root's) for an empty one of root's, so the script finds no pid and signals nothing; the
// daemon stops smsd itself first. The destructor swaps the directories back.
struct SmsdRunDirectoryHidden {
    SmsdRunDirectoryHidden();
    ~SmsdRunDirectoryHidden();
    SmsdRunDirectoryHidden(const SmsdRunDirectoryHidden&) = delete;
    SmsdRunDirectoryHidden& operator=(const SmsdRunDirectoryHidden&) = delete;

    int error = 0;         // errno of the step that failed: nothing is hidden then
    bool swapped = false;  // false also when there is no directory to hide
};

// How long smsd has to end after SIGTERM (as long as its init script gives it: a modem handler
// finishes the command under way), and after SIGKILL.
constexpr int kSmsdTermWaitMs = 15000;
constexpr int kSmsdKillWaitMs = 5000;

struct SmsdStopped {
    std::vector<pid_t> stopped;    // the smsd processes that were running and have ended
    std::vector<pid_t> survivors;  // those still there after SIGKILL (stuck in the kernel)
    std::vector<pid_t> killed;     // those that needed SIGKILL and ended
};

// Ends every smsd process: SIGTERM, then SIGKILL to those still there after `term_ms`. Each is
// signalled through a descriptor on the process itself, taken before its identity is checked,
// so a pid reused meanwhile is never signalled.
SmsdStopped stopSmsdProcesses(int term_ms = kSmsdTermWaitMs, int kill_ms = kSmsdKillWaitMs);


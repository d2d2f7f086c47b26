// Whether the box runs systemd: PID 1 makes /run/systemd/system a directory when it does (the
// test sd_booted() makes), and nothing else does.
#pragma once

#include <sys/stat.h>

inline bool systemdRuns()
{
    struct stat info {};
    return lstat("/run/systemd/system", &info) == 0 && S_ISDIR(info.st_mode);
}

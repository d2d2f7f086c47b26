// The syslog message for a file the daemon could not write.
#pragma once

#include <cstring>
#include <syslog.h>

// "Can not write PATH, error: TEXT" at LOG_ERR; `error` is the errno the write gave.
inline void reportWriteError(const char* path, int error)
{
    syslog(LOG_ERR, "Can not write %s, error: %s", path, std::strerror(error));
}

// Rewriting a small file in place, with a failure reported to syslog.
#pragma once

#include <string_view>

// Truncates or creates `path` (0644 when new; an existing file keeps its mode) and writes
// `text` into it. A failure to open, write or close sends one LOG_ERR message naming the
// path and the system's error text; the caller goes on either way.
void writeFileReportingErrors(const char* path, std::string_view text);

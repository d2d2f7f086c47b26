// Rewriting small files in place; failures are returned as errno values for the caller to report.
#pragma once

#include "common/unique_fd.hpp"

#include <string_view>
#include <sys/types.h>

// Writes all of `text` at `offset` of `fd`, resuming after a signal; false, with errno, when
// a write fails.
bool writeAllAt(int fd, std::string_view text, off_t offset);

// Truncates or creates `path` (0644 when new; an existing file keeps its mode) and writes
// `text` into it. 0, or the errno of the open, write or close that failed.
int writeWholeFile(const char* path, std::string_view text);

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

// A file opened for an in-place rewrite, with room for the new text taken beforehand.
struct InPlaceRewrite {
    unique_fd fd;  // not valid until writeInPlace when the file could not be opened
};

// Opens an existing `path` and reserves `size` bytes for it without changing what it holds.
// False, with errno, only when the file system has no room: the file is then untouched. A
// file system that cannot reserve at all is written as before; a file that cannot be opened
// now (absent, say) is left for writeInPlace.
bool reserveInPlace(const char* path, size_t size, InPlaceRewrite& file);

// Writes `text` over the file (created 0644 when absent), cuts what is left of the old
// content and makes it durable. 0, or the errno of the step that failed.
int writeInPlace(const char* path, InPlaceRewrite& file, std::string_view text);

// The locked pid file that keeps a second daemon from running beside the first.
#pragma once

#include <optional>
#include <string>

extern std::optional<std::string> pid_file_name;

// Creates or opens pid_file_name, locks it and writes our pid into it. A file that
// cannot be opened (a link, or not a regular file, counts as that), or that another
// process holds, ends the process with status 1.
void takePidFile();

// Removes the pid file and gives up its lock, if this process holds it. A pid file this
// process never locked belongs to somebody else and stays where it is.
void releasePidFile();

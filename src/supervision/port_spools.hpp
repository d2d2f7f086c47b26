// Each served port's spool directory, /mnt/flash/spool/GSMn, where smsd queues its messages.
#pragma once

#include <vector>

// Makes sure ports 1..`present` have their spool directories: result[k] is whether port k + 1's
// is there now. A directory that cannot be made is a LOG_WARNING, once until it can be.
std::vector<bool> makePortSpoolDirectories(int present);

// Whether port `port`'s spool directory is there (a link to a directory counts, as for smsd).
bool portSpoolDirectoryExists(int port);

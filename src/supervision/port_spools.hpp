// Each served port's spool directory, /mnt/flash/spool/GSMn, where smsd queues its messages.
#pragma once

#include <vector>

// Makes sure ports 1..`present` have their spool directories: result[k] is 0 when port k + 1's
// is there now, else the errno that keeps it from being made.
std::vector<int> makePortSpoolDirectories(int present);

// Whether port `port`'s spool directory is there (a link to a directory counts, as for smsd).
bool portSpoolDirectoryExists(int port);

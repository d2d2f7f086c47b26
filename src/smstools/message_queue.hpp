// The messages waiting to be sent: the files in smsd's spool directories, by name and lstat alone.
#pragma once

#include <ctime>
#include <string>
#include <vector>

struct QueueReading {
    long waiting = 0;         // messages found, at most kQueueEntryLimit
    std::time_t oldest = 0;   // the oldest one's modification time; 0 with none
    bool complete = true;     // false: the limit was reached, `waiting` is a lower bound
};

// Entries looked at in one pass, over every directory, and messages whose age is read (lstat)
// among them: a spool of a hundred thousand files costs a pass a bounded few milliseconds and no
// memory. Past kQueueAgeLimit messages, the oldest is the oldest of those: a directory lists its
// names in no order of age (ext4 by their hash), so the oldest of a thousand is among the oldest
// few of any queue.
constexpr long kQueueEntryLimit = 10000;
constexpr long kQueueAgeLimit = 1000;

// The directories where smsd's messages wait: its outgoing and checked directories, the queue
// without a port (/mnt/flash/spool/all) and each of `ports` ports' queues.
std::vector<std::string> queueDirectories(int ports);

// Counts the regular files in `directories` (smsd's ".LOCK" files are not messages), never
// following a link and never opening a file, looking at no more than `limit` entries.
QueueReading readQueue(const std::vector<std::string>& directories, long limit = kQueueEntryLimit);

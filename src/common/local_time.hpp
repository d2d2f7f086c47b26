// Times shown to people: the box's local time, as the activity log has always written it.
#pragma once

#include <ctime>
#include <string>

// "2026-12-08 17:24:24" for `time`, in the local time zone, into `text` (20 bytes suffice);
// what strftime gives: its length, 0 when it did not fit.
size_t formatLocalTime(std::time_t time, char* text, size_t size);

// The same as a string.
std::string localTimeText(std::time_t time);

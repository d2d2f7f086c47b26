// Times shown to people: the box's local time, as the activity log has always written it.
#pragma once

#include <ctime>
#include <string>

// "2026-12-08 17:24:24" for `time`, in the local time zone.
std::string localTimeText(std::time_t time);

// Times shown to people: the box's local time, as the activity log has always written it.
#include "common/local_time.hpp"

size_t formatLocalTime(std::time_t time, char* text, size_t size)
{
    struct tm local {};
    localtime_r(&time, &local);
    return std::strftime(text, size, "%Y-%m-%d %H:%M:%S", &local);
}

std::string localTimeText(std::time_t time)
{
    char text[32];
    return std::string(text, formatLocalTime(time, text, sizeof text));
}

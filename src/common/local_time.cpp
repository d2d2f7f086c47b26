// Times shown to people: the box's local time, as the activity log has always written it.
#include "common/local_time.hpp"

std::string localTimeText(std::time_t time)
{
    struct tm local {};
    localtime_r(&time, &local);
    char text[32];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, length);
}

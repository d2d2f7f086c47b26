// Showing a name from a directory another user controls in a log line, control characters escaped.
#include "common/printable_name.hpp"

#include <cstdio>

bool isControlCharacter(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

std::string printableName(std::string_view name)
{
    std::string shown;
    for (const char c : name) {
        if (isControlCharacter(c)) {
            char escape[5];
            static_cast<void>(std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(c)));
            shown += escape;
        } else {
            shown += c;
        }
    }
    return shown;
}

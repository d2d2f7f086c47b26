// Joining two texts into a new one, the way paths, messages and the configuration are built.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

inline std::string concat(std::string_view a, std::string_view b)
{
    std::string joined;
    joined.reserve(a.size() + b.size());
    joined.append(a).append(b);
    return joined;
}

// The non-empty ones of `parts`, a space apart.
inline std::string spaced(std::initializer_list<std::string> parts)
{
    std::string text;
    for (const std::string& part : parts) {
        if (!part.empty()) {
            text += (text.empty() ? "" : " ") + part;
        }
    }
    return text;
}

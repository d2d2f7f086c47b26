// Joining two texts into a new one, the way paths, messages and the configuration are built.
#pragma once

#include <string>
#include <string_view>

inline std::string concat(std::string_view a, std::string_view b)
{
    std::string joined;
    joined.reserve(a.size() + b.size());
    joined.append(a).append(b);
    return joined;
}

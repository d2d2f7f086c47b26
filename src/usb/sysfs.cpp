// Reading sysfs: attributes, links and listings, under a root that tests point at a tree of
// their own.
#include "usb/sysfs.hpp"

#include "common/unique_fd.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

std::string sysfsAttribute(const std::string& directory, const char* name)
{
    unique_fd fd(open((directory + "/" + name).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    char text[256] = {};
    const ssize_t got = fd.valid() ? read(fd.get(), text, sizeof text - 1) : -1;
    std::string value = got > 0 ? std::string(text, static_cast<size_t>(got)) : std::string();
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) {
        value.pop_back();
    }
    return value;
}

std::string resolvedPath(const std::string& path)
{
    char real[PATH_MAX];
    return realpath(path.c_str(), real) != nullptr ? std::string(real) : std::string();
}

std::string linkTarget(const std::string& path)
{
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

std::string baseName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

std::string parentOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::vector<std::string> sortedEntries(const std::string& directory)
{
    std::vector<std::string> names;
    if (dir_ptr listing{opendir(directory.c_str())}) {
        while (const dirent* entry = readdir(listing.get())) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Reading sysfs: attributes, links and listings, under a root that tests point at a tree of
// their own.
#pragma once

#include <string>
#include <vector>

// The attribute `name` of the sysfs directory, its trailing newline and blanks cut; empty when
// it is absent or empty. Never blocks, reads at most 255 bytes.
std::string sysfsAttribute(const std::string& directory, const char* name);

// The path with every link resolved; empty when it does not resolve.
std::string resolvedPath(const std::string& path);

// What the link at `path` says; empty when it is no link.
std::string linkTarget(const std::string& path);

// "ttyUSB2" of "/sys/class/tty/ttyUSB2", and "/sys/class/tty" of the same.
std::string baseName(const std::string& path);
std::string parentOf(const std::string& path);

// The names in `directory` but "." and "..", sorted; none when it cannot be listed.
std::vector<std::string> sortedEntries(const std::string& directory);

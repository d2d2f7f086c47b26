// What the daemon in a box published, read back as the operator's tools read it.
#pragma once

#include "sandbox/daemon_run.hpp"

#include <map>
#include <sstream>
#include <string>

// The samples of the published file: "name{labels}" -> value.
inline std::map<std::string, std::string> samples(const Box& box)
{
    std::map<std::string, std::string> found;
    std::stringstream lines(readFile(box.hostPath("/run/modemwatchd/modemwatchd.prom")));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#') {
            const size_t space = line.rfind(' ');
            found[line.substr(0, space)] = line.substr(space + 1);
        }
    }
    return found;
}

// `modemwatchctl check` on the published file: its line, its exit status in `status`.
inline std::string check(Box& box, int& status)
{
    const std::string out = box.root() + "/run/check.out";
    status = waitExit(box.spawn({MODEMWATCHCTL_BINARY, "--state", box.hostPath("/run/modemwatchd/modemwatchd.prom"),
                                 "check"},
                                {{}, out, {}}));
    return readFile(out);
}

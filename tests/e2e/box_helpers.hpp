// What the end-to-end tests share: the daemon's published file read back as the operator's tools
// read it, and the stand-in smsd ended as a crash would end it.
#pragma once

#include "sandbox/daemon_run.hpp"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
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

// Ends the stand-in smsd the fake service started, leaving its pid file behind as a crash would.
inline void killSmsd(const Box& box)
{
    const pid_t smsd = std::atoi(readFile(box.hostPath("/run/smstools/smsd.pid")).c_str());
    ASSERT_GT(smsd, 0);
    kill(smsd, SIGKILL);
    // It fell to the test, the box's subreaper, when the fake service ended: reap it as init would.
    EXPECT_EQ(waitExit(smsd, 5000), 128 + SIGKILL);
}

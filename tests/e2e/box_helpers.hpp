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

// The samples of a published text: "name{labels}" -> value.
inline std::map<std::string, std::string> samplesOf(const std::string& text)
{
    std::map<std::string, std::string> found;
    std::stringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#') {
            const size_t space = line.rfind(' ');
            found[line.substr(0, space)] = line.substr(space + 1);
        }
    }
    return found;
}

// The samples of the box's published file.
inline std::map<std::string, std::string> samples(const Box& box)
{
    return samplesOf(readFile(box.hostPath("/run/modemwatchd/modemwatchd.prom")));
}

// `modemwatchctl check` in the box on the published file (`state`, the host's path of it unless
// given): its line, its exit status in `status`.
inline std::string check(const Box& box, int& status, const std::string& state = "")
{
    const std::string out = box.root() + "/check.out";
    status = waitExit(box.spawn({MODEMWATCHCTL_BINARY, "--state",
                                 state.empty() ? box.hostPath("/run/modemwatchd/modemwatchd.prom") : state, "check"},
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

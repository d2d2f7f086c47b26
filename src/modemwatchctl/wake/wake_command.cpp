// `modemwatchctl wake`: asks the running daemon for a pass soon (udev runs it).
#include "modemwatchctl/wake/wake_command.hpp"

#include "modemwatchctl/wake/wake.hpp"

#include <cstdlib>

int wakeMain(CtlArguments& line)
{
    long long deliver = -1;  // the scheduled half: the time of the call it delivers
    for (size_t i = 0; i < line.words.size(); ++i) {
        if (takeCommonOption(line, i)) {
            continue;
        }
        if (line.words[i] != "--deliver" || i < line.before_command || i + 1 >= line.words.size()) {
            return unexpectedWord(line, i);
        }
        deliver = std::strtoll(line.words[++i].c_str(), nullptr, 10);
    }
    return deliver >= 0 ? deliverWake(deliver, line.pid_file) : requestWake(line.pid_file);
}

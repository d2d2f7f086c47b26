// modemwatchctl: shows what modemwatchd found on the box, asks it for a pass, and helps set the
// box up. The first word that names a command picks the one that runs; each parses its own
// options.
#include "modemwatchctl/command_line.hpp"
#include "modemwatchctl/probe/probe_command.hpp"
#include "modemwatchctl/view/view_command.hpp"
#include "modemwatchctl/wake/wake_command.hpp"

#include <cstring>

namespace {

struct Command {
    const char* name;
    int (*run)(CtlArguments& line);
};

const Command kCommands[] = {
    {"status", statusMain},
    {"check", checkMain},
    {"wake", wakeMain},
    {"probe", probeMain},
};

// Options of every command whose value could read as a command's name.
bool takesValue(const char* word)
{
    for (const char* option : {"--state", "--now", "--pid-file", "--max-age", "--blocked", "--deliver"}) {
        if (std::strcmp(word, option) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    CtlArguments line;
    const Command* chosen = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (chosen == nullptr) {
            for (const Command& command : kCommands) {
                if (std::strcmp(argv[i], command.name) == 0) {
                    chosen = &command;
                }
            }
            if (chosen != nullptr) {
                line.command = chosen->name;
                line.before_command = line.words.size();
                continue;
            }
        }
        line.words.emplace_back(argv[i]);
        if (chosen == nullptr && takesValue(argv[i]) && i + 1 < argc) {
            line.words.emplace_back(argv[++i]);
        }
    }
    return chosen == nullptr ? noCommand(line) : chosen->run(line);
}

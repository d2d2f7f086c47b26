// The command line as a user meets it: help, option errors, and the options that change nothing.
#include "sandbox/daemon_run.hpp"

#include <gtest/gtest.h>

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome runWith(const std::vector<std::string>& args)
{
    Box box;
    const std::string out = box.root() + "/run/out";
    const std::string err = box.root() + "/run/err";
    const int status = waitExit(box.spawn(daemonCommand(args), {{}, out, err}));
    return {status, readFile(out), readFile(err)};
}

std::string helpText()
{
    return "\n Usage: " + daemonBinary() + " [OPTIONS]\n\n"
           "  Options:\n"
           "   -h --help                 Print this help\n"
           "   -l --log_file  filename   Write logs to the file\n"
           "   -d --daemon               Daemonize this application\n"
           "   -p --pid_file  filename   PID file used by daemonized app\n"
           "\n";
}

} // namespace

TEST(CommandLine, HelpPrintsTheUsageAndExitsWithoutStarting)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-h"}, {"--help"}, {"--he"}, {"-l", "/tmp/x", "-c", "1", "-h", "--bogus"}, {"-dh"}}) {
        const Outcome outcome = runWith(args);
        EXPECT_EQ(outcome.status, 0) << args[0];
        EXPECT_EQ(outcome.out, helpText()) << args[0];
        EXPECT_EQ(outcome.err, "") << args[0];
    }
}

TEST(CommandLine, AnOptionErrorPrintsTheDiagnosticThenTheHelpAndExitsOne)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-x"}, "invalid option -- 'x'"},
        {{"--bogus"}, "unrecognized option '--bogus'"},
        {{"-l"}, "option requires an argument -- 'l'"},
        {{"--log_file"}, "option '--log_file' requires an argument"},
        {{"-p"}, "option requires an argument -- 'p'"},
        {{"-c"}, "option requires an argument -- 'c'"},
        {{"-t"}, "option requires an argument -- 't'"},
        {{"--daemon=yes"}, "option '--daemon' doesn't allow an argument"},
        {{"--x", "-h"}, "unrecognized option '--x'"},
    };
    for (const auto& [args, diagnostic] : cases) {
        const Outcome outcome = runWith(args);
        EXPECT_EQ(outcome.status, 1) << args[0];
        EXPECT_EQ(outcome.out, helpText()) << args[0];
        EXPECT_NE(outcome.err.find(diagnostic), std::string::npos) << args[0] << ": " << outcome.err;
    }
}

TEST(CommandLine, LongOptionsTakePrefixesEqualsSignsAndAttachedArguments)
{
    // Each spelling must reach the log file named, after -c and -t have been accepted.
    const std::vector<std::vector<std::string>> spellings = {
        {"--log_file", "LOG"}, {"--log_file=LOG"}, {"--log=LOG"}, {"-lLOG"}, {"-l", "LOG"},
        {"stray", "-c", "5", "-t", "7", "--lo", "LOG", "another"}, {"-c5", "-t7", "-lOTHER", "-lLOG"},
    };
    for (std::vector<std::string> args : spellings) {
        Box box;
        const std::string log = box.root() + "/run/custom.log";
        for (std::string& word : args) {
            for (size_t at; (at = word.find("LOG")) != std::string::npos;) {
                word.replace(at, 3, log);
            }
            for (size_t at; (at = word.find("OTHER")) != std::string::npos;) {
                word.replace(at, 5, box.root() + "/run/other.log");
            }
        }
        const pid_t pid = box.spawn(daemonCommand(args));
        EXPECT_TRUE(waitUntil([&] { return readFile(log).find("Checking modemstatus") != std::string::npos; }))
            << args[0];
        EXPECT_FALSE(fileExists(box.root() + "/run/other.log"));
        kill(pid, SIGINT);
        EXPECT_EQ(waitExit(pid), 0);
    }
}

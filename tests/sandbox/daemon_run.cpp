// One run of the real daemon in a box, driven pass by pass with SIGHUP.
#include "sandbox/daemon_run.hpp"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/syscall.h>

std::string daemonBinary()
{
    const char* binary = std::getenv("MODEMWATCHD_BINARY");
    return binary != nullptr && *binary != '\0' ? binary : MODEMWATCHD_DEFAULT_BINARY;
}

std::vector<std::string> emulatorPrefix()
{
    std::vector<std::string> words;
    if (const char* emulator = std::getenv("MODEMWATCHD_EMULATOR")) {
        std::stringstream parts(emulator);
        for (std::string word; parts >> word;) {
            words.push_back(word);
        }
    }
    return words;
}

std::vector<std::string> daemonCommand(const std::vector<std::string>& args,
                                       const std::vector<std::string>& prefix)
{
    std::vector<std::string> command = prefix;
    for (const std::string& word : emulatorPrefix()) {
        command.push_back(word);
    }
    command.push_back(daemonBinary());
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

std::string procField(pid_t pid, const std::string& file, const std::string& key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key, 0) == 0) {
            const size_t start = line.find_first_not_of(" \t", key.size());
            return start == std::string::npos ? std::string() : line.substr(start);
        }
    }
    return {};
}

long procKb(pid_t pid, const std::string& key)
{
    const std::string value = procField(pid, "status", key);
    return value.empty() ? -1 : std::stol(value);
}

std::vector<std::string> withoutDacOverride()
{
    return {"setpriv", "--inh-caps=-dac_override,-dac_read_search", "--bounding-set=-dac_override,-dac_read_search"};
}

bool isHeartbeat(const std::string& line)
{
    static const char kShape[] = "dddd-dd-dd dd:dd:dd";
    if (line.size() != sizeof kShape - 1) {
        return false;
    }
    for (size_t i = 0; i < line.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (kShape[i] == 'd' ? !digit : line[i] != kShape[i]) {
            return false;
        }
    }
    return true;
}

std::string textOf(const std::string& line)
{
    const bool stamped = line.size() >= 21 && isHeartbeat(line.substr(0, 19)) && line.compare(19, 2, ": ") == 0;
    return stamped ? line.substr(21) : "<unstamped> " + line;
}

Daemon::Daemon(Box& box, DaemonOptions options)
    : box_(box), log_path_(box.root() + (options.log_to_stdout ? "/run/stdout" : "/run/activity.log"))
{
    std::vector<std::string> args;
    if (!options.log_to_stdout) {
        args = {"-l", log_path_};
    }
    if (options.daemon_mode) {
        args.insert(args.end(), {"-d", "-p", pidPath()});
    }
    args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
    const pid_t launched = box.spawn(daemonCommand(args, options.prefix),
                                     {{}, box.root() + "/run/stdout", box.root() + "/run/stderr"});
    if (!options.daemon_mode) {
        pid_ = launched;
    } else {
        // The launcher exits 0 once the daemon is on its way; anything else means it is not.
        const int launcher = waitExit(launched);
        // An old pid file may still be there: wait for one naming a live process.
        waitUntil([&] {
            const std::string text = readFile(pidPath());
            const pid_t pid = std::atoi(text.c_str());
            pid_ = pid > 0 && text == std::to_string(pid) + "\n" && kill(pid, 0) == 0 ? pid : -1;
            return pid_ > 0 || launcher != 0;
        });
        // Nothing to drive and nothing that may be signalled: the test ends here, saying why.
        if (pid_ <= 0) {
            throw std::runtime_error("the daemon wrote no pid file naming a live process; it printed: " +
                                     stdoutText() + readFile(box.root() + "/run/stderr"));
        }
    }
    if (options.wait_for_first_pass) {
        waitUntil([&] { return heartbeats() >= 1 && idle(); });
    }
}

Daemon::~Daemon()
{
    if (!ended_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitExit(pid_, 2000);
    }
}

std::string Daemon::pidPath() const
{
    return box_.root() + "/run/modemwatchd.pid";
}

std::string Daemon::stdoutText() const
{
    return readFile(box_.root() + "/run/stdout");
}

std::vector<std::string> Daemon::lines() const
{
    std::vector<std::string> all;
    std::stringstream text(readFile(log_path_));
    for (std::string line; std::getline(text, line);) {
        all.push_back(line);
    }
    return all;
}

std::string Daemon::lastLine() const
{
    const std::vector<std::string> all = lines();
    return all.empty() ? "<no line>" : textOf(all.back());
}

std::vector<std::string> Daemon::passLines(int n) const
{
    std::vector<std::string> found;
    int pass = 0;
    for (const std::string& line : lines()) {
        if (isHeartbeat(line)) {
            ++pass;
        } else if (pass == n && textOf(line).rfind("Debug: ", 0) == 0) {
            break;
        } else if (pass == n) {
            found.push_back(textOf(line));
        }
        if (pass > n) {
            break;
        }
    }
    return found;
}

int Daemon::heartbeats() const
{
    std::ifstream in(log_path_, std::ios::binary);
    in.seekg(scanned_);
    for (std::string line; std::getline(in, line) && !in.eof();) {
        scanned_ += static_cast<long>(line.size()) + 1;
        heartbeats_ += isHeartbeat(line);
    }
    return heartbeats_;
}

bool Daemon::idle() const
{
    // Between passes the daemon sits in ppoll, and only after it has flushed the log.
    std::ifstream in("/proc/" + std::to_string(pid_) + "/syscall");
    long number = -1;
    return static_cast<bool>(in >> number) && number == SYS_ppoll;
}

bool Daemon::pass()
{
    const int before = heartbeats();
    kill(pid_, SIGHUP);
    return waitUntil([&] { return heartbeats() > before && idle(); });
}

int Daemon::stop()
{
    kill(pid_, SIGINT);
    return waitForExit();
}

int Daemon::waitForExit(int timeout_ms)
{
    ended_ = true;
    return waitExit(pid_, timeout_ms);
}

// One run of the real daemon in a box, driven pass by pass with SIGHUP.
#pragma once

#include "sandbox/box.hpp"

#include <string>
#include <sys/types.h>
#include <vector>

// The binary under test and what runs it (an emulator for a foreign architecture):
// $MODEMWATCHD_BINARY and $MODEMWATCHD_EMULATOR, else the build's own binary.
std::string daemonBinary();
std::vector<std::string> emulatorPrefix();
// prefix + emulator + binary + args, ready for Box::spawn.
std::vector<std::string> daemonCommand(const std::vector<std::string>& args,
                                       const std::vector<std::string>& prefix = {});

// The value after "key" in /proc/PID/<file> (status, fdinfo/N, ...), blanks trimmed.
std::string procField(pid_t pid, const std::string& file, const std::string& key);
// A /proc/PID/status size such as "VmRSS:" in kB, -1 when absent.
long procKb(pid_t pid, const std::string& key);
// Runs a command without the capabilities that let root read what its mode forbids.
std::vector<std::string> withoutDacOverride();

// True for a heartbeat line: a timestamp and nothing else.
bool isHeartbeat(const std::string& line);
// The text of a log line after its "YYYY-MM-DD HH:MM:SS: " prefix.
std::string textOf(const std::string& line);

struct DaemonOptions {
    bool daemon_mode = false;             // -d, with a pid file in the box's run directory
    std::vector<std::string> extra_args;  // more options, after the usual ones
    std::vector<std::string> prefix;      // runs in front of the daemon, setpriv say
    bool log_to_stdout = false;           // no -l: the log is what the daemon prints
    bool wait_for_first_pass = true;
};

class Daemon {
public:
    explicit Daemon(Box& box, DaemonOptions options = {});
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& logPath() const { return log_path_; }
    std::string pidPath() const;
    std::string stdoutText() const;

    // The activity log as written so far, line by line.
    std::vector<std::string> lines() const;
    // The text of the last line ("<no line>" when the log is empty), for a failure to show.
    std::string lastLine() const;
    // The lines of pass `n` (from 1) after its heartbeat, up to the next signal line or pass.
    std::vector<std::string> passLines(int n) const;
    int heartbeats() const;

    // Sleeping between passes, with the last pass flushed to the log.
    bool idle() const;
    // Wakes the daemon with SIGHUP and waits until it has run one more pass.
    bool pass();
    // SIGINT, then the exit status (-1 when it did not end).
    int stop();
    // The exit status once it ends by itself.
    int waitForExit(int timeout_ms = 20000);

private:
    Box& box_;
    std::string log_path_;
    pid_t pid_ = -1;
    bool ended_ = false;
    // heartbeats() reads only what the log gained since its last call: soak runs are long.
    mutable long scanned_ = 0;
    mutable int heartbeats_ = 0;
};

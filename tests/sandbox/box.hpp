// A fake gateway box: a private mount namespace in which the real daemon can run and
// rewrite /etc/smsd.conf, /mnt and /var without touching the host.
//
// Inside the namespace:
//   /dev               the box's own directory: the real /dev/null, a syslog socket the test
//                      reads, and whatever gsmmodem entries the test plugs in
//   /etc, /var         overlays on the host's; the host's /etc/smsd.conf is hidden
//   /var/spool/sms     the box's spool (stats/status is written by the test)
//   /var/ramlog, /mnt  the box's directories (/mnt/flash/spool exists)
//   /run               the box's own, empty
//   /usr/sbin/service  a fake that records its calls
// Everything else, /tmp included, is the host's, so paths under root() mean the same
// thing inside and out.
#pragma once

#include "sandbox/syslog_sink.hpp"

#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct SpawnOptions {
    std::vector<std::string> prefix;  // words run in front of the command, setpriv say
    std::string stdout_path;          // empty: /dev/null
    std::string stderr_path;          // empty: /dev/null
    std::string cwd = "/";
};

class Box {
public:
    Box();
    ~Box();
    Box(const Box&) = delete;
    Box& operator=(const Box&) = delete;

    // The host directory that holds the box; also visible at the same path inside.
    const std::string& root() const { return root_; }
    // A host path for a path inside the box's /dev, /mnt, /var/spool/sms, /var/ramlog or /run.
    std::string hostPath(const std::string& inside) const;

    void plug(const std::string& device) const;
    void unplug(const std::string& device) const;
    void writeStatus(const std::string& text) const;
    // The status file the fake service copies into place when asked to start smstools; none for "".
    void statusOnStart(const std::string& text) const;
    // Makes each call of the fake service, or only the next one, take `seconds` to return.
    void slowService(int seconds, bool once = false) const;
    std::vector<std::string> serviceCalls() const;
    // /etc/smsd.conf as the fake service found it when last called with "stop" or "start".
    std::string confAt(const std::string& action) const;

    // Runs `body` in a child process inside the namespace; gives its exit status.
    int inside(const std::function<int()>& body) const;
    // The same without waiting: gives the child's pid.
    pid_t startInside(const std::function<int()>& body) const;
    std::optional<std::string> readInside(const std::string& path) const;
    bool writeInside(const std::string& path, const std::string& text) const;
    // stat() inside the namespace; nothing when the path does not exist.
    std::optional<mode_t> modeInside(const std::string& path) const;

    // Turns a directory inside the box into a read-only mount.
    bool makeReadOnly(const std::string& path) const;

    // Starts a command inside the namespace. The caller waits for it (waitExit).
    pid_t spawn(const std::vector<std::string>& command, const SpawnOptions& options = {}) const;

    SyslogSink& syslog() { return syslog_; }

private:
    void enter() const;
    void startHolder();

    std::string root_;
    SyslogSink syslog_;
    pid_t holder_ = -1;
    int holder_pipe_ = -1;
    bool own_user_namespace_ = false;
};

// Waits for a child of the test (or an orphan it inherited as subreaper) to end; gives its
// exit status, 128 + signal when it was killed, -1 after `timeout_ms` (and kills it).
int waitExit(pid_t pid, int timeout_ms = 20000);

// Polls `done` every few milliseconds until it holds or `timeout_ms` pass.
bool waitUntil(const std::function<bool()>& done, int timeout_ms = 20000);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);
// The permission bits of a host path, 0 when it does not exist.
mode_t modeOf(const std::string& path);

// The box's /dev/log: receives the daemon's syslog datagrams exactly as sent.
#pragma once

#include <string>
#include <vector>

struct SyslogMessage {
    int priority = -1;  // facility * 8 + level: 30 daemon.info, 27 daemon.err, 25 daemon.alert
    std::string ident;
    int pid = 0;
    std::string text;
};

class SyslogSink {
public:
    SyslogSink() = default;
    ~SyslogSink();
    SyslogSink(const SyslogSink&) = delete;
    SyslogSink& operator=(const SyslogSink&) = delete;

    void bindTo(const std::string& path);
    // Everything received so far.
    const std::vector<SyslogMessage>& messages();
    // Waits until a message with this text has arrived; gives it, or a message with
    // priority -1 after the timeout.
    SyslogMessage waitFor(const std::string& text, int timeout_ms = 20000);
    int count(const std::string& text);

private:
    void drain();
    int fd_ = -1;
    std::vector<SyslogMessage> messages_;
};

// The box's /dev/log: receives the daemon's syslog datagrams exactly as sent.
#include "sandbox/syslog_sink.hpp"

#include "sandbox/box.hpp"

#include <cstring>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// "<30>Dec  7 06:28:18 ident[pid]: text" as glibc's syslog() sends it.
SyslogMessage parse(const std::string& datagram)
{
    SyslogMessage message;
    const size_t close = datagram.find('>');
    if (datagram.empty() || datagram[0] != '<' || close == std::string::npos) {
        message.text = datagram;
        return message;
    }
    message.priority = std::stoi(datagram.substr(1, close - 1));
    const size_t ident_start = close + 1 + 16;  // "Mmm dd hh:mm:ss "
    const size_t bracket = datagram.find('[', ident_start);
    const size_t end = datagram.find("]: ", bracket);
    if (bracket == std::string::npos || end == std::string::npos) {
        message.text = datagram;
        return message;
    }
    message.ident = datagram.substr(ident_start, bracket - ident_start);
    message.pid = std::stoi(datagram.substr(bracket + 1, end - bracket - 1));
    message.text = datagram.substr(end + 3);
    return message;
}

} // namespace

SyslogSink::~SyslogSink()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

void SyslogSink::bindTo(const std::string& path)
{
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot bind the syslog socket at " + path);
    }
    // Let the daemon send whatever user it runs as.
    chmod(path.c_str(), 0666);
    // A burst of messages must not be dropped while the test is busy elsewhere.
    const int size = 1 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

void SyslogSink::drain()
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
        if (got < 0) {
            return;
        }
        messages_.push_back(parse(std::string(buffer, static_cast<size_t>(got))));
    }
}

const std::vector<SyslogMessage>& SyslogSink::messages()
{
    drain();
    return messages_;
}

int SyslogSink::count(const std::string& text)
{
    int n = 0;
    for (const SyslogMessage& message : messages()) {
        n += message.text == text;
    }
    return n;
}

SyslogMessage SyslogSink::waitFor(const std::string& text, int timeout_ms)
{
    SyslogMessage found;
    waitUntil([&] {
        for (const SyslogMessage& message : messages()) {
            if (message.text == text) {
                found = message;
                return true;
            }
        }
        return false;
    }, timeout_ms);
    return found;
}

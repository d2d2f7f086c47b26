// Asking a serial port whether a modem answers AT on it, with every wait bounded.
#include "modemwatchctl/probe/at_probe.hpp"

#include "common/text_escape.hpp"
#include "common/unique_fd.hpp"

#include <cerrno>
#include <chrono>
#include <functional>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// A terminal has no offsets, so plain write(); a few bytes that a port in raw mode takes at once
// or never (a full output queue is a port that does not answer).
bool send(int fd, const std::string& text)
{
    ssize_t done;
    do {
        done = write(fd, text.data(), text.size());
    } while (done < 0 && errno == EINTR);
    return done == static_cast<ssize_t>(text.size());
}

// Sends `command` and gathers the reply until a final "OK" or "ERROR" line, or `timeout_ms`.
// `reply` gets the lines between the echo and "OK", joined by spaces; false when no "OK" came.
bool exchange(int fd, const std::string& command, int timeout_ms, std::string& reply)
{
    tcflush(fd, TCIOFLUSH);
    if (!send(fd, command + "\r")) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string received;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        struct pollfd ready {fd, POLLIN, 0};
        if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) {
            return false;
        }
        char buffer[256];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            return false;
        }
        received.append(buffer, static_cast<size_t>(got));
        reply.clear();
        size_t start = 0;
        for (size_t end; (end = received.find_first_of("\r\n", start)) != std::string::npos; start = end + 1) {
            const std::string line = received.substr(start, end - start);
            if (line == "OK") {
                return true;
            }
            if (line == "ERROR" || line.rfind("+CME ERROR", 0) == 0) {
                return false;
            }
            if (!line.empty() && line != command) {
                reply += (reply.empty() ? "" : " ") + line;
            }
        }
    }
}

// A port whose far end takes nothing (an interface nobody reads) keeps our bytes in flight in the
// driver, where tcflush cannot reach them, and close() waits the tty's closing_wait for them:
// 30 s by default. Closed the way ModemManager closes its ports: told not to wait. The setting
// is put back afterwards on a descriptor with nothing left to send, so smsd finds it as it was.
void closeWithoutWaiting(unique_fd& fd, const std::string& path)
{
    struct serial_struct serial {};
    if (ioctl(fd.get(), TIOCGSERIAL, &serial) != 0 || serial.closing_wait == ASYNC_CLOSING_WAIT_NONE) {
        fd.reset();
        return;
    }
    struct serial_struct none = serial;
    none.closing_wait = ASYNC_CLOSING_WAIT_NONE;
    const bool changed = ioctl(fd.get(), TIOCSSERIAL, &none) == 0;
    fd.reset();
    if (changed) {
        unique_fd again(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (again.valid()) {
            ioctl(again.get(), TIOCSSERIAL, &serial);
        }
    }
}

} // namespace

AtAnswer askAt(const std::string& path, const std::function<bool()>& held_by_another)
{
    AtAnswer answer;
    unique_fd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    struct termios before {};
    if (!fd.valid() || tcgetattr(fd.get(), &before) != 0) {
        return answer;
    }
    // Ours alone from now on (smsd's user cannot open it while we ask), and given up untouched
    // to a program that opened it between the listing and now: not a byte sent, none flushed.
    const bool exclusive = ioctl(fd.get(), TIOCEXCL) == 0;
    if (held_by_another()) {
        if (exclusive) {
            ioctl(fd.get(), TIOCNXCL);
        }
        answer.held = true;
        return answer;
    }
    answer.opened = true;
    struct termios raw = before;
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    if (tcsetattr(fd.get(), TCSANOW, &raw) == 0) {
        std::string reply;
        for (int attempt = 0; attempt < 3 && !answer.answered; ++attempt) {
            answer.answered = exchange(fd.get(), "AT", 330, reply);
        }
        if (answer.answered) {
            if (exchange(fd.get(), "AT+CGMI", 1000, reply)) {
                answer.make = printableAscii(reply);
            }
            if (exchange(fd.get(), "AT+CGMM", 1000, reply)) {
                answer.model = printableAscii(reply);
            }
            if (exchange(fd.get(), "AT+CGSN", 1000, reply)) {
                answer.imei = printableAscii(reply);
            }
        }
    }
    tcflush(fd.get(), TCIOFLUSH);
    tcsetattr(fd.get(), TCSANOW, &before);
    if (exclusive) {
        ioctl(fd.get(), TIOCNXCL);
    }
    closeWithoutWaiting(fd, path);
    return answer;
}

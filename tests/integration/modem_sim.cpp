// Simulated GSM modems for the real smsd: pseudo-terminals that answer its AT commands.
#include "integration/modem_sim.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// What an idle modem with an empty SIM answers. smsd asks AT, AT+CGSN and AT+CIMI once, then
// loops over AT, at+cmms=2, AT+CSQ, AT+CMGF=0 and AT+CPMS?.
std::string answer(std::string command, const ModemIdentity& identity)
{
    for (char& c : command) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    std::string reply;
    if (command.rfind("AT+CSQ", 0) == 0) {
        reply = "\r\n+CSQ: 20,0\r\n";
    } else if (command.rfind("AT+CPMS?", 0) == 0) {
        reply = "\r\n+CPMS: \"SM\",0,30,\"SM\",0,30,\"SM\",0,30\r\n";
    } else if (command.rfind("AT+CGSN", 0) == 0) {
        reply = "\r\n" + identity.imei + "\r\n";
    } else if (command.rfind("AT+CGMI", 0) == 0 && !identity.make.empty()) {
        reply = "\r\n" + identity.make + "\r\n";
    } else if (command.rfind("AT+CGMM", 0) == 0 && !identity.model.empty()) {
        reply = "\r\n" + identity.model + "\r\n";
    } else if (command.rfind("AT+CMMS", 0) == 0 && !identity.init_refusal.empty()) {
        return "\r\n" + identity.init_refusal + "\r\n";
    } else if (command.rfind("AT+CMGS", 0) == 0) {
        return "\r\n> ";  // the message follows, ended by Ctrl-Z
    } else if (command.rfind("AT+CIMI", 0) == 0) {
        reply = "\r\n244051234567890\r\n";
    }
    return reply + "\r\nOK\r\n";
}

} // namespace

namespace {

// Answers each complete command line in `pending`, unless told to keep silent; a message after
// AT+CMGS runs up to its Ctrl-Z.
void answerLines(int fd, std::string& pending, const ModemIdentity& identity, bool silent)
{
    static int message_id = 0;
    for (size_t end; (end = pending.find_first_of("\r\n\x1a")) != std::string::npos;) {
        if (pending[end] == '\x1a') {
            pending.erase(0, end + 1);
            const std::string reply = identity.send_refusal.empty()
                                          ? "\r\n+CMGS: " + std::to_string(++message_id) + "\r\n\r\nOK\r\n"
                                          : "\r\n" + identity.send_refusal + "\r\n";
            if (!silent) {
                (void)!write(fd, reply.data(), reply.size());
            }
            continue;
        }
        const std::string command = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!command.empty() && !silent) {
            const std::string reply = answer(command, identity);
            (void)!write(fd, reply.data(), reply.size());
        }
    }
}

} // namespace

void serveSimulatedModem(int master, const ModemIdentity& identity)
{
    std::string pending;
    char buffer[256];
    for (;;) {
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) {
            // Nobody has the terminal open (smsd between restarts): try again shortly.
            usleep(20000);
            continue;
        }
        pending.append(buffer, static_cast<size_t>(got));
        answerLines(master, pending, identity, false);
    }
}

void answerUntilHangup(int fd, const ModemIdentity& identity, const volatile sig_atomic_t& hung)
{
    std::string pending;
    char buffer[256];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            return;
        }
        if (got > 0) {
            pending.append(buffer, static_cast<size_t>(got));
            answerLines(fd, pending, identity, hung != 0);
        }
    }
}

bool mountBoxTerminals(const Box& box)
{
    mkdir((box.root() + "/dev/pts").c_str(), 0755);
    symlink("pts/ptmx", (box.root() + "/dev/ptmx").c_str());
    return box.inside([] {
        return mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") == 0 ? 0 : 1;
    }) == 0;
}

pid_t plugSimulatedModem(const Box& box, const std::string& name, const ModemIdentity& identity)
{
    return box.startInside([name, identity] {
        int master = -1;
        int slave = -1;
        char slave_name[64] = {};
        if (openpty(&master, &slave, slave_name, nullptr, nullptr) != 0) {
            return 1;
        }
        termios raw {};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        const passwd* smsd = getpwnam("smsd");
        const group* dialout = getgrnam("dialout");
        if (smsd == nullptr || dialout == nullptr || chown(slave_name, smsd->pw_uid, dialout->gr_gid) != 0 ||
            chmod(slave_name, 0660) != 0 || symlink(slave_name, ("/dev/" + name).c_str()) != 0) {
            return 2;
        }
        // The slave stays open here, so the master never reads EOF while smsd reopens it.
        serveSimulatedModem(master, identity);
    });
}

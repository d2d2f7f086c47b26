// modem-sim: one simulated modem for a booted box, where no test harness runs.
//   modem-sim LINK            opens a pseudo-terminal in raw mode, links LINK to its slave,
//                             prints the slave's path and answers on it until killed; who may
//                             open the terminal is the caller's to set
//   modem-sim --answer TTY    answers on a terminal that is there already: the gadget side
//                             (/dev/ttyGSn) of a USB modem the kernel makes, say; opened again
//                             whenever it hangs up (and says so on standard output). SIGUSR1
//                             makes the modem hang: it takes every command and answers none
//                             until its port hangs up (its USB device reset or re-enumerated);
//                             SIGUSR2 makes it hang for good
//   modem-sim --answer TTY --refuse-sends WORDS
//                             the same, answering every message sent with WORDS ("+CMS ERROR:
//                             38"): a modem the network refuses
#include "integration/modem_sim.hpp"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t hung = 0;
volatile sig_atomic_t dead = 0;

void hang(int sig)
{
    hung = 1;
    if (sig == SIGUSR2) {
        dead = 1;
    }
}

void makeRaw(int fd)
{
    termios raw {};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
}

} // namespace

int main(int argc, char** argv)
{
    const bool refusing = argc == 5 && std::strcmp(argv[3], "--refuse-sends") == 0;
    if ((argc == 3 || refusing) && std::strcmp(argv[1], "--answer") == 0) {
        ModemIdentity identity;
        identity.send_refusal = refusing ? argv[4] : "";
        struct sigaction action {};
        action.sa_handler = hang;
        sigaction(SIGUSR1, &action, nullptr);
        sigaction(SIGUSR2, &action, nullptr);
        for (;;) {
            const int fd = open(argv[2], O_RDWR | O_NOCTTY);
            if (fd < 0) {
                usleep(100000);
                continue;
            }
            makeRaw(fd);
            answerUntilHangup(fd, identity, hung);
            close(fd);
            hung = dead;
            std::printf("hung up\n");
            std::fflush(stdout);
            usleep(100000);
        }
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: modem-sim LINK | modem-sim --answer TTY [--refuse-sends WORDS]\n");
        return 2;
    }
    int master = -1;
    int slave = -1;
    char slave_name[64] = {};
    if (openpty(&master, &slave, slave_name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    makeRaw(slave);
    if (symlink(slave_name, argv[1]) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::printf("%s\n", slave_name);
    std::fflush(stdout);
    // The slave stays open here, so the master never reads EOF while smsd reopens it.
    serveSimulatedModem(master);
}

// modem-sim LINK: one simulated modem for a booted box, where no test harness runs. Opens a
// pseudo-terminal in raw mode, links LINK to its slave, prints the slave's path and answers on
// it until killed. Who may open the terminal is the caller's to set.
#include "integration/modem_sim.hpp"

#include <cstdio>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: modem-sim LINK\n");
        return 2;
    }
    int master = -1;
    int slave = -1;
    char slave_name[64] = {};
    if (openpty(&master, &slave, slave_name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios raw {};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    if (symlink(slave_name, argv[1]) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::printf("%s\n", slave_name);
    std::fflush(stdout);
    // The slave stays open here, so the master never reads EOF while smsd reopens it.
    serveSimulatedModem(master);
}

// modemwatchd: keeps smstools and /etc/smsd.conf in line with the GSM modems plugged in.
#include "process/daemon_main.hpp"

int main(int argc, char** argv)
{
    return daemonMain(argc, argv);
}

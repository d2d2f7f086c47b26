// modemwatchctl: shows what modemwatchd found on the box, for a person or a monitoring system.
#include "modemwatchctl/ctl_main.hpp"

int main(int argc, char** argv)
{
    return ctlMain(argc, argv);
}

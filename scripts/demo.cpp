// The daemon at work on a simulated box: modems plugged in and out, a port blocked.
#include "sandbox/daemon_run.hpp"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <thread>

namespace {

size_t shown = 0;

void narrate(const std::string& what)
{
    std::cout << "\n==> " << what << std::endl;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
}

void showNewLogLines(const Daemon& daemon)
{
    const std::vector<std::string> lines = daemon.lines();
    for (; shown < lines.size(); ++shown) {
        std::cout << "    " << lines[shown] << "\n";
    }
    std::cout << std::flush;
}

// smsd's status file as it would be with these port states.
std::string status(const std::vector<std::string>& states)
{
    std::string text;
    for (size_t i = 0; i < states.size(); ++i) {
        text += "GSM" + std::to_string(i + 1) + ":\t12-07 06:37:09,\t" + states[i] + ",\t0,\t0,\t0\n";
    }
    return text;
}

void pass(Daemon& daemon)
{
    if (!daemon.pass()) {
        throw std::runtime_error("the daemon did not finish its pass");
    }
    showNewLogLines(daemon);
}

} // namespace

int main()
{
    try {
        Box box;
        std::cout << "A fake gateway box in a private mount namespace: " << box.root() << "\n"
                  << "(its /dev, /etc, /var, /mnt and /usr/sbin/service are the box's; the host is untouched)\n";

        narrate("Two modems plugged in; modemwatchd starts and writes its first configuration");
        box.plug("gsmmodem-usb1");
        box.plug("gsmmodem-usb2");
        box.statusOnStart(status({"Receiving", "Receiving"}));
        Daemon daemon(box);
        showNewLogLines(daemon);

        narrate("A third modem is plugged in (the daemon is woken early with SIGHUP instead of waiting 30 s)");
        box.plug("gsmmodem-usb3");
        box.statusOnStart(status({"Receiving", "Receiving", "Receiving"}));
        pass(daemon);

        narrate("smsd reports port GSM2 blocked");
        box.writeStatus(status({"Receiving", "Blocked", "Receiving"}));
        box.statusOnStart(status({"Receiving", "Blocked", "Receiving"}));
        pass(daemon);

        narrate("Nothing changes: a quiet pass");
        pass(daemon);

        narrate("The blocked modem (gsmmodem-usb2) is unplugged");
        box.unplug("gsmmodem-usb2");
        box.statusOnStart(status({"Receiving", "Receiving"}));
        pass(daemon);

        narrate("What an operator sees: modemwatchctl status and check, from the state published after each pass");
        const std::string published = box.hostPath("/run/modemwatchd/modemwatchd.prom");
        const std::string shown = box.root() + "/run/modemwatchctl.out";
        for (const char* command : {"status", "check"}) {
            waitExit(box.spawn({MODEMWATCHCTL_BINARY, "--state", published, command}, {{}, shown, {}}));
            std::cout << "$ modemwatchctl " << command << "\n" << readFile(shown);
        }

        narrate("SIGINT: the orderly stop");
        daemon.stop();
        showNewLogLines(daemon);

        std::cout << "\n==> /etc/smsd.conf as left for smsd\n" << box.readInside("/etc/smsd.conf").value_or("(missing)");
        std::cout << "\n==> /mnt/ModemCount: " << readFile(box.hostPath("/mnt/ModemCount")) << "\n";
        std::cout << "==> service calls:";
        for (const std::string& call : box.serviceCalls()) {
            std::cout << " [" << call << "]";
        }
        std::cout << "\n==> syslog:";
        for (const SyslogMessage& message : box.syslog().messages()) {
            std::cout << " <" << message.priority << "> " << message.text << ";";
        }
        std::cout << std::endl;
    } catch (const std::exception& error) {
        std::cerr << "demo: " << error.what() << "\n"
                  << "demo: the simulated box needs a private mount namespace: run it as root, or as a user\n"
                  << "demo: on a kernel that allows unprivileged user namespaces "
                  << "(sysctl kernel.unprivileged_userns_clone=1 on Debian)\n";
        return 1;
    }
    return 0;
}

// Simulated GSM modems for the real smsd: pseudo-terminals that answer its AT commands.
#pragma once

#include "sandbox/box.hpp"

#include <csignal>
#include <string>
#include <sys/types.h>

// Answers smsd's AT commands on the master side of a pseudo-terminal, like an idle modem, for
// as long as the process lives.
struct ModemIdentity {
    std::string make;   // AT+CGMI; none when empty
    std::string model;  // AT+CGMM; none when empty
    std::string imei = "358240051111110";
    // What it answers smsd's second initialisation (at+cmms=2) and a message sent; empty: OK.
    std::string init_refusal;  // "+CME ERROR: 11": a SIM that wants its PIN
    std::string send_refusal;  // "+CMS ERROR: 38": the network refuses every message
};
[[noreturn]] void serveSimulatedModem(int master, const ModemIdentity& identity = {});

// Answers on `fd` until its terminal hangs up (the USB device behind a gadget's port is reset or
// unplugged) or fails; while `hung` is set it takes every command and answers none, like a modem
// whose firmware has locked up.
void answerUntilHangup(int fd, const ModemIdentity& identity, const volatile sig_atomic_t& hung);

// Gives the box its own devpts instance on /dev/pts (and /dev/ptmx), so its modems' terminals
// are the box's alone.
bool mountBoxTerminals(const Box& box);

// Opens a pseudo-terminal in the box, links /dev/<name> to its slave (owned smsd:dialout, 0660)
// and answers on it like an idle modem until killed. Gives the simulator's pid.
pid_t plugSimulatedModem(const Box& box, const std::string& name, const ModemIdentity& identity = {});

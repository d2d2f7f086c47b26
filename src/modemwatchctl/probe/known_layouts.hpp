// Modems whose AT port is known by their vendor and product ids, and the USB-serial bridges that
// say nothing of what is behind them.
#pragma once

#include <string>
#include <vector>

struct KnownLayout {
    const char* vendor;
    const char* product;
    int interface;  // the AT port's interface number
    const char* name;
};

const std::vector<KnownLayout>& knownLayouts();

// The interface that carries the AT port on modems whose layout is known, by vendor and product
// id; -1 for the others.
int knownAtInterface(const std::string& vendor, const std::string& product);

// Drivers of USB-serial bridge chips (a SIM800 module behind a CH341, say): the same chip is in
// cables and boards of every kind, so its ids name no modem.
bool isBridgeDriver(const std::string& driver);

// Asking a serial port whether a modem answers AT on it, with every wait bounded.
#pragma once

#include <string>

struct AtAnswer {
    bool opened = false;
    bool answered = false;  // "OK" to "AT"
    std::string make, model, imei;  // AT+CGMI, AT+CGMM, AT+CGSN, when it answered
};

// Opens `path` without becoming its controlling terminal and without waiting for carrier, sets it
// raw at 115200 baud, sends "AT" up to three times (a third of a second each) and, on an "OK",
// asks for make, model and IMEI (a second each). The port's settings are put back as they were
// before it is closed.
AtAnswer askAt(const std::string& path);

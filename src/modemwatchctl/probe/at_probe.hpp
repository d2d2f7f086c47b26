// Asking a serial port whether a modem answers AT on it, with every wait bounded.
#pragma once

#include <functional>
#include <string>

struct AtAnswer {
    bool held = false;  // another process had it open: left as it was
    bool opened = false;
    bool answered = false;  // "OK" to "AT"
    std::string make, model, imei;  // AT+CGMI, AT+CGMM, AT+CGSN, when it answered
};

// Opens `path` without becoming its controlling terminal and without waiting for carrier, makes
// it exclusive, and gives it back untouched when `held_by_another` says another process has it
// open too; else sets it raw at 115200 baud, sends "AT" up to three times (a third of a second each) and, on an "OK",
// asks for make, model and IMEI (a second each). The port's settings are put back as they were
// before it is closed.
AtAnswer askAt(const std::string& path, const std::function<bool()>& held_by_another);

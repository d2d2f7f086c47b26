// A port's name: what smsd.conf, smsd's status file, the spool and the published state call it.
#pragma once

#include <string>

// "GSM3" for port 3.
inline std::string portName(int port)
{
    return "GSM" + std::to_string(port);
}

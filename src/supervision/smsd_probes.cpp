// What smstools says: the ports in /etc/smsd.conf and the ports its status file shows.
#include "supervision/smsd_probes.hpp"

#include "common/concat.hpp"
#include "common/shell.hpp"
#include "common/unique_fd.hpp"
#include "common/write_file.hpp"
#include "log/activity_log.hpp"
#include "log/write_errors.hpp"
#include "smstools/smstools_paths.hpp"
#include "smstools/status_file.hpp"

#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>

namespace {

constexpr char kModemCountPath[] = "/mnt/ModemCount";

// Resolves the path without opening it: a dangling link or an unsearchable directory
// count as missing.
bool exists(const char* path)
{
    struct stat info {};
    return stat(path, &info) == 0;
}

} // namespace

std::string configCountCommand(const char* path)
{
    return concat("cat ", path) + "|grep GSM..=";
}

int getsmsdcount()
{
    if (!exists(kSmsdConfPath)) {
        return -1;
    }
    const std::optional<int> ports = countCommandOutputLines(configCountCommand(kSmsdConfPath).c_str());
    if (!ports) {
        return 0;
    }
    logLine("%s %d", "Modem count from smsd.conf is: ", *ports);
    return *ports;
}

int ModemsBlocked(int configured, StatusReading& reading)
{
    reading = {};
    PortStates& states = reading.states;
    if (!exists(kStatusFilePath)) {
        logLine("%s%s", kStatusFilePath, " does not exist");
        states.receiving = configured;
    } else {
        int error = 0;
        file_ptr status = openStatusFile(error, reading.modified);
        if (status) {
            states = countPortStates(status.get());
        }
        // A status file that cannot be read to the end (a directory, an I/O error) says
        // nothing about the ports: publishing its partial count would report modems lost.
        if (!status || states.read_error) {
            reading.outcome = StatusReading::unreadable;
            return 0;
        }
        reading.outcome = StatusReading::read;
    }
    return states.blocked;
}

void publishModemCount(const StatusReading& reading)
{
    if (reading.outcome == StatusReading::unreadable) {
        return;
    }
    const PortStates& states = reading.states;
    if (const int error = writeWholeFile(kModemCountPath, std::to_string(states.receiving))) {
        reportWriteError(kModemCountPath, error);
    }
    logLine("Writing /mnt/ModemCount");
    logLine("%s%s%s%d", "Modem count from ", kStatusFilePath, " is: ", states.receiving);
    logLine("%s%s%s%d", "Blocked modem count from ", kStatusFilePath, " is: ", states.blocked);
}

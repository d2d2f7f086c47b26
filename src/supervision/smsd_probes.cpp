// What smstools says: the ports in /etc/smsd.conf and the port states in its status file.
#include "supervision/smsd_probes.hpp"

#include "common/concat.hpp"
#include "common/shell.hpp"
#include "common/unique_fd.hpp"
#include "common/write_file.hpp"
#include "log/activity_log.hpp"
#include "smstools/smstools_paths.hpp"

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

// smsd's user owns the stats directory. Whatever stands at the path, opening it must not
// block (a FIFO) and reading it must end (a device such as /dev/zero): only a regular file
// is read, anything else counts as a status file that cannot be read.
file_ptr openStatusFile()
{
    unique_fd fd(open(kStatusFilePath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return nullptr;
    }
    file_ptr stream(fdopen(fd.get(), "r"));
    if (stream) {
        static_cast<void>(fd.release());
    }
    return stream;
}

// Finds one word in a stream of bytes, one byte at a time. Restarting at the first
// letter after a mismatch is exact because the first letter of each word we look for
// occurs nowhere else in it.
struct WordMatcher {
    std::string_view word;
    size_t matched = 0;
    bool seen = false;

    void feed(char c)
    {
        if (c == word[matched]) {
            ++matched;
        } else {
            matched = c == word[0] ? 1 : 0;
        }
        if (matched == word.size()) {
            seen = true;
            matched = 0;
        }
    }
    void reset()
    {
        matched = 0;
        seen = false;
    }
};

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

PortStates countPortStates(FILE* status)
{
    PortStates states;
    WordMatcher gsm{"GSM"};
    WordMatcher receiving{"Receiving,"};
    WordMatcher blocked{"Blocked,"};
    const auto endLine = [&] {
        if (gsm.seen && receiving.seen) {
            ++states.receiving;
        } else if (gsm.seen && blocked.seen) {
            ++states.blocked;
        }
        gsm.reset();
        receiving.reset();
        blocked.reset();
    };

    char buffer[8192];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, status)) > 0) {
        for (size_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n') {
                endLine();
                continue;
            }
            gsm.feed(buffer[i]);
            receiving.feed(buffer[i]);
            blocked.feed(buffer[i]);
        }
    }
    endLine();
    states.read_error = std::ferror(status) != 0;
    return states;
}

int ModemsBlocked(int configured)
{
    PortStates states;
    if (!exists(kStatusFilePath)) {
        logLine("%s%s", kStatusFilePath, " does not exist");
        states.receiving = configured;
    } else {
        file_ptr status = openStatusFile();
        if (!status) {
            return 0;
        }
        states = countPortStates(status.get());
        // A status file that cannot be read to the end (a directory, an I/O error) says
        // nothing about the ports: publishing its partial count would report modems lost.
        if (states.read_error) {
            return 0;
        }
    }

    writeFileReportingErrors(kModemCountPath, std::to_string(states.receiving));
    logLine("Writing /mnt/ModemCount");
    logLine("%s%s%s%d", "Modem count from ", kStatusFilePath, " is: ", states.receiving);
    logLine("%s%s%s%d", "Blocked modem count from ", kStatusFilePath, " is: ", states.blocked);
    return states.blocked;
}

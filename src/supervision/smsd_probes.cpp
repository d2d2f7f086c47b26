// What smstools says: the ports in /etc/smsd.conf and the port states in its status file.
#include "supervision/smsd_probes.hpp"

#include "common/concat.hpp"
#include "common/shell.hpp"
#include "common/unique_fd.hpp"
#include "common/write_file.hpp"
#include "log/activity_log.hpp"
#include "metrics/daemon_state.hpp"
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

bool parsePortStatusLine(std::string_view line, int& port, std::string& word)
{
    line = line.substr(0, kPortLinePrefix);
    if (line.rfind("GSM", 0) != 0) {
        return false;
    }
    size_t at = 3;
    int number = 0;
    while (at < line.size() && at < 5 && line[at] >= '0' && line[at] <= '9') {
        number = number * 10 + (line[at] - '0');
        ++at;
    }
    if (at == 3 || line[3] == '0' || number > kModemSlotCount || at >= line.size() || line[at] != ':') {
        return false;
    }
    const size_t comma = line.find(',', at);
    if (comma == std::string_view::npos) {
        return false;
    }
    std::string_view state = line.substr(comma + 1);
    state = state.substr(0, state.find(','));
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!state.empty() && blank(state.front())) {
        state.remove_prefix(1);
    }
    while (!state.empty() && blank(state.back())) {
        state.remove_suffix(1);
    }
    if (state.empty()) {
        return false;
    }
    word.clear();
    for (const char c : state.substr(0, 32)) {
        word += c >= 0x20 && c < 0x7f ? c : '?';
    }
    port = number;
    return true;
}

PortStates countPortStates(FILE* status)
{
    PortStates states;
    char prefix[kPortLinePrefix];
    size_t prefix_length = 0;
    int port = 0;
    std::string word;
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
        if (parsePortStatusLine({prefix, prefix_length}, port, word) && states.words[port - 1].empty()) {
            states.words[port - 1] = word;
        }
        prefix_length = 0;
    };

    char buffer[8192];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, status)) > 0) {
        for (size_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n') {
                endLine();
                continue;
            }
            if (prefix_length < kPortLinePrefix) {
                prefix[prefix_length++] = buffer[i];
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

namespace {

// What the pass read of smsd's state, for the published state; null when nothing could be.
void recordPortStates(const PortStates* states)
{
    daemon_state.status_read = states != nullptr;
    if (states != nullptr) {
        daemon_state.receiving = states->receiving;
        daemon_state.blocked = states->blocked;
    }
    for (size_t k = 0; k < daemon_state.ports.size(); ++k) {
        const bool known = states != nullptr && !states->words[k].empty();
        daemon_state.ports[k].state = known ? states->words[k] : "unknown";
    }
}

} // namespace

int ModemsBlocked(int configured)
{
    PortStates states;
    if (!exists(kStatusFilePath)) {
        logLine("%s%s", kStatusFilePath, " does not exist");
        states.receiving = configured;
    } else {
        file_ptr status = openStatusFile();
        if (status) {
            states = countPortStates(status.get());
        }
        // A status file that cannot be read to the end (a directory, an I/O error) says
        // nothing about the ports: publishing its partial count would report modems lost.
        if (!status || states.read_error) {
            recordPortStates(nullptr);
            return 0;
        }
    }
    recordPortStates(&states);

    writeFileReportingErrors(kModemCountPath, std::to_string(states.receiving));
    logLine("Writing /mnt/ModemCount");
    logLine("%s%s%s%d", "Modem count from ", kStatusFilePath, " is: ", states.receiving);
    logLine("%s%s%s%d", "Blocked modem count from ", kStatusFilePath, " is: ", states.blocked);
    return states.blocked;
}

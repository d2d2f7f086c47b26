// smsd's status file: where it is, how it is opened, and how its port lines read.
#include "smstools/status_file.hpp"

#include "common/unique_fd.hpp"
#include "smstools/smstools_paths.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

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

file_ptr openStatusFile(int& error, struct timespec& modified)
{
    // smsd's user owns the stats directory. Whatever stands at the path, opening it must not
    // block (a FIFO), follow a link planted there to a file only root may read, or never end
    // (a device such as /dev/zero): only a regular file is read. A linked stats directory (a
    // RAM disk, say) is fine: only the last component is not followed.
    unique_fd fd(open(kStatusFilePath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || fstat(fd.get(), &info) != 0) {
        error = errno;
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        error = EINVAL;
        return nullptr;
    }
    file_ptr stream(fdopen(fd.get(), "r"));
    if (!stream) {
        error = errno;
        return nullptr;
    }
    static_cast<void>(fd.release());
    modified = info.st_mtim;
    return stream;
}

std::optional<int> signalIn(std::string_view line)
{
    const size_t at = line.find("ssi: ");
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = line.substr(at + 5);
    const bool negative = !rest.empty() && rest.front() == '-';
    if (negative) {
        rest.remove_prefix(1);
    }
    int value = 0;
    size_t digits = 0;
    for (; digits < rest.size() && digits < 4 && rest[digits] >= '0' && rest[digits] <= '9'; ++digits) {
        value = value * 10 + (rest[digits] - '0');
    }
    if (digits == 0 || rest.substr(digits, 4) != " dBm") {
        return std::nullopt;
    }
    return negative ? -value : value;
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

PortStates countPortStates(FILE* status, size_t limit)
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
            states.signal_dbm[port - 1] = signalIn({prefix, prefix_length});
        }
        prefix_length = 0;
    };

    char buffer[8192];
    size_t got;
    size_t total = 0;
    while (total < limit && (got = std::fread(buffer, 1, std::min(sizeof buffer, limit - total), status)) > 0) {
        total += got;
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
    states.cut_short = total >= limit && std::fgetc(status) != EOF;
    return states;
}


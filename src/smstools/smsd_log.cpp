// What smsd says in its log, read a piece each pass from where the last one stopped.
#include "smstools/smsd_log.hpp"

#include "common/unique_fd.hpp"
#include "smstools/smstools_paths.hpp"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

LogPosition position;

unique_fd openLog(const char* path, struct stat& info)
{
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.valid() && (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))) {
        fd.reset();
    }
    return fd;
}

// The bytes before `offset` that mark the place reached.
std::string markBefore(int fd, off_t offset)
{
    std::string mark(static_cast<size_t>(std::min<off_t>(offset, static_cast<off_t>(kLogMarkBytes))), '\0');
    const ssize_t got = mark.empty() ? 0 : pread(fd, mark.data(), mark.size(), offset - static_cast<off_t>(mark.size()));
    mark.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return mark;
}

LogPosition placeIn(int fd, const struct stat& info, off_t offset)
{
    return {true, info.st_dev, info.st_ino, offset, markBefore(fd, offset)};
}

int digits(std::string_view text, size_t at, size_t count)
{
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

} // namespace

bool parseSmsdLogLine(std::string_view line, SmsdLogLine& parsed)
{
    // "YYYY-MM-DD HH:MM:SS.mmm,L, WHO: text"
    struct tm when {};
    when.tm_year = digits(line, 0, 4) - 1900;
    when.tm_mon = digits(line, 5, 2) - 1;
    when.tm_mday = digits(line, 8, 2);
    when.tm_hour = digits(line, 11, 2);
    when.tm_min = digits(line, 14, 2);
    when.tm_sec = digits(line, 17, 2);
    when.tm_isdst = -1;
    if (line.size() < 19 || when.tm_year < 0 || when.tm_mon < 0 || when.tm_mday < 1 || when.tm_hour < 0 ||
        when.tm_min < 0 || when.tm_sec < 0 || line[4] != '-' || line[10] != ' ' || line[13] != ':') {
        return false;
    }
    // Past the milliseconds and the level: the text after the second ", ".
    size_t at = line.find(", ", 19);
    if (at == std::string_view::npos) {
        return false;
    }
    std::string_view rest = line.substr(at + 2);
    parsed.port = 0;
    if (rest.rfind("GSM", 0) == 0) {
        const size_t colon = rest.find(": ");
        const int port = colon > 3 && colon <= 5 ? digits(rest, 3, colon - 3) : -1;
        if (port <= 0) {
            return false;
        }
        parsed.port = port;
        rest.remove_prefix(colon + 2);
    } else if (rest.rfind("smsd: ", 0) == 0) {
        rest.remove_prefix(6);
    }
    parsed.time = std::mktime(&when);
    parsed.text = std::string(rest.substr(0, 512));
    return parsed.time != -1;
}

std::vector<std::string> readNewLines(const char* path, LogPosition& at, size_t limit)
{
    std::vector<std::string> lines;
    struct stat info {};
    const unique_fd fd = openLog(path, info);
    if (!fd.valid()) {
        return lines;
    }
    if (!at.known) {
        at = placeIn(fd.get(), info, info.st_size);
        return lines;
    }
    if (info.st_dev != at.device || info.st_ino != at.inode || info.st_size < at.offset ||
        markBefore(fd.get(), at.offset) != at.before) {
        at = {true, info.st_dev, info.st_ino, 0, {}};
    }
    // Behind by more than a read: the newest bytes, from the first line that starts in them.
    off_t from = at.offset;
    bool mid_line = false;
    if (info.st_size - from > static_cast<off_t>(limit)) {
        from = info.st_size - static_cast<off_t>(limit);
        const std::string mark = markBefore(fd.get(), from);
        mid_line = mark.empty() || mark.back() != '\n';
    }
    std::string text(static_cast<size_t>(std::min<off_t>(info.st_size - from, static_cast<off_t>(limit))), '\0');
    const ssize_t got = text.empty() ? 0 : pread(fd.get(), text.data(), text.size(), from);
    if (got <= 0) {
        return lines;
    }
    text.resize(static_cast<size_t>(got));
    const size_t end = text.rfind('\n');
    size_t start = 0;
    if (mid_line) {
        start = end == std::string::npos ? text.size() : text.find('\n') + 1;
    }
    if (end == std::string::npos) {
        // No end of line in a whole read: a line longer than any smsd writes, skipped.
        if (text.size() == limit) {
            at = placeIn(fd.get(), info, from + got);
        }
        return lines;
    }
    if (start > end) {
        at = placeIn(fd.get(), info, from + static_cast<off_t>(end + 1));  // only the tail of a line
        return lines;
    }
    at = placeIn(fd.get(), info, from + static_cast<off_t>(end + 1));
    while (start <= end) {
        const size_t stop = text.find('\n', start);
        lines.push_back(text.substr(start, stop - start));
        start = stop + 1;
    }
    return lines;
}

void skipToEnd(const char* path, LogPosition& at)
{
    struct stat info {};
    const unique_fd fd = openLog(path, info);
    at = fd.valid() ? placeIn(fd.get(), info, info.st_size) : LogPosition{true, 0, 0, 0, {}};
}

std::vector<SmsdLogLine> readSmsdLog()
{
    std::vector<SmsdLogLine> parsed;
    for (const std::string& text : readNewLines(kSmsdLogPath, position, kSmsdLogReadLimit)) {
        SmsdLogLine line;
        if (parseSmsdLogLine(text, line)) {
            parsed.push_back(std::move(line));
        }
    }
    return parsed;
}

void skipSmsdLog()
{
    skipToEnd(kSmsdLogPath, position);
}

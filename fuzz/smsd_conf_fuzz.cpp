// Fuzz target: whatever /dev entry names discovery lets through, the generated smsd.conf has
// exactly its fixed lines, and each name stays inside its own "device = /dev/..." line: no name
// ever puts a line of its own into the file, nor adds a port to what the counting pipeline
// ("grep GSM..=" in the C locale) finds in it.
#include "smstools/smsd_conf.hpp"
#include "supervision/dev_scan.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start != text.size()) {
        lines.push_back(text.substr(start) + "<no newline>");
    }
    return lines;
}

// grep's "GSM..=" with one byte to a character.
bool matchesPortPattern(const std::string& line)
{
    for (size_t at = line.find("GSM"); at != std::string::npos; at = line.find("GSM", at + 1)) {
        if (at + 5 < line.size() && line[at + 5] == '=') {
            return true;
        }
    }
    return false;
}

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Names as a directory can hold them: split at '/', no NUL, not empty; then only those that
    // discovery would take.
    ModemSlots slots;
    ModemSlots placeholders;
    int count = 0;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty() && count < kModemSlotCount) {
        const size_t end = input.find('/');
        std::string name(input.substr(0, end));
        input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
        if (name.empty() || name.find('\0') != std::string::npos || deviceNameProblem(name) != nullptr) {
            continue;
        }
        slots[count] = name;
        placeholders[count] = "gsmmodem" + std::to_string(count);
        ++count;
    }

    const std::vector<std::string> lines = linesOf(smsdConfText(slots, count));
    const std::vector<std::string> expected = linesOf(smsdConfText(placeholders, count));
    if (lines.size() != expected.size() || lines.size() != static_cast<size_t>(63 + 7 * count)) {
        fail("line count " + std::to_string(lines.size()) + " for " + std::to_string(count) + " ports");
    }
    int port = 0;
    int counted = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        counted += matchesPortPattern(lines[i]);
        if (expected[i].rfind("device = /dev/", 0) == 0) {
            if (lines[i] != "device = /dev/" + slots[port]) {
                fail("device line " + std::to_string(i) + " holds more than its name");
            }
            ++port;
        } else if (lines[i] != expected[i]) {
            fail("line " + std::to_string(i) + " changed by a device name: " + lines[i]);
        }
    }
    if (counted != count) {
        fail("the pipeline would count " + std::to_string(counted) + " ports of " + std::to_string(count));
    }
    return 0;
}

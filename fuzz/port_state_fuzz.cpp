// Fuzz target: the per-port states taken from smsd's status file must agree with a plain
// regular-expression reading of each line, whatever the bytes; every state is a short printable
// word, safe for a label and a table cell.
#include "smstools/status_file.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

namespace {

// The first line that names port n, its state word: blanks trimmed, 32 bytes at most, each
// byte that is not printable ASCII shown as '?'. Only a line's first kPortLinePrefix bytes count.
std::array<std::string, kModemSlotCount> reference(const std::string& text)
{
    static const std::regex port_line("^GSM([1-9][0-9]?):[^,]*,[ \\t]*([^,]*)");
    std::array<std::string, kModemSlotCount> words;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, std::min(end - start, kPortLinePrefix));
        start = end + 1;
        std::smatch match;
        if (!std::regex_search(line, match, port_line, std::regex_constants::match_continuous)) {
            continue;
        }
        const int port = std::stoi(match[1]);
        std::string word = match[2];
        while (!word.empty() && (word.back() == ' ' || word.back() == '\t')) {
            word.pop_back();
        }
        if (port > kModemSlotCount || word.empty() || !words[port - 1].empty()) {
            continue;
        }
        for (char& c : word) {
            c = c >= 0x20 && c < 0x7f ? c : '?';
        }
        words[port - 1] = word.substr(0, 32);
    }
    return words;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;  // fmemopen wants a buffer
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (file == nullptr) {
        return 0;
    }
    const PortStates counted = countPortStates(file);
    std::fclose(file);
    const std::array<std::string, kModemSlotCount> expected = reference(text);
    for (int port = 0; port < kModemSlotCount; ++port) {
        if (counted.words[port] != expected[port]) {
            std::fprintf(stderr, "GSM%d: read \"%s\", expected \"%s\"\n", port + 1, counted.words[port].c_str(),
                         expected[port].c_str());
            std::abort();
        }
    }
    return 0;
}

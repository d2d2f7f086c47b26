// Fuzz target: the status-file count must agree with a plain line-by-line reference on any
// bytes whatsoever, and never crash.
#include "smstools/status_file.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

PortStates reference(std::string_view text)
{
    PortStates states;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (line.find("GSM") != std::string_view::npos) {
            if (line.find("Receiving,") != std::string_view::npos) {
                ++states.receiving;
            } else if (line.find("Blocked,") != std::string_view::npos) {
                ++states.blocked;
            }
        }
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return states;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;  // fmemopen wants a buffer
    }
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (file == nullptr) {
        return 0;
    }
    const PortStates counted = countPortStates(file);
    std::fclose(file);
    const PortStates expected = reference(text);
    if (counted.receiving != expected.receiving || counted.blocked != expected.blocked || counted.read_error) {
        std::fprintf(stderr, "counted %d/%d, expected %d/%d\n", counted.receiving, counted.blocked,
                     expected.receiving, expected.blocked);
        std::abort();
    }
    return 0;
}

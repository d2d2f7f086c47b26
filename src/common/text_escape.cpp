// Text from files other programs write, made safe for a terminal and for JSON.
#include "common/text_escape.hpp"

#include <cstdio>

namespace {

// The length of the UTF-8 sequence at `at`, 0 when the bytes there are not one; `code` is the
// character it encodes.
size_t utf8Sequence(const std::string& text, size_t at, unsigned& code)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    size_t length = 0;
    unsigned least = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, code = lead & 0x1f, least = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, code = lead & 0x0f, least = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, code = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) {
            return 0;
        }
        code = code << 6 | (byte(at + i) & 0x3f);
    }
    const bool surrogate = code >= 0xd800 && code <= 0xdfff;
    return code < least || code > 0x10ffff || surrogate ? 0 : length;
}

// The bidirectional controls: they reorder what follows on the line, so a name could show as
// another (CVE-2021-42574's trick).
bool reordersText(unsigned code)
{
    return code == 0x061c || code == 0x200e || code == 0x200f || (code >= 0x202a && code <= 0x202e) ||
           (code >= 0x2066 && code <= 0x2069);
}

std::string hexEscape(const char* format, unsigned value)
{
    char escape[8];
    static_cast<void>(std::snprintf(escape, sizeof escape, format, value));
    return escape;
}

} // namespace

std::string printable(const std::string& text)
{
    std::string shown;
    for (size_t at = 0; at < text.size();) {
        unsigned code = 0;
        const size_t length = utf8Sequence(text, at, code);
        if (length == 0 || code < 0x20 || (code >= 0x7f && code < 0xa0) || reordersText(code)) {
            for (size_t i = 0; i < (length == 0 ? 1 : length); ++i) {
                shown += hexEscape("\\x%02x", static_cast<unsigned char>(text[at + i]));
            }
            at += length == 0 ? 1 : length;
            continue;
        }
        shown.append(text, at, length);
        at += length;
    }
    return shown;
}

std::string jsonString(const std::string& text)
{
    std::string quoted = "\"";
    for (size_t at = 0; at < text.size();) {
        unsigned code = 0;
        const size_t length = utf8Sequence(text, at, code);
        if (length == 0) {
            quoted += "\\ufffd";
            ++at;
            continue;
        }
        if (code == '"' || code == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(code);
        } else if (code < 0x20 || code == 0x7f) {
            quoted += hexEscape("\\u%04x", code);
        } else {
            quoted.append(text, at, length);
        }
        at += length;
    }
    return quoted + "\"";
}

std::string printableAscii(const std::string& text, size_t limit)
{
    std::string kept;
    for (const char c : text.substr(0, limit)) {
        kept += c >= 0x20 && c < 0x7f ? c : '?';
    }
    return kept;
}

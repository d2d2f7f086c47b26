// Text from files other programs write, made safe for a terminal and for JSON.
#pragma once

#include <string>

// `text` with every byte that could act on a terminal escaped as \xNN: C0 and C1 controls (ESC
// above all), DEL, bidirectional controls (U+202E and kin) and bytes that are not UTF-8.
std::string printable(const std::string& text);

// `text` as a JSON string, quotes included: controls escaped as \u00NN, and any byte that is not
// UTF-8 replaced by U+FFFD, so the result is valid JSON whatever the file held.
std::string jsonString(const std::string& text);

// At most `limit` bytes of `text`, each one outside printable ASCII shown as '?': for what a
// device says of itself (its USB strings, its answers to AT), fit for a comment or a cell.
std::string printableAscii(const std::string& text, size_t limit = 64);

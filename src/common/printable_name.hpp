// Showing a name from a directory another user controls in a log line, control characters escaped.
#pragma once

#include <string>
#include <string_view>

// True for the bytes that would break a line of smsd.conf or of a log: C0 controls and DEL.
bool isControlCharacter(char c);

// The name with each control character shown as \xNN, fit for a log line.
std::string printableName(std::string_view name);

// Rows of text as columns a person reads at a glance.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Each column as wide as its widest cell and two spaces from the next; no spaces at the end
// of a line. `colour`, when given, names an escape sequence for a cell (or null): it wraps the
// cell after padding, so the columns stay aligned on a terminal.
std::string alignedTable(const std::vector<std::vector<std::string>>& rows,
                         const std::function<const char*(size_t row, size_t column)>& colour = {});

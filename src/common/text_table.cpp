// Rows of text as columns a person reads at a glance.
#include "common/text_table.hpp"

#include <algorithm>

namespace {

constexpr char kPlain[] = "\033[0m";

} // namespace

std::string alignedTable(const std::vector<std::vector<std::string>>& rows,
                         const std::function<const char*(size_t row, size_t column)>& colour)
{
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    std::string text;
    for (size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (size_t column = 0; column < rows[r].size(); ++column) {
            std::string cell = rows[r][column];
            if (column + 1 < rows[r].size()) {
                cell.resize(widths[column] + 2, ' ');
            }
            const char* escape = colour ? colour(r, column) : nullptr;
            line += escape != nullptr ? escape + cell + kPlain : cell;
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        text += line + "\n";
    }
    return text;
}
